// Dollo parsimony: the character gained once, at the deepest node whose subtrees both show it,
// and lost wherever a subtree shows it no more.
#include <algorithm>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"

namespace vorn {
namespace {

constexpr std::uint8_t kUnset = 254;
constexpr std::uint8_t kUndefined = 255;

}  // namespace

std::vector<std::uint8_t> PhylogeneticTree::DolloReconstruction(const Pattern* patterns, std::uint32_t count) const {
  const std::uint32_t n = nodeCount;
  std::vector<std::uint8_t> result(static_cast<std::size_t>(count) * n);
  std::vector<std::uint8_t> first(n), second(n);
  for (std::uint32_t k = 0; k < count; ++k) {
    std::uint8_t* state = &result[static_cast<std::size_t>(k) * n];
    std::fill(first.begin(), first.end(), kUnset);
    for (std::uint32_t j = 0; j < leafCount; ++j) {
      first[leafNodes[j]] = second[leafNodes[j]] = patterns[k].values[j];
    }
    // Upward: does some leaf below show the character? An unknown leaf does not.
    for (std::uint32_t i = 0; i + 1 < n; ++i) {
      const std::uint32_t v = bottomUpOrder[i];
      std::uint8_t below;
      if (first[v] == kUndefined || second[v] == kUndefined) {
        below = kUndefined;
      } else {
        below = (first[v] == 1 || second[v] == 1) ? 1 : 0;
      }
      const std::uint32_t p = parent[v];
      if (first[p] == kUnset) {
        first[p] = below;
      } else {
        second[p] = below;
      }
    }
    // Gained once: the root is present only when both of its subtrees show the character.
    if (first[0] == kUndefined || second[0] == kUndefined) {
      state[0] = kUndefined;
    } else {
      state[0] = (first[0] != 0 && second[0] != 0) ? 1 : 0;
    }
    for (std::uint32_t i = n - 1; i-- > 0;) {
      const std::uint32_t v = bottomUpOrder[i];
      if (first[v] == kUndefined || second[v] == kUndefined) {
        state[v] = kUndefined;
      } else if (first[v] == second[v]) {
        state[v] = first[v];
      } else {
        state[v] = state[parent[v]];
      }
    }
  }
  return result;
}

}  // namespace vorn
