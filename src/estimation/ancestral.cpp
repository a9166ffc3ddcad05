// The ancestral reconstruction from the posterior sums of an E-step at a fit's result: the
// tables of ancestral.h, filled by EM::AccumulateAncestral.
#include "estimation/ancestral.h"

#include <algorithm>
#include <atomic>

#include "data/phylogenetic_tree.h"
#include "estimation/em.h"

namespace vorn {

void EM::AccumulateAncestral(AncestralTables* tables, const PhylogeneticTree& tree) const {
  const PosteriorSums& sums = Sums();
  tables->Resize(sums.geneCount, tree.nodeCount);
  const std::uint32_t r1 = tree.firstChild[0];
  // Each gene's entries are one thread's, so the tables do not depend on the thread count.
  std::atomic<std::uint32_t> nextGene{0};
  auto accumulate = [&](std::uint32_t) {
    for (std::uint32_t g; (g = nextGene.fetch_add(1)) < sums.geneCount;) {
      auto total = [&sums, g](std::uint32_t v, int a, int b) {
        const double* block = &sums.transitions[sums.TransitionOffset(g, v, a, b)];
        double s = 0;
        for (std::uint32_t c = 0; c < sums.pairCount; ++c) s += block[c];
        return s;
      };
      tables->present[tables->Index(g, 0)] = total(r1, 1, 0) + total(r1, 1, 1);
      for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
        const std::size_t at = tables->Index(g, v);
        const double retained = total(v, 1, 1);
        tables->present[at] = total(v, 0, 1) + retained;
        tables->losses[at] = total(v, 1, 0);
        tables->gains[at] = total(v, 0, 1);
        tables->retentions[at] = retained;
      }
    }
  };
  WorkerPool& pool = eStep.Pool();
  pool.Share(std::max(1U, std::min(pool.Size(), sums.geneCount)), accumulate);
}

}  // namespace vorn
