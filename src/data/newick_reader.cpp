// PhylogeneticTree::ReadNewick: a Newick file, or one tree of a NEXUS file's trees block, made into
// the tree's layout. Labels become names, lengths and support values; lengths are turned into
// 1000 million years; a node that a rooted binary tree cannot have is named in the message by
// leaves of its subtrees, which is what a user can find in a viewer.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>

#include "data/diagnostics.h"
#include "data/nested_tree.h"
#include "data/newick_parser.h"
#include "data/phylogenetic_tree.h"
#include "data/text_io.h"

namespace vorn {
namespace {

bool TreeError(const std::string& treeName, const std::string& reason) {
  std::fprintf(stderr, "Error:VORN:ReadInput: the phylogenetic tree '%s' %s\n", treeName.c_str(), reason.c_str());
  return false;
}

std::string LeafName(const NestedTree& tree, std::uint32_t leaf) {
  const std::string& name = tree.nodes[leaf].name;
  return name.empty() ? std::string("an unnamed leaf") : "'" + name + "'";
}

// A leaf by its name; an inner node by two leaves whose paths meet at it, and its name if it has one.
std::string Described(const NestedTree& tree, std::uint32_t v) {
  const NestedNode& node = tree.nodes[v];
  if (tree.IsLeaf(v)) return node.name.empty() ? std::string("an unnamed leaf") : "leaf '" + node.name + "'";
  std::string text = node.name.empty() ? std::string() : "node '" + node.name + "', ";
  if (node.children.size() == 1) return text + "the parent of " + Described(tree, node.children[0]);
  return text + "the ancestor of " + LeafName(tree, tree.FirstLeaf(node.children[0])) + " and " +
         LeafName(tree, tree.FirstLeaf(node.children[1]));
}

// The subtrees of a node, each by its first leaf: "'A', 'B' and 'C'".
std::string SubtreeList(const NestedTree& tree, std::uint32_t v) {
  const std::vector<std::uint32_t>& children = tree.nodes[v].children;
  std::string list;
  for (std::size_t i = 0; i < children.size(); ++i) {
    list += (i == 0 ? "" : i + 1 == children.size() ? " and " : ", ") + LeafName(tree, tree.FirstLeaf(children[i]));
  }
  return list;
}

// A bootstrap or posterior value as tools write them as inner labels: a number, or numbers
// joined by "/" (as 95.3/100 for two kinds of support).
bool IsSupportText(std::string_view text) {
  if (text.empty()) return false;
  for (;;) {
    const std::size_t slash = text.find('/');
    const std::string_view piece = text.substr(0, slash);
    double value = 0;
    if (piece.empty() || !(std::isdigit(static_cast<unsigned char>(piece[0])) || piece[0] == '.') ||
        !ParseDouble(piece, &value)) {
      return false;
    }
    if (slash == std::string_view::npos) return true;
    text.remove_prefix(slash + 1);
  }
}

// Names, support values and leaf names from the translate table, as the labels say.
void InterpretLabels(NestedTree& tree, const NexusTree* nexus, InternalLabels mode) {
  for (std::uint32_t v = 0; v < tree.nodes.size(); ++v) {
    NestedNode& node = tree.nodes[v];
    if (tree.IsLeaf(v)) {
      if (!nexus) continue;
      const auto found = nexus->translate.find(node.name);
      if (found != nexus->translate.end()) node.name = found->second;
      continue;
    }
    std::string value;
    // vorn's own tree.nwk names every node and keeps support values in its comments.
    const bool ours = CommentValue(node.comments, "phi", &value) && CommentValue(node.comments, "xi", &value);
    if (CommentValue(node.comments, "support", &value) && IsSupportText(value)) node.support = value;
    if (v == 0 || node.quoted || mode == InternalLabels::kNames || (ours && mode == InternalLabels::kAuto)) continue;
    if (IsSupportText(node.name)) {
      node.support = std::move(node.name);
      node.name.clear();
    }
  }
}

// Every node but the root has two children or none; the root has two.
bool CheckBinary(const NestedTree& tree, const std::string& treeName) {
  for (std::uint32_t v = 0; v < tree.nodes.size(); ++v) {
    const std::size_t children = tree.nodes[v].children.size();
    if (children == 1) return TreeError(treeName, "has a node with one child, " + Described(tree, v));
    if (children <= 2) continue;
    if (v == 0 && children == 3) {
      return TreeError(treeName, "is unrooted: its root has three subtrees, those of " + SubtreeList(tree, 0) +
                                     "; root it on an outgroup (in FigTree, with R's ape::root or with ete3) and "
                                     "save it again, so that the root has two children");
    }
    if (v == 0) {
      return TreeError(treeName, "has " + std::to_string(children) + " subtrees at its root, those of " +
                                     SubtreeList(tree, 0) +
                                     "; root it so that the root has two children, resolving the rest into pairs "
                                     "joined by branches of length 0");
    }
    return TreeError(treeName, "has a node with " + std::to_string(children) + " children, " + Described(tree, v) +
                                   ", whose subtrees are those of " + SubtreeList(tree, v) +
                                   "; resolve it into pairs joined by branches of length 0");
  }
  return true;
}

bool ReadLengths(NestedTree& tree, const std::string& treeName) {
  for (std::uint32_t v = 1; v < tree.nodes.size(); ++v) {
    NestedNode& node = tree.nodes[v];
    if (!node.hasLength || node.lengthText.empty()) {
      return TreeError(treeName, "has a branch without a length, above " + Described(tree, v));
    }
    if (!ParseDouble(node.lengthText, &node.length)) {
      return TreeError(treeName, "has a malformed branch length ('" + node.lengthText + "') above " +
                                     Described(tree, v));
    }
  }
  return true;
}

}  // namespace

bool PhylogeneticTree::ReadNewick(std::FILE* file, const ReaderSettings& settings) {
  std::string text;
  char buffer[65536];
  std::size_t got;
  SkipByteOrderMark(file);
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);

