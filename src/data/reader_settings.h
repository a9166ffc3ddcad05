// How the tree and table readers take the files a researcher's tools wrote: the settings after
// line 52 of the control file that concern reading. Their defaults read every file as the
// readers always have.
#pragma once
#include <cstdint>
#include <string>

namespace vorn {

// What a table does about a leaf of the tree that has no column (or row) in it.
enum class LeavesWithoutData { kError, kUnknown, kPrune };

// What a number standing as the label of an inner node of a Newick tree is: a support value
// (bootstrap, posterior) unless vorn wrote the tree, or always a name, or always a support value.
enum class InternalLabels { kAuto, kNames, kSupport };

struct ReaderSettings {
  // "tree unit": millions of years per unit of a Newick or NEXUS tree's branch lengths, and the
  // setting's text as given; empty when not given (the form's own unit, 1000 million years).
  std::string treeUnit;
  double millionYearsPerUnit = 1000;
  // "tree name": the tree of a NEXUS file to read; empty for the first.
  std::string treeName;
  // "ultrametric tolerance": how far apart the leaves may end, as a share of the root's depth,
  // before the tree is taken for one whose branch lengths are not times.
  double ultrametricTolerance = 0.01;
  InternalLabels internalLabels = InternalLabels::kAuto;
  // "gene column": the table column that groups rows into genes; empty for the default (a column
  // headed "gene" other than the first).
  std::string geneColumn;
  LeavesWithoutData leavesWithoutData = LeavesWithoutData::kError;
};

// The settings' words, as the control file takes them and results.json records them.
inline const char* LeavesWithoutDataName(LeavesWithoutData mode) {
  return mode == LeavesWithoutData::kError ? "error" : mode == LeavesWithoutData::kUnknown ? "unknown" : "prune";
}
inline const char* InternalLabelsName(InternalLabels mode) {
  return mode == InternalLabels::kAuto ? "auto" : mode == InternalLabels::kNames ? "names" : "support";
}

}  // namespace vorn
