// ReadCharacterTable on a Newick tree and a table packed into one input: the first byte picks the
// filter and the settings, the rest is the tree and the table file (delimited, FASTA or PHYLIP),
// split at the separator line. Either a reader refuses its file with one error line, or the data
// the table gives are consistent, sized for the tree (pruned or not), and in the order the
// pattern files would give.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "data/alignment_data.h"
#include "data/character_table.h"
#include "data/phylogenetic_tree.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // Bits 6 and 7: filter off, or on with a threshold of 0, 0.5 or 1. Bits 4 and 5: leaves without
  // data an error, unknown or pruned. Bit 3: the gene column named "Family ID".
  const unsigned filter = data[0] >> 6;
  vorn::ReaderSettings reader;
  const unsigned mode = (data[0] >> 4) & 3;
  reader.leavesWithoutData = mode == 1   ? vorn::LeavesWithoutData::kUnknown
                             : mode == 2 ? vorn::LeavesWithoutData::kPrune
                                         : vorn::LeavesWithoutData::kError;
  if (data[0] & 8) reader.geneColumn = "Family ID";
  std::vector<std::string> files =
      vorn::fuzzing::SplitFiles(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), 2);
  vorn::FilePtr treeFile = vorn::fuzzing::MemoryStream(files[0]);
  vorn::FilePtr tableFile = vorn::fuzzing::MemoryStream(files[1]);
  vorn::fuzzing::Require(treeFile && tableFile, "memory streams open");

  vorn::PhylogeneticTree tree;
  tree.treeName = "fuzz.nwk";
  if (!tree.ReadNewick(treeFile.get())) return 0;
  vorn::AlignmentData alignment;
  alignment.ukfFilter = filter != 0;
  alignment.ukfThreshold = filter == 0 ? 0.0 : (filter - 1) * 0.5;
  if (!vorn::ReadCharacterTable(tableFile.get(), "fuzz.tsv", reader, tree, alignment)) return 0;
  vorn::fuzzing::CheckTreeLayout(tree);
  vorn::fuzzing::Require(alignment.leafCount == tree.leafCount && alignment.geneCount > 0, "sizes of data read");
  vorn::fuzzing::Require(alignment.allSites > 0, "a table read holds sites");
  vorn::fuzzing::CheckAlignmentData(alignment);
  for (const vorn::Gene& gene : alignment.genes) {
    for (std::uint32_t e = 1; e < gene.entryCount; ++e) {
      vorn::fuzzing::Require(gene.patternIndices[e - 1] < gene.patternIndices[e], "entries in pattern order");
    }
  }
  return 0;
}
