// What the report and the results files describe: the tree, the data, the fit's settings and
// result, and the reconstruction, with the facts of the run that only the driver knows.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "data/diagnostics.h"
#include "data/reader_settings.h"

namespace vorn {

class AlignmentData;
class PhylogeneticTree;
enum class ReconstructionMode;
struct AncestralTables;
struct FitResult;
struct FitSettings;
struct SimulationSettings;
struct Uncertainty;

struct RunFacts {
  std::string controlFileName;
  // The words of a subcommand's line (vorn fit ...), recorded as run; empty for a control file
  // named on the command line, whose results keep the form they always had.
  std::vector<std::string> commandLine;
  std::uint32_t seed = 0;
  double elapsedSeconds = 0;  // from before the control file was read to the end of the fit
  std::vector<RecordedWarning> warnings;  // every warning the run gave, in order
};

struct FitReport {
  const PhylogeneticTree& tree;
  const AlignmentData& data;
  const FitSettings& settings;
  const FitResult& fit;
  ReconstructionMode reconstruction;
  const AncestralTables& ancestral;  // empty unless the reconstruction is on
  const ReaderSettings* reader = nullptr;  // how the files were read; null for the defaults
  const Uncertainty* uncertainty = nullptr;  // the standard errors; null unless asked for
  const SimulationSettings* simulation = nullptr;  // what a simulation drew; null without one
  bool Reconstructed() const;
  const ReaderSettings& Reading() const;
  // Whether the leaves end at one depth, within the settings' tolerance.
  bool Ultrametric() const;
};

}  // namespace vorn
