// Command-line options, help and version.
#include "driver/command_line.h"

#include <string>
#include <string_view>

#include "data/text_io.h"
#include "driver/version_info.h"

namespace vorn {
namespace {

// One option of the command line. Adding an option is one entry here (and its field in
// CommandLine): the parser and the help text both walk this table.
struct Option {
  const char* name;       // "--seed"
  const char* shortName;  // "-h", or nullptr
  const char* valueName;  // "N" for an option that takes a value, nullptr for a switch
  const char* help;       // the line of --help
  // Stores the option in the command line; for a value, false after printing why it is refused.
  bool (*apply)(std::string_view value, CommandLine& commandLine);
};

bool ApplySeed(std::string_view value, CommandLine& commandLine) {
  std::uint32_t seed = 0;
  if (!ParseSeed(value, &seed)) return false;
  commandLine.seed = seed;
  return true;
}

bool ApplyThreads(std::string_view value, CommandLine& commandLine) {
  return ParseThreads(value, &commandLine.threads);
}

const Option kOptions[] = {
    {"--help", "-h", nullptr, "print this help and exit",
     [](std::string_view, CommandLine& c) {
       c.help = true;
       return true;
     }},
    {"--version", nullptr, nullptr, "print the version and exit",
     [](std::string_view, CommandLine& c) {
       c.version = true;
       return true;
     }},
    {"--seed", nullptr, "N", "seed every random draw with N (0 to 4294967295; default: from the clock)", ApplySeed},
    {"--threads", nullptr, "N", "compute on N threads, or auto for one per core (default 1); results do not change",
     ApplyThreads},
};

const Option* FindOption(std::string_view name) {
  for (const Option& option : kOptions) {
    if (name == option.name || (option.shortName && name == option.shortName)) return &option;
  }
  return nullptr;
}

}  // namespace

bool ParseSeed(std::string_view value, std::uint32_t* seed) {
  unsigned long long number = 0;
  if (!ParseUnsigned(value, 0xffffffffULL, &number)) {
    const std::string text(value);
    std::fprintf(stderr, "Error:VORN:Main: The seed must be a whole number from 0 to 4294967295, not '%s'\n",
                 text.c_str());
    return false;
  }
  *seed = static_cast<std::uint32_t>(number);
  return true;
}

bool ParseThreads(std::string_view value, std::uint32_t* threads) {
  if (value == "auto") {
    *threads = 0;
    return true;
  }
  unsigned long long number = 0;
  if (!ParseUnsigned(value, kMaxThreads, &number) || number == 0) {
    const std::string text(value);
    std::fprintf(stderr, "Error:VORN:Main: The number of threads must be auto or a whole number from 1 to %u, not '%s'\n",
                 static_cast<unsigned>(kMaxThreads), text.c_str());
    return false;
  }
  *threads = static_cast<std::uint32_t>(number);
  return true;
}

void PrintUsageLine(std::FILE* file) { std::fprintf(file, "Usage: vorn [OPTIONS] CONTROL-FILE\n"); }

void PrintHelp(std::FILE* file) {
  PrintUsageLine(file);
  std::fprintf(file,
               "       vorn fit --tree FILE --data FILE [--prefix PATH] [OPTIONS]\n"
               "       vorn simulate --tree FILE (--model PREFIX.results.json | --set NAME=VALUE ...) --sites N\n"
               "       vorn check --tree FILE --data FILE\n"
               "\n"
               "Fits a model of gain and loss of presence/absence characters (gene families, introns, any\n"
               "trait) along the branches of a rooted binary phylogenetic tree by maximum likelihood, with\n"
               "an EM algorithm; reconstructs the expected gains and losses on every branch; simulates data\n"
               "from a model. The 52-line CONTROL-FILE names the tree and the data and says what to do;\n"
               "every output file is named after it and written next to it.\n"
               "\n"
               "Subcommands (each has its own --help; their progress goes to stderr, so stdout can be piped):\n"
               "  fit       fit a table (or pattern files) and a tree with the recommended settings; writes\n"
               "            PREFIX.input.txt, the control file it ran, beside the results\n"
               "  simulate  simulate data on a tree from a fitted model (PREFIX.results.json) or from values\n"
               "  check     read a table and a tree and print what a fit would see; writes no file\n"
               "\n"
               "Options of a control-file run:\n");
  for (const Option& option : kOptions) {
    char names[64];
    std::snprintf(names, sizeof names, "%s%s%s%s%s", option.shortName ? option.shortName : "",
                  option.shortName ? ", " : "", option.name, option.valueName ? " " : "",
                  option.valueName ? option.valueName : "");
    std::fprintf(file, "  %-16s %s\n", names, option.help);
  }
  std::fprintf(file,
               "\n"
               "A run prints its random seed first: the same seed and control file repeat the run exactly.\n"
               "The README (README.md in the source folder, installed as share/doc/vorn/README.md)\n"
               "describes the control file line by line, the input and output files, and a worked example.\n");
}

void PrintVersion(std::FILE* file) {
  if (kBuildCommit[0] != '\0') {
    std::fprintf(file, "vorn %s (git commit %s)\n", kVersion, kBuildCommit);
  } else {
    std::fprintf(file, "vorn %s\n", kVersion);
  }
}

bool ParseCommandLine(int argc, const char* const* argv, CommandLine& commandLine) {
  int positional = 0;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      if (++positional == 1) commandLine.controlFileName = argv[i];
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    const std::size_t equals = argument.substr(0, 2) == "--" ? argument.find('=') : std::string_view::npos;
    const std::string_view name = argument.substr(0, equals);
    const Option* option = FindOption(name);
    if (!option) {
      std::fprintf(stderr, "Error:VORN:Main: Unknown option '%s'\n", argv[i]);
      PrintUsageLine(stderr);
      return false;
    }
    std::string_view value;
    if (option->valueName) {
      if (equals != std::string_view::npos) {
        value = argument.substr(equals + 1);
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        std::fprintf(stderr, "Error:VORN:Main: Option %s needs a value %s\n", option->name, option->valueName);
        PrintUsageLine(stderr);
        return false;
      }
    } else if (equals != std::string_view::npos) {
      std::fprintf(stderr, "Error:VORN:Main: Option %s takes no value\n", option->name);
      PrintUsageLine(stderr);
      return false;
    }
    if (!option->apply(value, commandLine)) return false;
  }
  if (commandLine.help || commandLine.version) return true;
  if (positional == 0) {
    std::fprintf(stderr, "Error:VORN:Main: No input file was specified\n");
    PrintUsageLine(stderr);
    return false;
  }
  if (positional > 1) {
    std::fprintf(stderr, "Error:VORN:Main: Too many input arguments\n");
    PrintUsageLine(stderr);
    return false;
  }
  return true;
}

}  // namespace vorn
