#include "driver/run_program.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>

#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::FileExists;
using testing_support::WriteText;

TEST(RunProgramTest, ProjectNameDerivation) {
  const std::pair<const char*, const char*> cases[] = {
      {"case7.txt", "case7"},
      {"case7.input.txt", "case7"},
      {"a.b.c.txt", "a.b"},
      {"x.y.z.txt", "x.y"},
      {"input.txt", "project"},
      {"input", "input"},
      {"noextension", "noextension"},
      {"./input.txt", "./project"},
      {"../runs/case7.txt", "../runs/case7"},
      {"runs.v2/case7.input.txt", "runs.v2/case7"},
      {"runs.v2/plain", "runs.v2/plain"},
      {"dir/input.txt", "dir/project"},
      {".txt", ""},
  };
  for (const auto& [input, project] : cases) {
    SCOPED_TRACE(input);
    EXPECT_EQ(ProjectName(input), project);
  }
}

class RunProgramRunTest : public testing::Test {
 protected:
  RunProgramRunTest() : chdir_(dir_.path()) {}

  int Run(std::vector<const char*> args) {
    args.insert(args.begin(), "vorn");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = RunProgram(static_cast<int>(args.size()), args.data());
    errors_ = testing::internal::GetCapturedStderr();
    output_ = testing::internal::GetCapturedStdout();
    return status;
  }

  void WriteRun(const std::vector<std::string>& lines) {
    WriteText("tree.phyl", testing_support::kFourLeafPhyl);
    WriteText("data.wp.txt", "0 1 1 0\n1 1 2 1\n");
    WriteText("data.ngp.txt", "g1 5 2\n");
    WriteText("run.txt", testing_support::JoinLines(lines));
  }

  testing_support::TempDir dir_;
  testing_support::ScopedChdir chdir_;
  std::string errors_, output_;
};

TEST_F(RunProgramRunTest, CommandLineErrorsExitWithOneAndNoMarker) {
  struct Case {
    std::vector<const char*> args;
    std::string message;
  };
  const std::string longName(260, 'a');
  const Case cases[] = {
      {{}, "Error:VORN:Main: No input file was specified\nUsage: vorn [OPTIONS] CONTROL-FILE\n"},
      {{"a.txt", "b.txt"}, "Error:VORN:Main: Too many input arguments\nUsage: vorn [OPTIONS] CONTROL-FILE\n"},
      {{"absent.txt"}, "Error:VORN:Main: The input file absent.txt cannot be found\n"},
      {{longName.c_str()}, "Error:VORN:Main: The input file name " + longName + " is longer than 259 characters\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(Run(c.args), 1);
    EXPECT_EQ(errors_, c.message);
    EXPECT_FALSE(FileExists("done.txt"));
  }
}

TEST_F(RunProgramRunTest, HelpAndVersionRunNothing) {
  for (const char* option : {"--help", "--version"}) {
    SCOPED_TRACE(option);
    EXPECT_EQ(Run({option, "absent.txt"}), 0);
    EXPECT_EQ(errors_, "");
    EXPECT_FALSE(FileExists("done.txt"));
  }
}

TEST_F(RunProgramRunTest, CompletedReadLeavesTheMarker) {
  WriteRun(testing_support::TemplateLines());
  WriteText("done.txt", "from an earlier run");
  EXPECT_EQ(Run({"run.txt"}), 0) << errors_;
  EXPECT_EQ(errors_, "");
  ASSERT_TRUE(FileExists("done.txt"));
  EXPECT_EQ(testing_support::ReadText("done.txt"), "");  // truncated, not appended
  EXPECT_EQ(testing_support::ReadText("tree.phyl"), testing_support::kFourLeafPhyl);  // inputs untouched
}

TEST_F(RunProgramRunTest, NamedFilesAreFoundBesideTheControlFileWhenNotInTheWorkingDirectory) {
  std::filesystem::create_directory("study");
  WriteText("study/tree.phyl", testing_support::kFourLeafPhyl);
  WriteText("study/data.wp.txt", "0 1 1 0\n1 1 2 1\n");
  WriteText("study/data.ngp.txt", "g1 5 2\n");
  WriteText("study/run.txt", testing_support::JoinLines(testing_support::TemplateLines()));
  EXPECT_EQ(Run({"study/run.txt"}), 0) << errors_;

  WriteText("data.ngp.txt", "g1 5\n");  // the working directory's file comes first
  EXPECT_EQ(Run({"study/run.txt"}), 1);
  EXPECT_EQ(errors_, "Error:VORN:ReadInput: Pattern counts file 'data.ngp.txt' line 1 holds 1 counts where the "
                     "pattern file has 2 patterns\n");
}

TEST_F(RunProgramRunTest, ReaderFailureExitsWithOneAndNoMarker) {
  std::vector<std::string> lines = testing_support::TemplateLines();
  lines[1] = "time units: years";
  WriteRun(lines);
  EXPECT_EQ(Run({"run.txt"}), 1);
  EXPECT_EQ(errors_, "Error:VORN:ReadInput: years. Unrecognized keyword in phylogenetic tree -> time units\n");
  EXPECT_FALSE(FileExists("done.txt"));
}

TEST_F(RunProgramRunTest, RandomTreeIsNamedAfterTheProject) {
  std::vector<std::string> lines = testing_support::TemplateLines();
  lines[2] = "tree: rand";
  lines[3] = "number of leaves: 6";
  lines[7] = "source: sim";
  WriteRun(lines);
  WriteText("case7.input.txt", testing_support::JoinLines(lines));
  EXPECT_EQ(Run({"--seed", "5", "case7.input.txt"}), 0) << errors_;
  EXPECT_TRUE(FileExists("case7.phyl"));
  EXPECT_TRUE(FileExists("done.txt"));
}

// Every file in the working directory but the control file, by name; the report and the results
// without their running times, the one thing that may differ between two runs of one seed.
std::map<std::string, std::string> RunOutputs() {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    const std::string name = entry.path().filename().string();
    if (name == "run.txt") continue;
    files[name] = std::regex_replace(testing_support::ReadText(name),
                                     std::regex("total running time: [^\n]*|\"elapsed_seconds\": [^\n]*"), "");
  }
  return files;
}

