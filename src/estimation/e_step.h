#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorn {

// The E-step's results, folded per gene: for gene g, category pair c = k * M + l (gain category
// k of K, loss category l of M), node v >= 1 and state pair (a, b) of (parent of v, v),
//   transitions = sum over the gene's entries (pattern, n) of n * x[c] * T[a][b][v]
//   categories  = sum over the gene's entries of n * x[c]
// with x the category posterior and T the transition posterior of the entry. Every M-step and
// the ancestral reconstruction read the posteriors only through these sums, so memory stays
// O(G K M N) however many patterns there are. Entries of node 0 are unused.
class PosteriorSums {
 public:
  void Resize(std::uint32_t geneCount, std::uint32_t nodeCount, std::uint32_t gainCount, std::uint32_t lossCount);
  void Clear();

  // Offset of the pair block [c] of gene g, node v, states (a, b); the block holds pairCount doubles.
  std::size_t TransitionOffset(std::uint32_t g, std::uint32_t v, int a, int b) const {
    return ((static_cast<std::size_t>(g) * nodeCount + v) * 4 + static_cast<std::size_t>(2 * a + b)) * pairCount;
  }
  double Transition(std::uint32_t g, std::uint32_t v, int a, int b, std::uint32_t k, std::uint32_t l) const {
    return transitions[TransitionOffset(g, v, a, b) + k * lossCount + l];
  }
  double Category(std::uint32_t g, std::uint32_t k, std::uint32_t l) const {
    return categories[static_cast<std::size_t>(g) * pairCount + k * lossCount + l];
  }

  std::uint32_t geneCount = 0, nodeCount = 0, gainCount = 0, lossCount = 0, pairCount = 0;
  std::vector<double> transitions;  // [g][v][a][b][c]
  std::vector<double> categories;   // [g][c]
};

// One gene's branch probabilities and one entry's scratch, laid out [node][category pair] so that
// every inner loop runs over contiguous pairs. Sized once per run; nothing is allocated per entry.
struct EStepWorkspace {
  void Resize(std::uint32_t nodeCount, std::uint32_t gainCount, std::uint32_t lossCount);

  std::uint32_t pairCount = 0;
  std::vector<double> gain;        // G(v): an absent character is present at the end of the branch
  std::vector<double> keep;        // R(v): a present character is still present
  std::vector<double> q0, q1;      // leaves below v, given the parent of v absent / present
  std::vector<double> s0, s1;      // node state posteriors
  std::vector<double> likelihood;  // h per category pair
  std::vector<double> weight;      // n * x per category pair
  std::vector<double> prior;       // wl[l] * wg[k]
  // Root step: log joint terms J[a][b] of the root's first child (with the root's state a) and the
  // same for its second child, four blocks of pairs each; the log-likelihood of each pair.
  std::vector<double> joint1, joint2;
  std::vector<double> logLikelihood;
  // ln P(a -> b) on the branches of the root's two children, four blocks of pairs each.
  std::vector<double> logTransition1, logTransition2;
};

}  // namespace vorn
