// From a nested tree to the tree's layout, and pruning leaves, which goes through a nested tree
// so that a pruned tree is numbered as the same tree written without those leaves.
#include "data/nested_tree.h"

#include <cassert>
#include <cstdio>
#include <utility>

#include "data/phylogenetic_tree.h"

namespace vorn {

void PhylogeneticTree::BuildFromNested(NestedTree& nested) {
  std::uint32_t leaves = 0;
  for (std::uint32_t v = 0; v < nested.nodes.size(); ++v) leaves += nested.IsLeaf(v);
  Allocate(leaves);
  const std::uint32_t n = nodeCount, l = leafCount;
  std::vector<std::uint32_t> index(nested.nodes.size(), n);
  bool anySupport = false;
  for (const NestedNode& node : nested.nodes) anySupport = anySupport || !node.support.empty();
  if (anySupport) support.assign(n, std::string());
  std::uint32_t nextLeaf = n - 1, nextPair = l - 2, unnamedLeaves = 0, unnamedAncestors = 0;
  char name[32];
  auto place = [&](std::uint32_t u, std::uint32_t v) {
    NestedNode& node = nested.nodes[u];
    index[u] = v;
    if (node.name.empty()) {
      if (nested.IsLeaf(u)) {
        std::snprintf(name, sizeof name, "Leaf_%u", ++unnamedLeaves);
      } else {
        std::snprintf(name, sizeof name, "Ancestor_%u", ++unnamedAncestors);
      }
      node.name = name;
    }
    nodeNames[v] = std::move(node.name);
    branchLength[v] = u == 0 ? 0.0 : node.length;
    if (anySupport) support[v] = std::move(node.support);
  };
  // Post-order without recursion (a caterpillar of thousands of leaves is as deep): a pair closes
  // after both its subtrees, and names its leaf children then, right first.
  struct Visit {
    std::uint32_t node;
    bool childrenDone;
  };
  std::vector<Visit> stack{{0, false}};
  while (!stack.empty()) {
    const Visit top = stack.back();
    const NestedNode& node = nested.nodes[top.node];
    if (nested.IsLeaf(top.node)) {
      stack.pop_back();
      continue;
    }
    assert(node.children.size() == 2);
    if (!top.childrenDone) {
      stack.back().childrenDone = true;
      stack.push_back({node.children[1], false});
      stack.push_back({node.children[0], false});
      continue;
    }
    stack.pop_back();
    const std::uint32_t left = node.children[0], right = node.children[1];
    if (nested.IsLeaf(right)) place(right, nextLeaf--);
    if (nested.IsLeaf(left)) place(left, nextLeaf--);
    const std::uint32_t v = nextPair--;
    place(top.node, v);
    firstChild[v] = index[left];
    secondChild[v] = index[right];
    parent[index[left]] = parent[index[right]] = v;
  }
  FinishLayout();
}

bool PhylogeneticTree::PruneLeaves(const std::vector<std::uint8_t>& removed) {
  std::uint32_t kept = 0;
  for (std::uint32_t j = 0; j < leafCount; ++j) kept += removed[j] == 0;
  if (kept < 2) {
    std::fprintf(stderr, "Error:VORN:ReadInput: the phylogenetic tree '%s' would keep %u leaves without the leaves "
                 "that have no data; at least two are needed\n", treeName.c_str(), static_cast<unsigned>(kept));
    return false;
  }
  // Which nodes keep a leaf below them, children before parents.
  std::vector<std::uint8_t> keeps(nodeCount, 0);
  for (std::uint32_t v : bottomUpOrder) {
    keeps[v] = IsLeaf(v) ? removed[v - (leafCount - 1)] == 0 : keeps[firstChild[v]] || keeps[secondChild[v]];
  }
  // Each kept node below the new root hangs from its nearest ancestor that keeps both children;
  // a node that keeps one passes its branch on to that child.
  NestedTree nested;
  struct Pending {
    std::uint32_t node;
    std::uint32_t parentSlot;  // in nested.nodes; none for the root
    double above;              // lengths of the removed nodes between
  };
  constexpr std::uint32_t kNone = 0xffffffffU;
  const bool anySupport = HasSupport();
  std::vector<Pending> stack{{0, kNone, 0.0}};
  while (!stack.empty()) {
    Pending p = stack.back();
    stack.pop_back();
    std::uint32_t v = p.node;
    double length = p.above + (p.parentSlot == kNone ? 0.0 : branchLength[v]);
    while (!IsLeaf(v) && !(keeps[firstChild[v]] && keeps[secondChild[v]])) {
      v = keeps[firstChild[v]] ? firstChild[v] : secondChild[v];
      length += branchLength[v];
    }
    const std::uint32_t slot = static_cast<std::uint32_t>(nested.nodes.size());
    nested.nodes.emplace_back();
    NestedNode& node = nested.nodes.back();
    node.name = nodeNames[v];
    node.hasLength = p.parentSlot != kNone;
    node.length = node.hasLength ? length : 0.0;
    if (anySupport) node.support = support[v];
    if (p.parentSlot != kNone) nested.nodes[p.parentSlot].children.push_back(slot);
    if (!IsLeaf(v)) {
      // The second child goes on the stack first, so the first is taken (and listed) first.
      stack.push_back({secondChild[v], slot, 0.0});
      stack.push_back({firstChild[v], slot, 0.0});
    }
  }
  support.clear();
  BuildFromNested(nested);
  return true;
}

}  // namespace vorn
