// `vorn simulate`: data drawn on a tree from a fitted model (its results.json) or from values given,
// through a control file of the "sim" source, one per replicate.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vorn {

class PhylogeneticTree;

// What the model lines and settings of a simulation's control file say.
struct SimulatedModel {
  std::string modes[8];  // the model lines, in the control file's order (kFamilyLines)
  std::uint32_t genes = 1;
  std::uint32_t lossCategories = 4, gainCategories = 5;
  bool conditionOnPresence = false;
  std::string treeUnit;  // the setting the fit read its tree with; empty for none
};

// The fitted values of a results.json, on the tree they were fitted on (checked node by node).
// False after one error line.
bool ModelFromResults(const std::string& fileName, const PhylogeneticTree& tree, SimulatedModel* model);
// NAME=VALUE pairs over the defaults of examples/simulate.input.txt; theta and eta take one value
// for every gene or a comma-separated list of one per gene. False after one error line.
bool ModelFromValues(const std::vector<std::string>& assignments, std::uint32_t genes, SimulatedModel* model);

// argv[0] is "simulate"; returns the exit status.
int RunSimulate(int argc, const char* const* argv);

}  // namespace vorn
