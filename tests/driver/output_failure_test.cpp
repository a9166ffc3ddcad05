#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "data/output_file.h"
#include "driver/run_program.h"
#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::FileExists;
using testing_support::WriteText;

// The name of the file written once whose writes go to /dev/full, and /dev/full open for writing.
std::string fullFile;
int fullDevice = -1;

void WriteToFull(const std::string& name, OutputStep step, std::FILE* file) {
  if (step == OutputStep::kOpened && name == fullFile) dup2(fullDevice, fileno(file));
}

// Every output file is written to /dev/full, where a write fails as on a full disk: the run must
// say which file, end with status 1 and leave no "done.txt". A history file is written in place,
// through a link the test puts under its name; a file written once, through its temporary file.
class OutputFailureTest : public testing::Test {
 protected:
  OutputFailureTest() : chdir_(dir_.path()) {}
  ~OutputFailureTest() override {
    SetOutputStepHookForTesting(nullptr);
    if (fullDevice >= 0) close(fullDevice);
    fullDevice = -1;
  }

  void SetUp() override {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full on this machine";
    fullDevice = open("/dev/full", O_WRONLY);
    SetOutputStepHookForTesting(WriteToFull);
  }

  static std::vector<std::string> EstimationLines() {
    std::vector<std::string> lines = testing_support::TemplateLines();
    lines[37] = "likelihood tolerance: 1e9";  // converged after the first iteration
    lines[38] = "parameter tolerance: 1e9";
    lines[40] = "maximum # iterations: 2";
    lines[41] = "ancestral reconstruction: detailed";
    return lines;
  }

  static std::vector<std::string> SimulationLines() {
    std::vector<std::string> lines = testing_support::TemplateLines();
    lines[2] = "tree: rand";
    lines[3] = "number of leaves: 5";
    lines[7] = "source: sim";
    lines[9] = "number of sites: const 20";
    lines[11] = "track numbers of present characters: on";
    return lines;
  }

  // Writes the run "run.txt" with `full` written to /dev/full.
  static void Prepare(const std::vector<std::string>& lines, const std::string& full, bool live) {
    WriteText("tree.phyl", testing_support::kFourLeafPhyl);
    WriteText("data.wp.txt", "0 1 1 0\n1 1 2 1\n");
    WriteText("data.ngp.txt", "g1 5 2\ng2 1 3\n");
    WriteText("run.txt", testing_support::JoinLines(lines));
    fullFile = live ? "" : full;
    if (live) {
      ASSERT_EQ(symlink("/dev/full", full.c_str()), 0);
    }
  }

  static int Run() {
    const char* args[] = {"vorn", "--seed", "3", "run.txt"};
    return RunProgram(4, args);
  }

  int RunWithFull(const std::vector<std::string>& lines, const std::string& full, bool live = false) {
    Prepare(lines, full, live);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = Run();
    errors_ = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    return status;
  }

  testing_support::TempDir dir_;
  testing_support::ScopedChdir chdir_;
  std::string errors_;
};

TEST_F(OutputFailureTest, EveryWrittenFileIsCheckedAtClose) {
  struct Case {
    bool simulate;
    const char* file;
    const char* module;
    bool live;  // a history file, written in place as the fit goes
  };
  const Case cases[] = {
      {false, "run.output.txt", "WriteOutput", false},
      {false, "run.ar.txt", "WriteOutput", false},
      {false, "run.results.json", "WriteOutput", false},
      {false, "run.branches.tsv", "WriteOutput", false},
      {false, "run.tree.nwk", "WriteOutput", false},
      {false, "run.tree.svg", "WriteOutput", false},
      {false, "run.history.tsv", "EM:Run", false},
      {false, "run.history.likelihood.txt", "EM:Run", true},
      {false, "run.history.p0.txt", "EM:Run", true},
      {false, "run.history.theta.txt", "EM:Run", true},
      {false, "run.history.phi.txt", "EM:Run", true},
      {false, "run.history.eta.txt", "EM:Run", true},
      {false, "run.history.xi.txt", "EM:Run", true},
      {false, "run.history.nu.txt", "EM:Run", true},
      {false, "run.history.llambda.txt", "EM:Run", true},
      {false, "run.history.glambda.txt", "EM:Run", true},
      {true, "run.phyl", "ReadInput", false},
      {true, "run_truemodel.m", "ReadInput", false},
      {true, "run.wp.txt", "ReadInput", false},
      {true, "run.ngp.txt", "ReadInput", false},
      {true, "run.track.txt", "EvolModel:Simulate", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    testing_support::TempDir caseDir;
    testing_support::ScopedChdir into(caseDir.path());
    EXPECT_EQ(RunWithFull(c.simulate ? SimulationLines() : EstimationLines(), c.file, c.live), 1);
    EXPECT_EQ(errors_, std::string("Error:VORN:") + c.module + ": The file " + c.file + " cannot be written\n");
    EXPECT_FALSE(FileExists("done.txt"));
    if (!c.live) {
      EXPECT_FALSE(FileExists(c.file));
      EXPECT_EQ(testing_support::TemporaryFilesIn("."), std::vector<std::string>());
    }
  }
}

TEST_F(OutputFailureTest, RunsWithoutAFullFileStillComplete) {
  EXPECT_EQ(RunWithFull(EstimationLines(), "unused.txt"), 0) << errors_;
  EXPECT_TRUE(FileExists("done.txt"));
  EXPECT_TRUE(FileExists("run.ar.txt"));
}

}  // namespace
}  // namespace vorn
