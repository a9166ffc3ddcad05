#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace vorn {
namespace {

constexpr char kUsage[] = "Usage: vorn [OPTIONS] CONTROL-FILE\n";

struct Parsed {
  bool ok;
  CommandLine commandLine;
  std::string errors;
};

Parsed Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "vorn");
  Parsed parsed;
  testing::internal::CaptureStderr();
  parsed.ok = ParseCommandLine(static_cast<int>(args.size()), args.data(), parsed.commandLine);
  parsed.errors = testing::internal::GetCapturedStderr();
  return parsed;
}

std::string Captured(void (*print)(std::FILE*)) {
  testing::internal::CaptureStdout();
  print(stdout);
  return testing::internal::GetCapturedStdout();
}

TEST(CommandLineTest, AcceptedLines) {
  const struct {
    std::vector<const char*> args;
    const char* controlFile;
    bool help, version;
    std::optional<std::uint32_t> seed;
  } cases[] = {
      {{"run.txt"}, "run.txt", false, false, std::nullopt},
      {{"-h"}, "", true, false, std::nullopt},
      {{"run.txt", "--help"}, "run.txt", true, false, std::nullopt},
      {{"--version"}, "", false, true, std::nullopt},
      {{"--help", "a.txt", "b.txt"}, "a.txt", true, false, std::nullopt},  // help needs no valid rest
      {{"--", "-odd-name.txt"}, "-odd-name.txt", false, false, std::nullopt},
      {{"-"}, "-", false, false, std::nullopt},  // a lone dash is a name, as in other tools
      {{"--seed", "0", "run.txt"}, "run.txt", false, false, 0U},
      {{"run.txt", "--seed=4294967295"}, "run.txt", false, false, 4294967295U},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    const Parsed parsed = Parse(c.args);
    EXPECT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.errors, "");
    EXPECT_EQ(parsed.commandLine.controlFileName, c.controlFile);
    EXPECT_EQ(parsed.commandLine.help, c.help);
    EXPECT_EQ(parsed.commandLine.version, c.version);
    EXPECT_EQ(parsed.commandLine.seed, c.seed);
  }
}

TEST(CommandLineTest, RefusedLinesSayWhyAndShowTheUsage) {
  const struct {
    std::vector<const char*> args;
    std::string message;
  } cases[] = {
      {{}, "Error:VORN:Main: No input file was specified\n"},
      {{"a.txt", "b.txt"}, "Error:VORN:Main: Too many input arguments\n"},
      {{"--sed", "5", "run.txt"}, "Error:VORN:Main: Unknown option '--sed'\n"},
      {{"run.txt", "-x"}, "Error:VORN:Main: Unknown option '-x'\n"},
      {{"--help=yes"}, "Error:VORN:Main: Option --help takes no value\n"},
      {{"run.txt", "--seed"}, "Error:VORN:Main: Option --seed needs a value N\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const Parsed parsed = Parse(c.args);
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.errors, c.message + kUsage);
  }
}

TEST(CommandLineTest, ValuesOutsideTheirRangeAreRefused) {
  for (const char* seed : {"-1", "4294967296", "1e3", "x", ""}) {
    SCOPED_TRACE(seed);
    const Parsed parsed = Parse({"--seed", seed, "run.txt"});
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.errors, std::string("Error:VORN:Main: The seed must be a whole number from 0 to 4294967295, "
                                         "not '") + seed + "'\n");
  }
  for (const char* threads : {"0", "1025", "-2", "all", ""}) {
    SCOPED_TRACE(threads);
    const Parsed parsed = Parse({"--threads", threads, "run.txt"});
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.errors, std::string("Error:VORN:Main: The number of threads must be auto or a whole number from 1 "
                                         "to 1024, not '") + threads + "'\n");
  }
  EXPECT_EQ(Parse({"--threads", "auto", "run.txt"}).commandLine.threads, 0U);  // one per core
  EXPECT_EQ(Parse({"run.txt", "--threads=8"}).commandLine.threads, 8U);
  EXPECT_EQ(Parse({"run.txt"}).commandLine.threads, 1U);
}

TEST(CommandLineTest, HelpListsEveryOptionAndTheReadme) {
  const std::string help = Captured(PrintHelp);
  EXPECT_EQ(help.rfind(kUsage, 0), 0U);
  for (const char* option : {"-h, --help", "--version", "--seed N", "--threads N"}) EXPECT_NE(help.find(option), std::string::npos) << option;
  EXPECT_NE(help.find("README.md"), std::string::npos);
}

TEST(CommandLineTest, VersionIsTheProjectsWithTheCommitWhenKnown) {
  const std::string version = Captured(PrintVersion);
  const std::string expected = std::string("vorn ") + VORN_PROJECT_VERSION;  // from the CMake project
  ASSERT_EQ(version.rfind(expected, 0), 0U) << version;
  const std::string rest = version.substr(expected.size());
  EXPECT_TRUE(rest == "\n" || rest.rfind(" (git commit ", 0) == 0) << rest;
}

}  // namespace
}  // namespace vorn
