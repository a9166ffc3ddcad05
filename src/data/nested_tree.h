// A tree as a file writes it, before it becomes a PhylogeneticTree: any number of children per
// node and the labels as written. The Newick and NEXUS readers fill it; pruning makes one from a
// tree. Internal to the data folder.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vorn {

struct NestedNode {
  std::vector<std::uint32_t> children;  // in written order
  std::string name;                     // empty: unnamed
  bool quoted = false;                  // the name was written in single quotes
  bool hasLength = false;
  std::string lengthText;               // after the colon, blanks and comments removed
  double length = 0;
  std::string comments;                 // the bracketed comments of the label, one a line
  std::string support;                  // a support value as written; empty for none
  std::size_t at = 0;                   // where the label starts in the parsed text
};

// nodes[0] is the root; every child comes after its parent.
struct NestedTree {
  std::vector<NestedNode> nodes;
  bool IsLeaf(std::uint32_t v) const { return nodes[v].children.empty(); }
  // The leaf reached by first children: the leaf that names a subtree in messages.
  std::uint32_t FirstLeaf(std::uint32_t v) const {
    while (!IsLeaf(v)) v = nodes[v].children[0];
    return v;
  }
};

}  // namespace vorn