  NexusTree nexus;
  const bool isNexus = IsNexus(text);
  if (isNexus) {
    if (!FindNexusTree(text, treeName, settings.treeName, &nexus)) return false;
  } else if (!settings.treeName.empty()) {
    return TreeError(treeName, "is a Newick file of one tree; the setting 'tree name: " + settings.treeName +
                                   "' picks a tree of a NEXUS file");
  }
  NestedTree nested;
  RootFlag flag = RootFlag::kNone;
  if (!ParseNewick(isNexus ? nexus.newick : std::string_view(text), treeName, &nested, &flag)) return false;
  InterpretLabels(nested, isNexus ? &nexus : nullptr, settings.internalLabels);
  const std::size_t start = isNexus ? static_cast<std::size_t>(nexus.newick.data() - text.data()) : 0;
  for (const NestedNode& node : nested.nodes) {
    if (!NameFault(node.name)) continue;  // the line is counted only for the message
    const auto at = text.begin() + static_cast<std::ptrdiff_t>(start + node.at);
    return CheckNodeName(treeName, node.name, 1 + static_cast<std::size_t>(std::count(text.begin(), at, '\n')));
  }
  if (!CheckBinary(nested, treeName) || !ReadLengths(nested, treeName)) return false;
  if ((nested.nodes.size() + 1) / 2 > kMaxTreeLeaves) return TreeError(treeName, "has too many leaves");

  BuildFromNested(nested);
  for (std::uint32_t v = 1; v < nodeCount; ++v) {
    if (branchLength[v] < 0) {
      std::fprintf(stderr, "Error:VORN:ReadInput: the phylogenetic tree '%s' has a negative branch length (%lg) "
                   "above node '%s'\n", treeName.c_str(), branchLength[v], nodeNames[v].c_str());
      return false;
    }
  }
  fileUnit = settings.treeUnit.empty() ? 1000 : settings.millionYearsPerUnit;
  unitSetting = settings.treeUnit;
  const double factor = fileUnit / 1000;
  if (factor != 1) {
    for (std::uint32_t v = 1; v < nodeCount; ++v) {
      branchLength[v] *= factor;
      if (!std::isfinite(branchLength[v])) {
        return TreeError(treeName, "has a branch too long for the unit of 'tree unit: " + unitSetting + "'");
      }
    }
  }
  if (flag == RootFlag::kUnrooted) {
    auto firstLeaf = [this](std::uint32_t v) {
      while (!IsLeaf(v)) v = firstChild[v];
      return nodeNames[v].c_str();
    };
    Warn("tree-marked-unrooted", "ReadInput",
         "the phylogenetic tree '%s' is marked unrooted ([&U]); it is read as rooted where its text puts the root, "
         "between the subtrees of '%s' and '%s'",
         treeName.c_str(), firstLeaf(firstChild[0]), firstLeaf(secondChild[0]));
  }
  return CheckTimeTree(true, settings);
}

}  // namespace vorn
