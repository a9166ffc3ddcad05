#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "driver/run_program.h"
#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::FileExists;
using testing_support::WriteText;

// Every output file is written through a name the test points at /dev/full, where a write fails
// as on a full disk: the run must say which file, end with status 1 and leave no "done.txt".
class OutputFailureTest : public testing::Test {
 protected:
  OutputFailureTest() : chdir_(dir_.path()) {}

  void SetUp() override {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full on this machine";
  }

  static std::vector<std::string> EstimationLines() {
    std::vector<std::string> lines = testing_support::TemplateLines();
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

  // Writes the run "run.txt" with `full` pointing at /dev/full.
  static void Prepare(const std::vector<std::string>& lines, const std::string& full) {
    WriteText("tree.phyl", testing_support::kFourLeafPhyl);
    WriteText("data.wp.txt", "0 1 1 0\n1 1 2 1\n");
    WriteText("data.ngp.txt", "g1 5 2\ng2 1 3\n");
    WriteText("run.txt", testing_support::JoinLines(lines));
    ASSERT_EQ(symlink("/dev/full", full.c_str()), 0);
  }

  static int Run() {
    const char* args[] = {"vorn", "--seed", "3", "run.txt"};
    return RunProgram(4, args);
  }

  int RunWithFull(const std::vector<std::string>& lines, const std::string& full) {
    Prepare(lines, full);
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
  };
  const Case cases[] = {
      {false, "run.output.txt", "WriteOutput"},
      {false, "run.ar.txt", "WriteOutput"},
      {false, "run.history.likelihood.txt", "EM:Run"},
      {false, "run.history.p0.txt", "EM:Run"},
      {false, "run.history.theta.txt", "EM:Run"},
      {false, "run.history.phi.txt", "EM:Run"},
      {false, "run.history.eta.txt", "EM:Run"},
      {false, "run.history.xi.txt", "EM:Run"},
      {false, "run.history.nu.txt", "EM:Run"},
      {false, "run.history.llambda.txt", "EM:Run"},
      {false, "run.history.glambda.txt", "EM:Run"},
      {true, "run.phyl", "ReadInput"},
      {true, "run_truemodel.m", "ReadInput"},
      {true, "run.wp.txt", "ReadInput"},
      {true, "run.ngp.txt", "ReadInput"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    testing_support::TempDir caseDir;
    testing_support::ScopedChdir into(caseDir.path());
    EXPECT_EQ(RunWithFull(c.simulate ? SimulationLines() : EstimationLines(), c.file), 1);
    EXPECT_EQ(errors_, std::string("Error:VORN:") + c.module + ": The file " + c.file + " cannot be written\n");
    EXPECT_FALSE(FileExists("done.txt"));
  }
}

TEST_F(OutputFailureTest, RunsWithoutAFullFileStillComplete) {
  EXPECT_EQ(RunWithFull(EstimationLines(), "unused.txt"), 0) << errors_;
  EXPECT_TRUE(FileExists("done.txt"));
  EXPECT_TRUE(FileExists("run.ar.txt"));
}

using OutputFailureDeathTest = OutputFailureTest;

TEST_F(OutputFailureDeathTest, TrackFileEndsTheProcess) {
  // The simulation ends the process itself, as it does for a track file it cannot open.
  Prepare(SimulationLines(), "run.track.txt");
  EXPECT_EXIT((std::freopen("/dev/null", "w", stdout), Run()), testing::ExitedWithCode(1),
              "Error:VORN:EvolModel:Simulate: The file 'run.track.txt' cannot be written\n");
}

}  // namespace
}  // namespace vorn
