// The command line: its options, their parsing and the help and version texts.
#pragma once
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace vorn {

// Most threads a run may ask for.
constexpr std::uint32_t kMaxThreads = 1024;

// What one command line asks of the program. ParseCommandLine fills it; an option that is not
// given leaves its default.
struct CommandLine {
  bool help = false;
  bool version = false;
  std::optional<std::uint32_t> seed;  // every random draw of the run derives from it
  std::uint32_t threads = 1;          // of the E-step; 0 for one per core
  std::string controlFileName;
};

// Reads "vorn [OPTIONS] CONTROL-FILE". Options may stand before or after the file name; "--"
// ends them, so a control file whose name begins with "-" can still be named. A value follows
// its option as the next argument or after "=" (--seed=7). On an unknown option, a missing or bad
// value, no control file or a second one, prints one "Error:VORN:Main: ..." line (the usage line
// after it where the mistake is in the form of the line) and returns false. With --help or
// --version the control file may be left out.
bool ParseCommandLine(int argc, const char* const* argv, CommandLine& commandLine);

// The values of --seed and --threads (0 for "auto"), for every command line that takes them; false
// after the one line that says what they take.
bool ParseSeed(std::string_view value, std::uint32_t* seed);
bool ParseThreads(std::string_view value, std::uint32_t* threads);

// "Usage: vorn [OPTIONS] CONTROL-FILE", the line printed after a malformed command line.
void PrintUsageLine(std::FILE* file);
// The text of --help: what the tool does, every option, where the documentation is.
void PrintHelp(std::FILE* file);
// The text of --version: the version of the build, and the git commit it was built from when
// built from a checkout.
void PrintVersion(std::FILE* file);

}  // namespace vorn
