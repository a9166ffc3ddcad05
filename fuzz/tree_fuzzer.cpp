// ReadPhyl and ReadNewick (Newick and NEXUS, with the settings at their defaults and otherwise) on
// arbitrary bytes: either the reader refuses the file with its one error line, or the tree it
// builds has the layout the likelihood and the reports rely on, and keeps it when every other leaf
// is pruned.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "data/phylogenetic_tree.h"
#include "fuzz_support.h"

namespace {

using vorn::fuzzing::Require;

void CheckTree(vorn::PhylogeneticTree& tree) {
  vorn::fuzzing::CheckTreeLayout(tree);
  Require(!tree.HasSupport() || tree.support.size() == tree.nodeCount, "a support value per node");
  if (tree.leafCount < 4) return;
  std::vector<std::uint8_t> removed(tree.leafCount, 0);
  for (std::uint32_t j = 0; j < tree.leafCount; j += 2) removed[j] = 1;
  const std::uint32_t kept = tree.leafCount - (tree.leafCount + 1) / 2;
  Require(tree.PruneLeaves(removed), "half the leaves can be pruned");
  Require(tree.leafCount == kept, "the pruned tree keeps the other leaves");
  vorn::fuzzing::CheckTreeLayout(tree);
}

void ReadWith(bool newick, const vorn::ReaderSettings& settings, std::string& bytes) {
  vorn::FilePtr stream = vorn::fuzzing::MemoryStream(bytes);
  Require(stream != nullptr, "memory stream opens");
  vorn::PhylogeneticTree tree;
  tree.treeName = "fuzz";
  if (newick ? tree.ReadNewick(stream.get(), settings) : tree.ReadPhyl(stream.get(), settings)) CheckTree(tree);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  const vorn::ReaderSettings defaults;
  ReadWith(false, defaults, bytes);
  ReadWith(true, defaults, bytes);
  // Another unit, numbers as support values, the second tree of a NEXUS file.
  vorn::ReaderSettings other;
  other.treeUnit = "100My";
  other.millionYearsPerUnit = 100;
  other.internalLabels = vorn::InternalLabels::kSupport;
  other.treeName = "2";
  ReadWith(true, other, bytes);
  return 0;
}
