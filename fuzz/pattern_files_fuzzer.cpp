// ReadPatternFiles on a pair of files packed into one input. The first byte picks the leaf count
// (1 to 64) and the filter; the rest is the pattern file and the counts file, split at the
// separator line.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "data/alignment_data.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint32_t leaves = 1 + data[0] % 64;
  // Bits 6 and 7: filter off, or on with a threshold of 0, 0.5 or 1.
  const unsigned filter = data[0] >> 6;
  std::vector<std::string> files =
      vorn::fuzzing::SplitFiles(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), 2);
  vorn::FilePtr patterns = vorn::fuzzing::MemoryStream(files[0]);
  vorn::FilePtr counts = vorn::fuzzing::MemoryStream(files[1]);
  vorn::fuzzing::Require(patterns && counts, "memory streams open");

  vorn::AlignmentData alignment;
  alignment.patternFileName = "fuzz.wp.txt";
  alignment.countsFileName = "fuzz.ngp.txt";
  alignment.ukfFilter = filter != 0;
  alignment.ukfThreshold = filter == 0 ? 0.0 : (filter - 1) * 0.5;
  if (alignment.ReadPatternFiles(patterns.get(), counts.get(), leaves)) {
    vorn::fuzzing::Require(alignment.leafCount == leaves && alignment.geneCount > 0, "sizes of data read");
    vorn::fuzzing::CheckAlignmentData(alignment);
  }
  return 0;
}
