#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "data/output_file.h"
#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

// The name of the file written once whose writes go to /dev/full, and /dev/full open for writing.
std::string fullFile;
int fullDevice = -1;

void WriteToFull(const std::string& name, OutputStep step, std::FILE* file) {
  if (step == OutputStep::kOpened && name == fullFile) dup2(fullDevice, fileno(file));
}

// Every output file is written to /dev/full, where a write fails as on a full disk: the run must
// say which file, end with status 1 and leave no "done.txt". A history file is written in place,
// through a link the test puts under its name; a file written once, through its temporary file.
TEST(OutputFailureTest, EveryWrittenFileIsCheckedAtClose) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full on this machine";
  fullDevice = open("/dev/full", O_WRONLY);
  SetOutputStepHookForTesting(WriteToFull);
  const std::string estimation = testing_support::ControlText(
      {{38, "likelihood tolerance: 1e9"}, {39, "parameter tolerance: 1e9"},  // converged at once
       {41, "maximum # iterations: 2"}, {42, "ancestral reconstruction: detailed"}});
  const std::string simulation = testing_support::ControlText({{3, "tree: rand"}, {4, "number of leaves: 5"},
      {8, "source: sim"}, {10, "number of sites: const 20"}, {12, "track numbers of present characters: on"}});
  for (const std::vector<std::string>& c : testing_support::CaseTable("unwritable_outputs.txt")) {
    SCOPED_TRACE(c[1]);
    const bool live = c.size() > 3;
    testing_support::TempDir dir;
    testing_support::ScopedChdir into(dir.path());
    testing_support::WriteFourLeafRun(c[0] == "sim" ? simulation : estimation);
    testing_support::WriteText("data.ngp.txt", "g1 5 0 0\ng2 1 3 0\n");  // a fit that converges at once
    fullFile = live ? "" : c[1];
    if (live) {
      ASSERT_EQ(symlink("/dev/full", c[1].c_str()), 0);
    }
    const auto run = testing_support::RunVorn({"--seed", "3", "run.txt"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Error:VORN:" + c[2] + ": The file " + c[1] + " cannot be written\n");
    EXPECT_FALSE(testing_support::FileExists("done.txt"));
    if (!live) {
      EXPECT_FALSE(testing_support::FileExists(c[1]));
      EXPECT_EQ(testing_support::TemporaryFilesIn("."), std::vector<std::string>());
    }
  }
  SetOutputStepHookForTesting(nullptr);
  close(fullDevice);
}

}  // namespace
}  // namespace vorn
