#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "support/test_support.h"

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
    std::uint32_t threads;
  } cases[] = {
      {{"run.txt"}, "run.txt", false, false, std::nullopt, 1},
      {{"-h"}, "", true, false, std::nullopt, 1},
      {{"run.txt", "--help"}, "run.txt", true, false, std::nullopt, 1},
      {{"--version"}, "", false, true, std::nullopt, 1},
      {{"--help", "a.txt", "b.txt"}, "a.txt", true, false, std::nullopt, 1},  // help needs no valid rest
      {{"--", "-odd-name.txt"}, "-odd-name.txt", false, false, std::nullopt, 1},
      {{"-"}, "-", false, false, std::nullopt, 1},  // a lone dash is a name, as in other tools
      {{"--seed", "0", "run.txt"}, "run.txt", false, false, 0U, 1},
      {{"run.txt", "--seed=4294967295"}, "run.txt", false, false, 4294967295U, 1},
      {{"--threads", "auto", "run.txt"}, "run.txt", false, false, std::nullopt, 0},  // one per core
      {{"run.txt", "--threads=8"}, "run.txt", false, false, std::nullopt, 8},
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
    EXPECT_EQ(parsed.commandLine.threads, c.threads);
  }
}

TEST(CommandLineTest, RefusedLinesSayWhy) {
  for (std::vector<std::string> c : testing_support::CaseTable("command_lines.txt")) {
    std::string expected = c.back() + "\n";
    if (expected.size() > 7 && expected.compare(expected.size() - 7, 7, "+usage\n") == 0) {
      expected.replace(expected.size() - 7, 7, std::string("\n") + kUsage);
    }
    c.pop_back();
    if (c.size() == 1 && c[0].empty()) c.clear();
    std::vector<const char*> args;
    for (const std::string& arg : c) args.push_back(arg.c_str());
    SCOPED_TRACE(expected);
    const Parsed parsed = Parse(args);
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.errors, expected);
  }
}

TEST(CommandLineTest, HelpListsEveryOptionAndTheReadme) {
  const std::string help = Captured(PrintHelp);
  EXPECT_EQ(help.rfind(kUsage, 0), 0U);
  for (const char* option : {"-h, --help", "--version", "--seed N", "--threads N", "README.md"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
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
