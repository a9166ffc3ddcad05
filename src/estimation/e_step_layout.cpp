#include "estimation/e_step_layout.h"

#include <algorithm>
#include <utility>

#include "data/phylogenetic_tree.h"

namespace vorn {

std::size_t EStepScratch::LeafTableSize(std::uint32_t leafCount) const {
  return static_cast<std::size_t>(leafCount) * tiles * kNode;
}

void EStepWorkspace::Resize(std::uint32_t nodeCount, std::uint32_t tiles, std::uint32_t messageSlots) {
  const std::size_t lanes = static_cast<std::size_t>(tiles) * kWidth;
  const std::size_t cells = nodeCount * lanes;
  conditional.assign(2 * cells + kAlignmentSlack, 0.0);
  messages.assign(2 * messageSlots * lanes + kAlignmentSlack, 0.0);
  likelihood.assign(lanes, 0.0);
  factor.assign(lanes, 0.0);
  scaled = false;
  expectRescaling = false;
  exponent.assign(lanes, 0);
  firstChildExponent.assign(lanes, 0);
  secondChildExponent.assign(lanes, 0);
  rescaled.assign(nodeCount, 0);
  ownExponent.assign(cells, 0);
  logScale = 0;
}

void EStepBlockResult::Resize(std::uint32_t nodeCount, std::uint32_t tiles, std::uint32_t blockEntries) {
  const std::size_t lanes = static_cast<std::size_t>(tiles) * kWidth;
  transitions.assign(4 * nodeCount * lanes + kAlignmentSlack, 0.0);
  entryLogLikelihood.assign(blockEntries, 0.0);
  entryCategories.assign(blockEntries * lanes, 0.0);
}

void EStepScratch::Layout(const PhylogeneticTree& tree) {
  const std::uint32_t nodes = tree.nodeCount;
  // The nodes in post-order, each node's children in the order that `later` (true when the
  // second child's subtree goes after the first's) gives.
  auto postOrder = [&](auto later) {
    std::vector<std::uint32_t> order, stack(1, 0);
    std::vector<std::uint8_t> expanded(nodes, 0);
    order.reserve(nodes);
    while (!stack.empty()) {
      const std::uint32_t v = stack.back();
      if (tree.IsLeaf(v) || expanded[v]) {
        stack.pop_back();
        order.push_back(v);
        continue;
      }
      expanded[v] = 1;
      const bool swap = !later(v);
      stack.push_back(swap ? tree.firstChild[v] : tree.secondChild[v]);
      stack.push_back(swap ? tree.secondChild[v] : tree.firstChild[v]);
    }
    return order;
  };
  // The downward pass walks the tree depth first and keeps the messages waiting for their node in
  // a stack of slots: a node's message slot passes to the child visited last, and the child
  // visited first takes the next one. Visiting first the child whose subtree needs fewer slots
  // keeps the stack to about log2 of the leaf count, so the messages stay in the nearest cache
  // however large the tree. The order of the nodes does not touch the sums: each node's sums
  // take the entries in the same order whatever it is.
  std::vector<std::uint32_t> need(nodes, 1);
  for (std::uint32_t v : postOrder([](std::uint32_t) { return true; })) {
    if (tree.IsLeaf(v)) continue;
    const std::uint32_t a = need[tree.firstChild[v]], b = need[tree.secondChild[v]];
    need[v] = std::max(std::min(a, b) + 1, std::max(a, b));
  }
  messageSlots = need[0];
  // Slots in post-order, with the subtree visited first by the downward pass placed last, so that
  // the upward pass walks memory forwards and the downward pass backwards.
  const std::vector<std::uint32_t> order =
      postOrder([&](std::uint32_t v) { return need[tree.secondChild[v]] < need[tree.firstChild[v]]; });
  slot.assign(nodes, 0);
  for (std::uint32_t s = 0; s < nodes; ++s) slot[order[s]] = s;
  upSteps.clear();
  downSteps.clear();
  auto position = [&](std::uint32_t v) { return tree.IsLeaf(v) ? v - (tree.leafCount - 1) : kInner; };
  for (std::uint32_t v : order) {
    if (tree.IsLeaf(v) || v == 0) continue;
    const std::uint32_t y = tree.firstChild[v], z = tree.secondChild[v];
    for (std::uint32_t u : {slot[v], slot[y], slot[z], position(y), position(z)}) upSteps.push_back(u);
  }
  // The child visited last by the downward pass, and the one visited first.
  auto children = [&](std::uint32_t v) {
    const std::uint32_t y = tree.firstChild[v], z = tree.secondChild[v];
    return need[z] < need[y] ? std::make_pair(y, z) : std::make_pair(z, y);
  };
  std::vector<std::uint32_t> message(nodes, 0);
  const auto [last, first] = children(0);
  message[first] = 1;
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    const std::uint32_t v = *it;
    if (tree.IsLeaf(v) || v == 0) continue;
    const auto [y, z] = children(v);
    message[y] = message[v];
    message[z] = message[v] + 1;
    for (std::uint32_t u : {slot[v], slot[y], slot[z], position(y), position(z), message[v], message[y], message[z]}) {
      downSteps.push_back(u);
    }
  }
  const std::uint32_t r1 = tree.firstChild[0], r2 = tree.secondChild[0];
  rootLeaves[0] = position(r1);
  rootLeaves[1] = position(r2);
  rootChildren[0] = slot[r1];
  rootChildren[1] = slot[r2];
  rootMessages[0] = message[r1];
  rootMessages[1] = message[r2];
  const bool leaf = tree.IsLeaf(r1);
  firstChildren[0] = leaf ? 0 : slot[tree.firstChild[r1]];
  firstChildren[1] = leaf ? 0 : slot[tree.secondChild[r1]];
  firstChildLeaves[0] = leaf ? kInner : position(tree.firstChild[r1]);
  firstChildLeaves[1] = leaf ? kInner : position(tree.secondChild[r1]);
}

}  // namespace vorn
