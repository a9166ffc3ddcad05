// The order of a run: read the control file and its files, make the data when they are to be
// simulated, fit, reconstruct, write. The driver alone ends the process; everything below it
// returns its failures.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

class AlignmentData;
class PhylogeneticTree;
struct ControlFile;

// The whole run for a command line; returns the process's exit status (0 after a completed run
// that left "done.txt" or after --help or --version, 1 after any error).
int RunProgram(int argc, const char* const* argv);

// One run of a control file, as the command line names it or a subcommand wrote it.
struct ControlRun {
  std::string controlFileName;
  std::optional<std::uint32_t> seed;  // from the clock when not given
  std::uint32_t threads = 1;          // of the E-step; 0 for one per core
  bool markDone = true;               // "done.txt" belongs to the control-file path alone
  std::vector<std::string> commandLine;  // a subcommand's words, recorded in results.json
};

// Reads, simulates, fits and writes as the control file says; the exit status (0 or 1).
int RunControlFile(const ControlRun& run);

// The seed of a run that names none: seconds * 1000 + milliseconds of the clock, in 32 bits.
std::uint32_t ClockSeed();

// The prefix of every file a run writes: the input file's base name cut at its last dot (and at
// the one before, if any, so "case7.input.txt" gives "case7"; a bare "input" gives "project"),
// kept in the input file's directory.
std::string ProjectName(const std::string& inputFileName);

// Reads the control file and the files it names; writes a random tree as PREFIX.phyl, and for a
// simulation makes the data and writes them beside the true model (and the true history when
// tracked). False, after its message, on the first problem.
bool LoadRun(PhylogeneticTree& tree, AlignmentData& data, ControlFile& control, const std::string& controlFileName,
             const std::string& projectName);

}  // namespace vorn
