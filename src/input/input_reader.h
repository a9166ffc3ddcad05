#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

namespace vorn {

class PhylogeneticTree;
class AlignmentData;
class EM;

// Longest line of the input file; a longer one is an error, not a split.
constexpr std::size_t kMaxInputLineLength = 2046;
// Largest random tree the reader makes: far beyond any real study, small enough to allocate.
constexpr std::uint32_t kMaxRandomTreeLeaves = 1U << 24;
// Most genes a simulation makes; every gene's records are allocated before the first site.
constexpr std::uint32_t kMaxSimulatedGenes = 1000000;

// Reads the 52-line control file of a run and fills the tree, the data and the estimator.
// Prints one error line and returns false on the first problem; warnings go on.
bool ReadInput(PhylogeneticTree& tree, AlignmentData& data, EM& em, std::FILE* input,
               const std::string& projectName);

}  // namespace vorn
