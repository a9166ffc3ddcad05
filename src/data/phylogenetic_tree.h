// The rooted binary tree: its nodes, branch lengths and walking orders, its readers (phyl, Newick),
// random trees, and the Dollo parsimony counts that the report sets beside the estimates.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "data/reader_settings.h"

namespace vorn {

// Most leaves a tree may have: node indices are 32-bit, with nodeCount itself free as "none".
constexpr std::uint32_t kMaxTreeLeaves = 0x7fffffffU;

class Pattern;
class AlignmentData;
class MersenneTwister;
struct NestedTree;

// A rooted, strictly binary tree of nodeCount = 2 leafCount - 1 nodes. Node 0 is the root,
// internal nodes are 0 ... L-2 and leaves L-1 ... N-1, with leafNodes[j] = L-1+j the node of
// position j of every pattern. A link equal to nodeCount means none (a leaf's children, the
// root's parent). branchLength[v] is the branch above v in units of 1000 million years; the
// "phyl" form and reports show millions of years. Filled by ReadPhyl, ReadNewick or
// GenerateRandomTree, which also build the three node orders walked by the likelihood.
class PhylogeneticTree {
 public:
  virtual ~PhylogeneticTree() = default;

  // Each reader prints "Error:VORN:ReadInput: the phylogenetic tree '<treeName>' <reason>" and
  // returns false on a malformed file or one that cannot be a time tree (a node older than its
  // parent, two leaves of one name); the caller sets treeName first. Both warn of a tree whose
  // leaves do not end at one depth and of one older than the Earth.
  bool ReadPhyl(std::FILE* file, const ReaderSettings& settings = ReaderSettings());
  // Newick, or the trees block of a NEXUS file (newick_reader.cpp): comments in brackets, quoted
  // labels, support values as inner labels, lengths in the unit the settings give.
  bool ReadNewick(std::FILE* file, const ReaderSettings& settings = ReaderSettings());
  // Removes the leaves flagged (one byte per leaf position j), joining the branches above each:
  // its sibling takes the parent's place, the two lengths added. The nodes are then numbered as
  // a Newick tree written without those leaves would be. False, after its message, when fewer
  // than two leaves would remain. (nested_tree.cpp)
  bool PruneLeaves(const std::vector<std::uint8_t>& removed);
  // Needs leafCount >= 2 and span > 0 (checked by the caller). Draws from the run's next
  // random-tree generator, or from the one given.
  void GenerateRandomTree(std::uint32_t leafCount, double span);
  void GenerateRandomTree(std::uint32_t leafCount, double span, MersenneTwister& random);
  void WritePhyl(std::FILE* file) const;

  void SwapNodes(std::uint32_t a, std::uint32_t b);
  void MoveLeavesLast();

  // Dollo parsimony states (0, 1, 2 for an unknown leaf, 255 undefined) of every node for each of
  // count leaf patterns: row k of nodeCount bytes belongs to patterns[k]. (data/dollo.cpp)
  std::vector<std::uint8_t> DolloReconstruction(const Pattern* patterns, std::uint32_t count) const;

  bool IsLeaf(std::uint32_t v) const { return firstChild[v] >= nodeCount; }
  // Sum of branch lengths down the first-child chain to a leaf.
  double Age(std::uint32_t v) const;
  // The depths of the shallowest and the deepest leaf below the root.
  void LeafDepths(double* shallowest, double* deepest) const;
  bool HasSupport() const { return !support.empty(); }

  std::uint32_t nodeCount = 0;
  std::uint32_t leafCount = 0;
  std::vector<std::uint32_t> firstChild, secondChild, parent;
  std::vector<std::uint32_t> leafNodes;
  std::vector<double> branchLength;
  std::vector<std::uint32_t> bottomUpOrder;   // siblings in pairs, children before parents, root last
  std::vector<std::uint32_t> innerNodes;      // internal nodes but the root, children first
  std::vector<std::uint32_t> deepInnerNodes;  // internal nodes below the root's children, parents first
  std::vector<std::string> nodeNames;
  std::string treeName;
  // Support values of inner nodes as the file wrote them ("" where a node has none); empty when
  // the tree had none at all, so that the outputs of such trees keep their form.
  std::vector<std::string> support;
  // How the file's lengths were read, for the reports: millions of years per unit (1 for the ages
  // of a "phyl" file, 1000 for Newick lengths unless the "tree unit" setting said otherwise, 0 for
  // a random tree), and that setting's text when it was given.
  double fileUnit = 0;
  std::string unitSetting;

 private:
  // The parts of ReadPhyl, on the lines after the node count; false after their message.
  bool ReadPhylNodes(const std::vector<std::string>& lines, std::vector<double>* ages);
  bool ReadPhylEdges(const std::vector<std::string>& lines, const std::vector<double>& age);
  bool FindSingleRoot(std::uint32_t* root);

  // Sizes every node array for the given leaf count, links set to none, orders emptied.
  void Allocate(std::uint32_t leaves);
  // Once the root is 0 and the leaves are last: leafNodes, then the orders breadth first.
  void FinishLayout();
  // innerNodes and deepInnerNodes from a complete bottomUpOrder.
  void DeriveInnerLists();
  // Numbers the nodes of a strictly binary nested tree as the Newick form always has: leaves count
  // down from N - 1 as their pairs close, right child first, pairs from L - 2 in closing order, so
  // the outermost pair is the root 0. Unnamed nodes become "Leaf_k" and "Ancestor_k" in that order.
  void BuildFromNested(NestedTree& nested);
  // After a reader: refuses two leaves of one name, warns of leaves that end at different depths
  // and of a span no time tree can have.
  bool CheckTimeTree(bool newick, const ReaderSettings& settings) const;
  // Depths that hold in millions of years.
  bool CheckDepths() const;
};

// A node name that every output can hold as it is (NameFault); otherwise the error, naming the
// line of the tree file the name is on.
bool CheckNodeName(const std::string& treeName, const std::string& name, std::size_t line);

}  // namespace vorn