TEST_F(RunProgramRunTest, OneSeedRepeatsARunExactly) {
  // Every kind of draw: random site counts, a random tree, a drawn true theta, the simulation with
  // its rate multipliers and hidden values, and random starting values of the estimation.
  std::vector<std::string> lines = testing_support::TemplateLines();
  lines[2] = "tree: rand";
  lines[3] = "number of leaves: 6";
  lines[7] = "source: sim";
  lines[8] = "number of genes: 2";
  lines[9] = "number of sites: rand 40";
  lines[11] = "track numbers of present characters: on";
  lines[23] = "p0: fix 0.6";
  lines[24] = "theta: fix rand";
  lines[28] = "nu: fix 0.3";
  lines[31] = "l-lambda: fix 1.5";
  lines[32] = "g-lambda: fix 0.8";
  lines[40] = "maximum # iterations: 2";
  lines[41] = "ancestral reconstruction: detailed";
  std::map<std::string, std::string> outputs[3];
  const char* seeds[] = {"4000000000", "4000000000", "4000000001"};
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE(run);
    for (const auto& entry : std::filesystem::directory_iterator(".")) std::filesystem::remove_all(entry.path());
    WriteText("run.txt", testing_support::JoinLines(lines));
    ASSERT_EQ(Run({"--seed", seeds[run], "run.txt"}), 0) << errors_;
    EXPECT_EQ(output_.rfind(std::string("random seed: ") + seeds[run] + "\n", 0), 0U) << output_;
    outputs[run] = RunOutputs();
  }
  // tree, two data files, true model, track, report, ar, 9 histories and their table, 4 results, done
  EXPECT_EQ(outputs[0].size(), 22U);
  EXPECT_EQ(outputs[1], outputs[0]);
  EXPECT_NE(outputs[2].at("run.phyl"), outputs[0].at("run.phyl"));
  EXPECT_NE(outputs[2].at("run.wp.txt"), outputs[0].at("run.wp.txt"));
}

}  // namespace
}  // namespace vorn
