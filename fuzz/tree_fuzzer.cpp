// ReadPhyl and ReadNewick on arbitrary bytes: either the reader refuses the file with its one
// error line, or the tree it builds has the layout the likelihood and the reports rely on.
#include <cstddef>
#include <cstdint>
#include <string>

#include "data/phylogenetic_tree.h"
#include "fuzz_support.h"

namespace {

void ReadWith(bool (vorn::PhylogeneticTree::*read)(std::FILE*), std::string& bytes) {
  vorn::FilePtr stream = vorn::fuzzing::MemoryStream(bytes);
  vorn::fuzzing::Require(stream != nullptr, "memory stream opens");
  vorn::PhylogeneticTree tree;
  tree.treeName = "fuzz";
  if ((tree.*read)(stream.get())) vorn::fuzzing::CheckTreeLayout(tree);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  ReadWith(&vorn::PhylogeneticTree::ReadPhyl, bytes);
  ReadWith(&vorn::PhylogeneticTree::ReadNewick, bytes);
  return 0;
}
