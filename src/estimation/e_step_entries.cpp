// The posteriors of single entries: the E-step's kernel run on blocks of one entry of weight 1,
// whose transition sums are then that entry's own posteriors, for the files that answer per site;
// and the chance of a pattern made without any gain.
#include <algorithm>
#include <atomic>
#include <cmath>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/e_step.h"
#include "estimation/evol_model.h"
#include "estimation/rate_categories.h"

namespace vorn {
namespace {

constexpr double kLn2 = 0.6931471805599453;

// The walk and the values of the no-gain recursion for one thread, sized once per call.
struct NoGainWork {
  explicit NoGainWork(const PhylogeneticTree& tree)
      : position(tree.nodeCount, 0), absent(tree.nodeCount, 0.0), present(tree.nodeCount, 0.0),
        exponent(tree.nodeCount, 0) {
    for (std::uint32_t j = 0; j < tree.leafCount; ++j) position[tree.leafNodes[j]] = j;
  }
  std::vector<std::uint32_t> position;  // a leaf's place in the pattern, per node
  std::vector<double> absent, present;  // the leaves below v given v's state, times 2^-exponent
  std::vector<std::int64_t> exponent;
};

// ln P(pattern, no branch gains) for the pair in lane `at` of the gene's branch tables. Without
// gains an absent node's subtree stays absent, each branch keeping it so with 1 - G; a present
// node's child is present with R and absent with 1 - R. Values below 2^-256 are brought back by
// exact powers of two, as in the kernel, so that deep trees do not underflow.
double LogNoGain(const PhylogeneticTree& tree, const double* branch, const std::vector<std::uint32_t>& slot,
                 std::size_t stride, std::size_t at, const std::uint8_t* pattern, double p0, NoGainWork& work) {
  for (std::uint32_t v : tree.bottomUpOrder) {
    if (tree.IsLeaf(v)) {
      const std::uint8_t x = pattern[work.position[v]];
      work.absent[v] = x != 1 ? 1 : 0;
      work.present[v] = x != 0 ? 1 : 0;
      work.exponent[v] = 0;
      continue;
    }
    double absent = 1, present = 1;
    std::int64_t exponent = 0;
    for (std::uint32_t c : {tree.firstChild[v], tree.secondChild[v]}) {
      const double* b = branch + slot[c] * stride + at;
      const double gain = b[0], keep = b[kWidth];
      absent *= (1 - gain) * work.absent[c];
      present *= keep * work.present[c] + (1 - keep) * work.absent[c];
      exponent += work.exponent[c];
    }
    if (std::max(absent, present) < kScalingThreshold && std::max(absent, present) > 0) {
      absent = std::ldexp(absent, 256);
      present = std::ldexp(present, 256);
      exponent -= 256;
    }
    work.absent[v] = absent;
    work.present[v] = present;
    work.exponent[v] = exponent;
  }
  const double h = p0 * work.absent[0] + (1 - p0) * work.present[0];
  return std::log(h) + static_cast<double>(work.exponent[0]) * kLn2;
}

// The sums of a block of one entry are that entry's posteriors: summed over the pairs into
// out[v * 4 + 2 a + b], and set back to 0, padding lanes included, for the next block.
void TakeEntrySums(const EStepScratch& scratch, std::uint32_t n, std::uint32_t pairs, EStepBlockResult& result,
                   double* out) {
  const std::size_t sumStride = static_cast<std::size_t>(scratch.tiles) * kSums;
  double* part = Aligned(result.transitions);
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
      out[v * 4 + ab] = total;
    }
  }
}

}  // namespace

void EStep::ComputeEntryPosteriors(const EvolModel& model, const RateCategories& gainCategories,
                                   const RateCategories& lossCategories, const AlignmentData& data,
                                   const PhylogeneticTree& tree, const std::vector<EntryRef>& entries,
                                   EntryPosteriors* posteriors) {
  EStepScratch& scratch = scratch_;
  const std::uint32_t pairs = gainCategories.count * lossCategories.count;
  const std::uint32_t n = tree.nodeCount;
  SetPrior(gainCategories, lossCategories);
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
  const std::size_t stride = static_cast<std::size_t>(scratch.tiles) * kNode;
  std::atomic<std::uint32_t> nextGene{0};
  auto fill = [&](std::uint32_t) {
    for (std::uint32_t g; (g = nextGene.fetch_add(1)) < data.geneCount;) {
      if (used[g]) FillBranchTables(model, gainCategories, lossCategories, tree, g);
    }
  };
  pool_->Share(std::min(threads, data.geneCount), fill);
  std::vector<double> logNoGain(count, 0.0);
  std::atomic<std::uint32_t> next{0};
  auto work = [&](std::uint32_t participant) {
    EStepBlockResult& result = scratch.results[participant];
    NoGainWork noGain(tree);
    std::vector<double> terms(pairs);
    for (std::uint32_t i; (i = next.fetch_add(1)) < count;) {
      const BlockTask task = Task(model, tree, entries[i].gene, i, i + 1, pairs);
      const double* branch = task.branch;
      run(task, &scratch.workspaces[2 * participant], result);
      logLikelihood[i] = result.entryLogLikelihood[0];
      TakeEntrySums(scratch, n, pairs, result, &posteriors->transitions[static_cast<std::size_t>(i) * n * 4]);
      // ln of the prior-weighted sum over the pairs, from the largest term.
      double largest = -HUGE_VAL;
      for (std::uint32_t c = 0; c < pairs; ++c) {
        const std::size_t at = c / kWidth * kNode + c % kWidth;
        terms[c] = scratch.prior[c] > 0
                       ? std::log(scratch.prior[c]) + LogNoGain(tree, branch, scratch.slot, stride, at,
                                                                scratch.entries[i].pattern, model.p0, noGain)
                       : -HUGE_VAL;
        largest = std::max(largest, terms[c]);
      }
      double sum = 0;
      for (std::uint32_t c = 0; c < pairs && std::isfinite(largest); ++c) sum += std::exp(terms[c] - largest);
      logNoGain[i] = std::isfinite(largest) ? largest + std::log(sum) : -HUGE_VAL;
    }
  };
  pool_->Share(threads, work);
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!std::isfinite(logLikelihood[i])) continue;  // a pattern the model cannot produce: all 0
    posteriors->noGain[i] = std::isfinite(logNoGain[i]) ? std::min(1.0, std::exp(logNoGain[i] - logLikelihood[i])) : 0.0;
  }
}

}  // namespace vorn
