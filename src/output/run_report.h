// What the report and the results files describe: the tree, the data, the fit's settings and
// result, and the reconstruction, with the facts of the run that only the driver knows.
#pragma once
#include <cstdint>
#include <string>

namespace vorn {

class AlignmentData;
class PhylogeneticTree;
enum class ReconstructionMode;
struct AncestralTables;
struct FitResult;
struct FitSettings;

struct RunFacts {
  std::string controlFileName;
  std::uint32_t seed = 0;
  double elapsedSeconds = 0;  // from before the control file was read to the end of the fit
};

struct FitReport {
  const PhylogeneticTree& tree;
  const AlignmentData& data;
  const FitSettings& settings;
  const FitResult& fit;
  ReconstructionMode reconstruction;
  const AncestralTables& ancestral;  // empty unless the reconstruction is on
  bool Reconstructed() const;
};

}  // namespace vorn
