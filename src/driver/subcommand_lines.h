// The command lines of the subcommands (vorn fit, vorn simulate, vorn check): their options,
// parsed with CLI11, their values checked, and their help texts.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

// How the files of a fit or a check are read: the table and tree settings a command line gives.
struct ReadingChoices {
  std::string tree, data;
  std::string treeUnit, geneColumn, leavesWithoutData;  // empty: the reader's default
};

struct FitLine {
  ReadingChoices reading;
  std::string prefix;                         // empty: the data file's name in the working directory
  std::string conditionOnPresence = "auto";  // auto, on or off
  std::string modes[8] = {"est", "est", "est", "est", "est", "est", "est", "est"};  // model lines
  std::uint32_t lossCategories = 4, gainCategories = 5;
  std::uint32_t starts = 8;
  bool standardErrors = false;
  std::string eventThreshold;  // empty: the setting's default
  std::optional<std::uint32_t> seed;
  std::uint32_t threads = 1;
};

struct SimulateLine {
  std::string tree, model, treeUnit;
  std::string prefix = "simulated";
  std::vector<std::string> set;  // NAME=VALUE, checked by the front end against the genes
  std::uint32_t sites = 0;
  std::optional<std::uint32_t> genes;
  std::uint32_t replicates = 1;
  std::optional<std::uint32_t> seed;
};

struct CheckLine {
  ReadingChoices reading;
};

// What a parse asks of the caller: run, stop with status 0 (the help was printed), or stop with
// status 1 (one "Error:VORN:Main: ..." line was printed).
enum class LineOutcome { kRun, kHelped, kRefused };

// argv[0] is the subcommand's own name ("fit"); the rest are its options.
LineOutcome ParseFitLine(int argc, const char* const* argv, FitLine* line);
LineOutcome ParseSimulateLine(int argc, const char* const* argv, SimulateLine* line);
LineOutcome ParseCheckLine(int argc, const char* const* argv, CheckLine* line);

// Most replicates one simulate line may ask for, and most sites per gene.
constexpr std::uint32_t kMaxReplicates = 10000;

}  // namespace vorn
