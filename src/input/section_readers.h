#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "input/template_reader.h"

// The readers of the control file's sections, which ReadInput calls in the template's order.
// Each reads its own lines and prints the first problem it finds. Internal to the input folder.
namespace vorn {

class AlignmentData;
class PhylogeneticTree;
struct ControlFile;
struct ReaderSettings;
struct SimulationSettings;

namespace control_file {

// Where the model section's random draws start from (lines 14 to 21); a value outside the range
// a draw accepts keeps the default.
struct DrawParameters {
  double p0Lower = 0.95;
  double thetaMean = 1;
  double phiWeight = 0.4;
  double phiMean = 1;
  double etaMean = 1.5;
  double xiWeight = 0.4;
  double xiMean = 1.5;
  double nuLower = 0.8;
  double llambdaMean = 1;
  double glambdaMean = 1;
};

// Lines 1-5 (tree_data_lines.cpp): the tree, read from its file or made at random.
bool ReadTreeSection(TemplateReader& in, PhylogeneticTree& tree, const std::string& projectName,
                     const ReaderSettings& reader, bool* random);
// Lines 6-13: the data source, read at once from pattern files or a table, or the settings of a
// simulation that runs once the model is known. A table may prune leaves without data from the
// tree, as the settings ask.
bool ReadDataSection(TemplateReader& in, PhylogeneticTree& tree, AlignmentData& data, const std::string& projectName,
                     const ReaderSettings& reader, SimulationSettings& sim);

// Lines 14-21 (model_lines.cpp): where the random draws of the model lines start from.
bool ReadDrawParameters(TemplateReader& in, DrawParameters& draws);
// Lines 22-33: which parameters are estimated and the values of those fixed (drawn when asked,
// and, when simulating, for those estimated too), on an estimator already sized.
bool ReadModelSection(TemplateReader& in, const PhylogeneticTree& tree, ControlFile& control,
                      const DrawParameters& draws, bool simulate);

// Lines 34-42 (control_lines.cpp): category counts, tolerances, iteration limit, reconstruction.
bool ReadControlSection(TemplateReader& in, ControlFile& control);
// Lines 43-52: how each estimated parameter starts.
bool ReadInitializationSection(TemplateReader& in, ControlFile& control);

}  // namespace control_file
}  // namespace vorn
