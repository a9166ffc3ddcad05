// Runs whose outputs fail: writes that go to a full disk, and runs killed with SIGKILL at any
// moment, after which every file written once is either the complete file of an earlier run or
// absent, and the next run succeeds.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <csignal>
#include <new>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "data/output_file.h"
#include "driver/run_program.h"
#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::FileExists;
using testing_support::ReadText;

// In the child: the step of its output files at which the run kills itself.
int killAtStep = -1;
int stepsTaken = 0;

void KillAtStep(const std::string&, OutputStep step, std::FILE* file) {
  // Unbuffered, so that a kill while a file is written leaves part of it on disk.
  if (step == OutputStep::kOpened) std::setvbuf(file, nullptr, _IONBF, 0);
  if (stepsTaken++ == killAtStep) std::raise(SIGKILL);
}

long Lines(const std::string& text) { return static_cast<long>(std::count(text.begin(), text.end(), '\n')); }

// Runs "run.txt" of the working directory in a child process, stopped by SIGKILL at its output
// step `step` (never with -1) or, with killAfter, by the parent once that file has two lines.
// Returns the child's wait status.
int RunChild(int step, const char* killAfter = nullptr) {
  const pid_t child = fork();
  if (child == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    killAtStep = step;
    SetOutputStepHookForTesting(KillAtStep);
    const char* argv[] = {"vorn", "--seed", "3", "run.txt"};
    _exit(RunProgram(4, argv));
  }
  if (killAfter) {
    // The fit writes its history as it goes; a few iterations later it is killed in mid-fit.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Lines(ReadText(killAfter)) < 2 && std::chrono::steady_clock::now() < giveUp) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kill(child, SIGKILL);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

using FaultInjectionTest = testing_support::ScratchTest;

// A fit of every parameter on the four-leaf tree, reported with the detailed reconstruction.
void WriteRun(const std::string& maxIterations, const std::string& tolerance) {
  testing_support::WriteFourLeafRun(testing_support::ControlText(
      {{38, "likelihood tolerance: " + tolerance}, {39, "parameter tolerance: " + tolerance},
       {41, "maximum # iterations: " + maxIterations}, {42, "ancestral reconstruction: detailed"}}));
}

// The report without its running time, which may differ by a second between runs.
std::string Timeless(const std::string& text) {
  return std::regex_replace(text, std::regex("total running time: [^\n]*\n"), "");
}

TEST_F(FaultInjectionTest, AKilledRunLeavesEachFileAsItWasOrComplete) {
  // done.txt apart: a run removes an earlier one before it reads, so a killed run leaves none.
  const char* const outputs[] = {"run.output.txt", "run.ar.txt"};
  WriteRun("2", "1e-3");
  ASSERT_EQ(RunChild(-1), 0);
  std::vector<std::string> complete;
  for (const char* file : outputs) complete.push_back(Timeless(ReadText(file)));
  ASSERT_NE(complete[0].find("% Ancestral reconstruction:"), std::string::npos);

  // Once over the complete files of that run, once in a folder of none.
  for (const bool earlier : {true, false}) {
    SCOPED_TRACE(earlier ? "over an earlier run" : "in a fresh folder");
    testing_support::TempDir fresh;
    testing_support::ScopedChdir into(earlier ? dir_.path() : fresh.path());
    if (!earlier) WriteRun("2", "1e-3");
    int step = 0;
    std::vector<bool> markerLeft;  // after each killed run
    for (;; ++step) {
      SCOPED_TRACE(step);
      const int status = RunChild(step);
      for (std::size_t i = 0; i < complete.size(); ++i) {
        const bool exists = FileExists(outputs[i]);
        EXPECT_EQ(exists ? Timeless(ReadText(outputs[i])) : "", exists ? complete[i] : "") << outputs[i];
        EXPECT_TRUE(exists || !earlier) << outputs[i];
      }
      if (!WIFSIGNALED(status)) {
        // The step is past the last one: the run went to its end, over what the kills left.
        EXPECT_EQ(status, 0);
        for (const char* file : outputs) EXPECT_TRUE(FileExists(file)) << file;
        EXPECT_EQ(ReadText("done.txt"), "");
        break;
      }
      ASSERT_EQ(WTERMSIG(status), SIGKILL);
      markerLeft.push_back(FileExists("done.txt"));
    }
    // Checks of done.txt and the report before the fit, then three files opened, written,
    // closed and renamed.
    EXPECT_GE(step, 15);
    // Only a run killed after the marker's rename, its last step, leaves one.
    ASSERT_EQ(markerLeft.size(), static_cast<std::size_t>(step));
    EXPECT_EQ(markerLeft.back(), true);
    markerLeft.pop_back();
    EXPECT_EQ(markerLeft, std::vector<bool>(markerLeft.size(), false));
  }
}

TEST_F(FaultInjectionTest, AFitKilledInTheMiddleLeavesWholeIterationsInItsHistory) {
  // Tolerances of 0 are met only when nothing changes: the fit goes on until it is killed.
  WriteRun("1000000", "0");
  const int status = RunChild(-1, "run.history.p0.txt");
  ASSERT_TRUE(WIFSIGNALED(status)) << "the fit ended before the kill";
  // Every iteration updates the eight parameter families, each followed by a likelihood line, and
  // ends by flushing the files in this order: the kill may fall between two flushes, so that the
  // later files lack the last iteration, but no file holds part of one.
  long first = -1, previous = -1;
  for (const char* family : {"likelihood", "p0", "theta", "phi", "eta", "xi", "nu", "llambda", "glambda"}) {
    const std::string text = ReadText(std::string("run.history.") + family + ".txt");
    EXPECT_EQ(text.back(), '\n') << family << ": a line cut short";
    const long lines = Lines(text) - 1;
    EXPECT_EQ(lines % (first < 0 ? 8 : 1), 0) << family;
    const long iterations = first < 0 ? lines / 8 : lines;
    if (first < 0) first = previous = iterations;
    EXPECT_TRUE(iterations <= previous && iterations + 1 >= first && iterations >= 1) << family << " " << iterations;
    previous = iterations;
  }
  EXPECT_FALSE(FileExists("run.output.txt"));
  EXPECT_FALSE(FileExists("done.txt"));
}

// In the child: a file-size limit (as "ulimit -f" sets it) of 256 bytes from the moment the
// results file is first opened, in the check before the fit; the history table outgrows it.
void LimitFileSize(const std::string& name, OutputStep step, std::FILE*) {
  if (step != OutputStep::kOpened || name != "run.results.json") return;
  const rlimit limit{256, 256};
  setrlimit(RLIMIT_FSIZE, &limit);
}

TEST_F(FaultInjectionTest, AFileSizeLimitIsAFileThatCannotBeWritten) {
  // Past the limit the system sends SIGXFSZ, whose default ends the process with its temporary
  // files in place: the run must take it as a write that failed.
  WriteRun("2", "1e-3");
  int errors[2];
  ASSERT_EQ(pipe(errors), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(errors[0]);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(errors[1], STDERR_FILENO);
    SetOutputStepHookForTesting(LimitFileSize);
    const char* argv[] = {"vorn", "--seed", "3", "run.txt"};
    _exit(RunProgram(4, argv));
  }
  close(errors[1]);
  std::string err;
  char buffer[4096];
  for (ssize_t got; (got = read(errors[0], buffer, sizeof buffer)) > 0;) err.append(buffer, got);
  close(errors[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 1);
  const std::size_t last = err.rfind('\n', err.size() - 2);
  EXPECT_EQ(err.substr(last == std::string::npos ? 0 : last + 1),
            "Error:VORN:EM:Run: The file run.history.tsv cannot be written\n");
  EXPECT_EQ(testing_support::TemporaryFilesIn("."), std::vector<std::string>());
  for (const char* file : {"run.history.tsv", "run.history.p0.txt", "run.output.txt", "done.txt", "run.lock"}) {
    EXPECT_FALSE(FileExists(file)) << file;
  }
}

// Memory that cannot be had, thrown where the report is first opened (before the fit), with the
// report's temporary file and the lock in place: the handler at the top makes it one error line
// and status 1, and the unwinding removes both.
void ThrowOutOfMemory(const std::string& name, OutputStep step, std::FILE*) {
  if (step == OutputStep::kOpened && name == "run.output.txt") throw std::bad_alloc();
}

TEST_F(FaultInjectionTest, MemoryThatCannotBeHadIsAnErrorLine) {
  WriteRun("2", "1e-3");
  SetOutputStepHookForTesting(ThrowOutOfMemory);
  const auto run = testing_support::RunVorn({"--seed", "3", "run.txt"});
  SetOutputStepHookForTesting(nullptr);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Error:VORN:Main: Out of memory: the run needs more memory than the system gives it\n");
  EXPECT_EQ(testing_support::TemporaryFilesIn("."), std::vector<std::string>());
  EXPECT_FALSE(FileExists("run.lock"));
  EXPECT_FALSE(FileExists("done.txt"));
}

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
  struct Restore {  // whatever way the test ends
    ~Restore() { SetOutputStepHookForTesting(nullptr); close(fullDevice); }
  } restore;
  const std::string estimation = testing_support::ControlText(
      {{38, "likelihood tolerance: 1e9"}, {39, "parameter tolerance: 1e9"},  // converged at once
       {41, "maximum # iterations: 2"}, {42, "ancestral reconstruction: detailed"}, {53, "family posteriors: on"}});
  const std::string simulation = testing_support::ControlText({{3, "tree: rand"}, {4, "number of leaves: 5"},
      {8, "source: sim"}, {10, "number of sites: const 20"}, {12, "track numbers of present characters: sites"}});
  for (const std::vector<std::string>& c : testing_support::CaseTable("unwritable_outputs.txt")) {
    SCOPED_TRACE(c[1]);
    const bool live = c.size() > 3;
    testing_support::TempDir dir;
    testing_support::ScopedChdir into(dir.path());
    testing_support::WriteFourLeafRun(c[0] == "sim" ? simulation : estimation);
    // A fit that converges at once, with as many sites as free parameters.
    testing_support::WriteText("data.ngp.txt", "g1 15 0 0\ng2 2 3 0\n");
    fullFile = live ? "" : c[1];
    ASSERT_TRUE(!live || symlink("/dev/full", c[1].c_str()) == 0);
    const auto run = testing_support::RunVorn({"--seed", "3", "run.txt"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Error:VORN:" + c[2] + ": The file " + c[1] + " cannot be written\n");
    EXPECT_FALSE(testing_support::FileExists("done.txt"));
    if (!live) {
      EXPECT_FALSE(testing_support::FileExists(c[1]));
      EXPECT_EQ(testing_support::TemporaryFilesIn("."), std::vector<std::string>());
    }
    // The two per-site files answer together: one is never left without the other.
    if (c[1] == "run.family_events.tsv") {
      EXPECT_FALSE(testing_support::FileExists("run.families.tsv"));
    }
  }
}

}  // namespace
}  // namespace vorn
