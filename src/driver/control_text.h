// The control files the subcommands write: the 52 lines and the settings after them, made from
// the choices of a command line, so that a subcommand's run is a control file's run and the file
// left beside the results repeats it.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vorn {

// The model's eight parameter families in the order of the control file's model lines.
enum class FamilyKind { kProbability, kGeneRate, kBranchProbability, kShape };
struct FamilyLine {
  const char* name;  // as the control file and the report write it: "p0", "g-lambda"
  int line;          // its line in the model section
  FamilyKind kind;
};
extern const FamilyLine kFamilyLines[8];
// The family of that name, or null.
const FamilyLine* FindFamily(const std::string& name);

// Everything a subcommand's control file says; the defaults are those of the shipped examples.
struct ControlPlan {
  std::string treeFile;
  std::string source;                 // line 8 after "source: ": "table FILE", "pat A B" or "sim"
  std::uint32_t genes = 3;            // lines 9 and 10: what a simulation makes
  std::uint32_t sitesPerGene = 500;
  std::string filter = "ukf 0.5";     // line 13
  // Lines 24-29, 32 and 33 after "NAME: ": "est", "fix 0.6", "con 1", "fix inf", or a list of
  // values ten to a line (ValueList).
  std::string modes[8] = {"est", "est", "est", "est", "est", "est", "est", "est"};
  std::uint32_t lossCategories = 4, gainCategories = 5;
  std::uint32_t maxIterations = 1000;
  const char* reconstruction = "on";
  std::vector<std::string> notes;  // "%" lines written first after line 52
  std::vector<std::pair<std::string, std::string>> settings;
};

// "phyl" for a file named *.phyl, else "newick" (which reads NEXUS files too).
const char* TreeForm(const std::string& treeFile);
// "fix V1 V2 ...", ten values to a line as the control file continues a list, each at 17
// significant digits so that it reads back as the same double.
std::string ValueList(const std::vector<double>& values);
// The 52 lines, a blank line's worth of notes and the settings, each line ending in a line feed.
std::string ControlText(const ControlPlan& plan);

// What `vorn fit` decides beyond the 52 lines: the settings it writes after them.
struct FitChoices {
  std::uint32_t starts = 8;
  bool conditionOnPresence = false;
  bool standardErrors = false;
  std::string eventThreshold;  // empty: the setting is not written
  std::string treeUnit, geneColumn, leavesWithoutData;  // empty: the setting is not written
};
// The settings of a fit, from the one table of them; those without a value are left out.
std::vector<std::pair<std::string, std::string>> FitSettingLines(const FitChoices& choices);

}  // namespace vorn
