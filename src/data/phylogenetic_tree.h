// The rooted binary tree: its nodes, branch lengths and walking orders, its readers (phyl, Newick),
// random trees, and the Dollo parsimony counts that the report sets beside the estimates.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vorn {

// Most leaves a tree may have: node indices are 32-bit, with nodeCount itself free as "none".
constexpr std::uint32_t kMaxTreeLeaves = 0x7fffffffU;

class Pattern;
class AlignmentData;
class MersenneTwister;

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
  // parent, two leaves of one name); the caller sets treeName first.
  bool ReadPhyl(std::FILE* file);
  bool ReadNewick(std::FILE* file);
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

 private:
  // Sizes every node array for the given leaf count, links set to none, orders emptied.
  void Allocate(std::uint32_t leaves);
  // Once the root is 0 and the leaves are last: leafNodes, then the orders breadth first.
  void FinishLayout();
  // innerNodes and deepInnerNodes from a complete bottomUpOrder.
  void DeriveInnerLists();
  // After a reader: refuses two leaves of one name, warns of a span no time tree can have.
  bool CheckTimeTree(bool newick) const;
};

}  // namespace vorn
