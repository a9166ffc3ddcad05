#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "data/alignment_data.h"
#include "data/c_file.h"
#include "data/phylogenetic_tree.h"

namespace vorn {
namespace fuzzing {

// Separates the files packed into one fuzz input. It is a line of its own, so the corpus files
// stay readable, and it is in each dictionary, so mutations can add and remove files.
constexpr std::string_view kFileSeparator = "@@@\n";

// The first `count` files of a packed input; missing ones are empty, and the last keeps
// everything after the last separator it needs.
inline std::vector<std::string> SplitFiles(std::string_view input, std::size_t count) {
  std::vector<std::string> files(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = i + 1 < count ? input.find(kFileSeparator) : std::string_view::npos;
    files[i] = std::string(input.substr(0, at));
    if (at == std::string_view::npos) break;
    input.remove_prefix(at + kFileSeparator.size());
  }
  return files;
}

// A read-only stream over bytes held by the caller, with no file system involved; `bytes` must
// outlive the stream.
inline FilePtr MemoryStream(std::string& bytes) {
  return FilePtr(fmemopen(bytes.data(), bytes.size(), "r"));
}

// Ends the process with a message when an invariant of a structure that a reader accepted does
// not hold; libFuzzer records the input as a crash.
void Require(bool condition, const char* what);

// The layout every user of a tree relies on: root 0, internal nodes before leaves, two children
// per internal node with matching parents, and node orders that list every node once, children
// before parents.
void CheckTreeLayout(const PhylogeneticTree& tree);

// The site and entry bookkeeping of data read from pattern files or simulated.
void CheckAlignmentData(const AlignmentData& data);

}  // namespace fuzzing
}  // namespace vorn
