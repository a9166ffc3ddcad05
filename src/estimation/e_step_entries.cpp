// The posteriors of single entries: the E-step's kernel run on blocks of one entry of weight 1,
// whose transition sums are then that entry's own posteriors, for the files that answer per site.
#include <algorithm>
#include <atomic>
#include <cmath>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/e_step.h"
#include "estimation/evol_model.h"
#include "estimation/rate_categories.h"

namespace vorn {

void EStep::ComputeEntryPosteriors(const EvolModel& model, const RateCategories& gainCategories,
                                   const RateCategories& lossCategories, const AlignmentData& data,
                                   const PhylogeneticTree& tree, const std::vector<EntryRef>& entries,
                                   EntryPosteriors* posteriors) {
  EStepScratch& scratch = scratch_;
  const std::uint32_t k = gainCategories.count, m = lossCategories.count, pairs = k * m;
  const std::uint32_t n = tree.nodeCount;
  for (std::uint32_t a = 0; a < k; ++a) {
    for (std::uint32_t b = 0; b < m; ++b) scratch.prior[a * m + b] = lossCategories.weights[b] * gainCategories.weights[a];
  }
  const std::uint32_t count = static_cast<std::uint32_t>(entries.size());
  std::vector<std::uint8_t> used(data.geneCount, 0);
  scratch.entries.clear();
  for (const EntryRef& ref : entries) {
    const Gene& gene = data.genes[ref.gene];
    scratch.entries.push_back({data.patterns[gene.patternIndices[ref.entry]].values.data(), 1.0});
    used[ref.gene] = 1;
  }
  posteriors->nodeCount = n;
  posteriors->transitions.assign(static_cast<std::size_t>(count) * n * 4, 0.0);
  posteriors->noGain.assign(count, 0.0);
  std::vector<double> logLikelihood(count, 0.0);
  if (count == 0) return;

  const std::uint32_t threads = std::max(1U, std::min(pool_->Size(), count));
  SizeWorkspaces(threads, threads, n);
  const BlockFunction run = ChooseBlockFunction(options_.genericKernel);
  const std::size_t geneBranches = static_cast<std::size_t>(n) * scratch.tiles * kNode;
  const std::size_t sumStride = static_cast<std::size_t>(scratch.tiles) * kSums;
  // The first pass, with every gain chance 0, takes the likelihood of each pattern made without
  // a gain; the second the posteriors and the likelihood, and leaves the branch tables as Compute
  // fills them.
  std::vector<double> logNoGain(count, 0.0);
  for (int pass = 0; pass < 2; ++pass) {
    std::atomic<std::uint32_t> nextGene{0};
    auto fill = [&](std::uint32_t) {
      for (std::uint32_t g; (g = nextGene.fetch_add(1)) < data.geneCount;) {
        if (used[g]) FillBranchTables(model, gainCategories, lossCategories, tree, g, pass == 0);
      }
    };
    pool_->Share(std::min(threads, data.geneCount), fill);
    std::atomic<std::uint32_t> next{0};
    auto work = [&](std::uint32_t participant) {
      EStepBlockResult& result = scratch.results[participant];
      for (std::uint32_t i; (i = next.fetch_add(1)) < count;) {
        const std::uint32_t g = entries[i].gene;
        const BlockTask task{&scratch,
                             Aligned(scratch.branch) + g * geneBranches,
                             &scratch.leafPointers[3 * static_cast<std::size_t>(g) * tree.leafCount],
                             n,
                             g,
                             i,
                             i + 1,
                             pairs,
                             model.p0,
                             1 - model.p0,
                             options_.scalingThreshold};
        run(task, &scratch.workspaces[2 * participant], result);
        (pass == 0 ? logNoGain : logLikelihood)[i] = result.entryLogLikelihood[0];
        // The block's sums are those of its one entry; they are taken and set back to 0, padding
        // lanes included.
        double* part = Aligned(result.transitions);
        double* out = &posteriors->transitions[static_cast<std::size_t>(i) * n * 4];
        for (std::uint32_t v = 1; v < n; ++v) {
          double* node = part + scratch.slot[v] * sumStride;
          for (int ab = 0; ab < 4; ++ab) {
            double total = 0;
            for (std::uint32_t t = 0; t < scratch.tiles; ++t) {
              double* from = node + t * kSums + (2 * (ab % 2) + ab / 2) * kWidth;
              for (std::uint32_t lane = 0; lane < kWidth; ++lane) {
                if (t * kWidth + lane < pairs) total += from[lane];
                from[lane] = 0;
              }
            }
            if (pass == 1) out[v * 4 + ab] = total;
          }
        }
      }
    };
    pool_->Share(threads, work);
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!std::isfinite(logLikelihood[i])) continue;  // a pattern the model cannot produce: all 0
    posteriors->noGain[i] = std::isfinite(logNoGain[i]) ? std::min(1.0, std::exp(logNoGain[i] - logLikelihood[i])) : 0.0;
  }
}

}  // namespace vorn
