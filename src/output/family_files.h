// The per-site answers of a fit: PREFIX.families.tsv (one row per site) and
// PREFIX.family_events.tsv (one row per site and branch whose gain or loss chance reaches the
// event threshold).
#pragma once
#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "estimation/e_step.h"

namespace vorn {

class AlignmentData;
class PhylogeneticTree;

// Computes the posteriors of the entries it is given (the estimator at its result, in a run).
using EntryPosteriorSource = std::function<void(const std::vector<EntryRef>& entries, EntryPosteriors* posteriors)>;

// The most distinct entries held at once for a tree of nodeCount nodes: about 32 MiB of
// posteriors, so that memory never grows with the number of sites.
std::size_t FamilyChunkEntries(std::uint32_t nodeCount);

// The data's sites in the order the rows are written: a table's rows in the table's order (those
// the filter removed left out), or gene by gene the sites of each entry in pattern order, as the
// pair of pattern files counts them. Writes both tables to the two streams, computing the
// posteriors of at most chunkEntries distinct entries at a time.
void WriteFamilyTables(std::FILE* families, std::FILE* events, const PhylogeneticTree& tree,
                       const AlignmentData& data, double threshold, const EntryPosteriorSource& source,
                       std::size_t chunkEntries);

// Whether both files can be created now (checked before the fit); false after its message.
bool CanWriteFamilyFiles(const std::string& projectName);
// Writes both files, complete or absent: either both appear or neither does.
bool WriteFamilyFiles(const PhylogeneticTree& tree, const AlignmentData& data, double threshold,
                      const EntryPosteriorSource& source, const std::string& projectName);

}  // namespace vorn
