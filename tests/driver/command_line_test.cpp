#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <iterator>
#include <optional>
#include <sstream>
#include <vector>

#include "driver/version_info.h"
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

TEST(CommandLineTest, AcceptedAndRefusedLinesAsTheCaseTablesSay) {
  for (const std::vector<std::string>& c : testing_support::CaseTable("command_lines_accepted.txt")) {
    SCOPED_TRACE(c[0]);
    std::istringstream words(c[0]);
    const std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    const Parsed parsed = Parse(argv);
    EXPECT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.errors, "");
    const CommandLine& line = parsed.commandLine;
    EXPECT_EQ(line.controlFileName, c[1]);
    EXPECT_EQ(line.help, c[2] == "1");
    EXPECT_EQ(line.version, c[3] == "1");
    EXPECT_EQ(line.seed, c[4] == "-" ? std::nullopt : std::optional<std::uint32_t>(std::stoul(c[4])));
    EXPECT_EQ(line.threads, std::stoul(c[5]));
  }
  for (std::vector<std::string> c : testing_support::CaseTable("command_lines.txt")) {
    std::string expected = c.back() + "\n";
    const std::size_t usage = expected.find(" +usage\n");
    if (usage != std::string::npos) expected.replace(usage, 8, std::string("\n") + kUsage);
    c.pop_back();
    std::vector<const char*> args;
    for (const std::string& arg : c) {
      if (c.size() > 1 || !arg.empty()) args.push_back(arg.c_str());
    }
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
  const std::string commit = kBuildCommit, version = std::string("vorn ") + VORN_PROJECT_VERSION;  // as CMake says
  EXPECT_EQ(Captured(PrintVersion), version + (commit.empty() ? "" : " (git commit " + commit + ")") + "\n");
}

}  // namespace
}  // namespace vorn
