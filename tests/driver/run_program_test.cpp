#include "driver/run_program.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>

#include <nlohmann/json.hpp>

#include "driver/run_outputs.h"
#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::ControlText;
using testing_support::FileExists;
using testing_support::ReadText;
using testing_support::RunVorn;
using testing_support::WriteText;

TEST(RunProgramTest, ProjectNameDerivation) {
  for (const std::vector<std::string>& c : testing_support::CaseTable("project_names.txt")) {
    EXPECT_EQ(ProjectName(c[0]), c[1]) << c[0];
  }
  EXPECT_EQ(ProjectName(".txt"), "");
}

using RunProgramRunTest = testing_support::ScratchTest;

TEST_F(RunProgramRunTest, FailuresExitWithOneAndNoMarker) {
  testing_support::WriteFourLeafRun(ControlText({{2, "time units: years"}}));
  const std::string longName(260, 'a');
  const std::pair<std::vector<const char*>, std::string> cases[] = {  // the arguments, the message
      {{"a.txt", "b.txt"}, "Error:VORN:Main: Too many input arguments\nUsage: vorn [OPTIONS] CONTROL-FILE\n"},
      {{"absent.txt"}, "Error:VORN:Main: The input file absent.txt cannot be found\n"},
      {{longName.c_str()}, "Error:VORN:Main: The input file name " + longName + " is longer than 259 characters\n"},
      {{"run.txt"}, "Error:VORN:ReadInput: years. Unrecognized keyword in phylogenetic tree -> time units\n"},
      {{"folder.txt"}, "Error:VORN:Main: 'folder.txt' is a folder, not a file\n"},
  };
  std::filesystem::create_directory("folder.txt");
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(message);
    // An earlier run's, which a failed run must not leave; a command line that is refused starts
    // no run and touches no file.
    WriteText("done.txt", "");
    const auto run = RunVorn(args);
    EXPECT_EQ(FileExists("done.txt"), message.find("Usage:") != std::string::npos);
    std::remove("done.txt");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, message);
  }
  for (const char* option : {"--help", "--version"}) {  // they run nothing
    const auto run = RunVorn({option, "absent.txt"});
    EXPECT_EQ(run.status, 0) << option;
    EXPECT_EQ(run.err, "");
    EXPECT_FALSE(FileExists("done.txt"));
  }
}

TEST_F(RunProgramRunTest, CompletedReadLeavesTheMarker) {
  testing_support::WriteFourLeafRun();
  WriteText("done.txt", "from an earlier run");
  const auto run = RunVorn({"run.txt"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  ASSERT_TRUE(FileExists("done.txt"));
  EXPECT_EQ(ReadText("done.txt"), "");  // truncated, not appended
  EXPECT_EQ(ReadText("tree.phyl"), testing_support::kFourLeafPhyl);  // inputs untouched
}

TEST_F(RunProgramRunTest, AnEarlierMarkerGoesBeforeTheRunReadsAnything) {
  testing_support::WriteFourLeafRun(ControlText({{41, "maximum # iterations: 5"}}));
  WriteText("data.wp.txt", "2 2 2 2\n2 2 2 2\n2 2 2 2\n");  // p0 cannot start: the fit fails
  WriteText("done.txt", "");
  EXPECT_EQ(RunVorn({"run.txt"}).status, 1);
  EXPECT_FALSE(FileExists("done.txt"));
  // A file of that name that holds text could be an input, so it stays until the run has read
  // its files and knows it is none of them.
  WriteText("done.txt", "notes");
  WriteText("run.txt", ControlText({{2, "time units: years"}}));
  EXPECT_EQ(RunVorn({"run.txt"}).status, 1);
  EXPECT_EQ(ReadText("done.txt"), "notes");
  WriteText("run.txt", ControlText({{41, "maximum # iterations: 5"}}));
  EXPECT_EQ(RunVorn({"run.txt"}).status, 1);
  EXPECT_FALSE(FileExists("done.txt"));
}

TEST_F(RunProgramRunTest, NoOutputIsAnInput) {
  for (const std::vector<std::string>& c : testing_support::CaseTable("output_clashes.txt")) {
    SCOPED_TRACE(c[1]);
    for (const auto& entry : std::filesystem::directory_iterator(".")) std::filesystem::remove_all(entry.path());
    testing_support::WriteFourLeafRun(ControlText({{41, "maximum # iterations: 1"}}));
    if (c[0] == "copy") {
      WriteText(c[1], ReadText(c[2]));
    } else {
      ASSERT_EQ(c[0] == "hard" ? link(c[2].c_str(), c[1].c_str()) : symlink(c[2].c_str(), c[1].c_str()), 0);
    }
    const std::string kept = ReadText(c[4]);
    const auto run = RunVorn({"--seed", "1", c[3].c_str()});
    EXPECT_EQ(ReadText(c[4]), kept);
    if (c[5] == "-") {
      EXPECT_EQ(run.status, 0) << run.err;
      continue;
    }
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, c[5] + "\n");
    EXPECT_EQ(run.out.find("running the algorithm"), std::string::npos);
    EXPECT_EQ(testing_support::TemporaryFilesIn("."), std::vector<std::string>());
    EXPECT_FALSE(FileExists("run.lock"));
  }
}

// A process id that no process has: a child's, once it has ended and been waited for.
long DeadProcessId() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  int status = 0;
  waitpid(child, &status, 0);
  return static_cast<long>(child);
}

std::string ThisHost() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return host;
}

TEST_F(RunProgramRunTest, ARunOfAProjectBeingWrittenRefusesToStart) {
  testing_support::WriteFourLeafRun(ControlText({{41, "maximum # iterations: 1"}}));
  const std::string self = std::to_string(static_cast<long>(getpid()));
  const std::pair<std::string, std::string> cases[] = {  // the lock's text, the error
      {self + " " + ThisHost() + "\n", "Error:VORN:Main: Project run is being written by process " + self +
                                           " (lock file run.lock); two runs of one project at once would mix their "
                                           "files: wait for it to end\n"},
      {"17 elsewhere.example\n", "Error:VORN:Main: Project run is being written by process 17 on host "
                                 "elsewhere.example (lock file run.lock); wait for that run to end, or remove the "
                                 "lock file if it is gone\n"},
      {"my notes\n", "Error:VORN:Main: The file run.lock is in the way of the lock of project run, and it is not "
                     "the lock of a run: remove it, or rename the control file\n"},
  };
  for (const auto& [lock, message] : cases) {
    SCOPED_TRACE(lock);
    WriteText("run.lock", lock);
    const auto run = RunVorn({"run.txt"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, message);
    EXPECT_EQ(ReadText("run.lock"), lock);  // not this run's to remove
    EXPECT_FALSE(FileExists("run.output.txt"));
  }
  // A killed run's lock: its process is gone, so the lock is taken over, and let go at the end;
  // also when the process has ended but no one has waited for it yet (a zombie still answers a
  // signal).
  const pid_t zombie = fork();
  if (zombie == 0) _exit(0);
  siginfo_t ended{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(zombie), &ended, WEXITED | WNOWAIT), 0);  // ended, not reaped
  for (const std::string& dead : {std::to_string(DeadProcessId()), std::to_string(static_cast<long>(zombie))}) {
    SCOPED_TRACE(dead);
    std::remove("done.txt");
    WriteText("run.lock", dead + " " + ThisHost() + "\n");
    const auto run = RunVorn({"--seed", "1", "run.txt"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err.substr(0, run.err.find('\n') + 1),
              "Warning:VORN:Main: the lock file run.lock was left by process " + dead +
                  ", which is no longer running (a run that was killed); it is taken over\n");
    EXPECT_FALSE(FileExists("run.lock"));
    EXPECT_TRUE(FileExists("done.txt"));
  }
  waitpid(zombie, nullptr, 0);
}

TEST_F(RunProgramRunTest, AReadOnlyRunNeedsNoLockInAFolderItCannotWrite) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  std::filesystem::create_directory("study");
  {
    testing_support::ScopedChdir into("study");
    testing_support::WriteFourLeafRun(ControlText({{41, "maximum # iterations: 0"}}));
  }
  std::filesystem::permissions("study", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  const auto run = RunVorn({"study/run.txt"});
  std::filesystem::permissions("study", std::filesystem::perms::owner_all);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(FileExists("done.txt"));
}

TEST_F(RunProgramRunTest, AFitThatCannotStartLeavesNoFileBehind) {
  // Every leaf value unknown: the initial p0 has nothing to count, found after the history files
  // were opened, so they must be removed on the way out, with nothing else written.
  // The same for the other start that cannot be made, nu of 1.
  const std::pair<const char*, const char*> cases[] = {
      {"2 2 2 2\n2 2 2 2\n2 2 2 2\n", "Error: P0 cannot be estimated (no known leaf value)\n"},
      {"0 0 0 0\n0 0 0 0\n1 2 2 2\n", "Error: NU is estimated as 1 (insufficient data)\n"},
  };
  for (const auto& [patterns, message] : cases) {
    SCOPED_TRACE(message);
    testing_support::WriteFourLeafRun(ControlText({{41, "maximum # iterations: 5"}}));
    WriteText("data.wp.txt", patterns);
    const auto run = RunVorn({"run.txt"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.substr(run.err.rfind('\n', run.err.size() - 2) + 1), message);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(".")) left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"data.ngp.txt", "data.wp.txt", "run.txt", "tree.phyl"}));
  }
}

TEST_F(RunProgramRunTest, AShapeTooSmallForItsCategoriesIsNamed) {
  // Every gain quantile but the last of a shape of 1e-5 is 0 in doubles: the rates would be 0/0,
  // and the log-likelihood NaN, which is no fault of the data.
  testing_support::WriteFourLeafRun(ControlText(
      {{26, "phi: con 0.1"}, {28, "xi: con 0.5"}, {33, "g-lambda: fix 1e-5"}, {41, "maximum # iterations: 2"}}));
  const auto run = RunVorn({"--seed", "1", "run.txt"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Error:VORN:EM:Run: The gain rate categories of g-lambda = 1e-05 are not numbers: 5 categories "
                     "cannot be cut from a gamma distribution of so small a shape; give a larger shape or fewer "
                     "categories\n");
  EXPECT_EQ(testing_support::TemporaryFilesIn("."), std::vector<std::string>());
}

TEST_F(RunProgramRunTest, AFitOfMoreFreeParametersThanSitesIsQuestioned) {
  // Everything estimated on four leaves and two genes: p0, nu and the two shapes, theta and eta of
  // each gene, phi and xi of each of the six branches, 20 in all, for 7 + 3 sites.
  testing_support::WriteFourLeafRun(ControlText({{41, "maximum # iterations: 1"}}));
  auto run = RunVorn({"--seed", "2", "run.txt"});
  EXPECT_EQ(run.status, 0);
  const std::string warning = "Warning:VORN:EM:Run: the fit estimates 20 free parameters from 10 sites: each "
                              "parameter rests on less than one site; fix or share some (con or fix on the model "
                              "lines), or group the sites into fewer genes";
  EXPECT_EQ(run.err.substr(0, run.err.find('\n')), warning);
  const nlohmann::json results = nlohmann::json::parse(ReadText("run.results.json"));
  ASSERT_FALSE(results["warnings"].empty());
  EXPECT_EQ(results["warnings"][0], nlohmann::json({{"code", "more-parameters-than-sites"}, {"text", warning}}));
  // phi and xi held: 8 free parameters.
  testing_support::WriteFourLeafRun(
      ControlText({{26, "phi: con 0.1"}, {28, "xi: con 0.5"}, {41, "maximum # iterations: 1"}}));
  run = RunVorn({"--seed", "2", "run.txt"});
  EXPECT_EQ(run.err.find("free parameters"), std::string::npos) << run.err;
}

TEST_F(RunProgramRunTest, NamedFilesAreFoundBesideTheControlFileWhenNotInTheWorkingDirectory) {
  std::filesystem::create_directory("study");
  {
    testing_support::ScopedChdir into("study");
    testing_support::WriteFourLeafRun();
  }
  EXPECT_EQ(RunVorn({"study/run.txt"}).status, 0);
  WriteText("data.ngp.txt", "g1 5\n");  // the working directory's file comes first
  const auto run = RunVorn({"study/run.txt"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Error:VORN:ReadInput: Pattern counts file 'data.ngp.txt' line 1 holds 1 counts where the "
                     "pattern file has 3 patterns\n");
}

TEST_F(RunProgramRunTest, OneSeedRepeatsARunExactly) {
  // Every kind of draw: random site counts, a random tree, a drawn true theta, the simulation with
  // its rate multipliers and hidden values, and random starting values of the estimation.
  const std::string control = ControlText(
      {{3, "tree: rand"}, {4, "number of leaves: 6"}, {8, "source: sim"}, {9, "number of genes: 2"},
       {10, "number of sites: rand 40"}, {12, "track numbers of present characters: on"}, {24, "p0: fix 0.6"},
       {25, "theta: fix rand"}, {29, "nu: fix 0.3"}, {32, "l-lambda: fix 1.5"}, {33, "g-lambda: fix 0.8"},
       {41, "maximum # iterations: 2"}, {42, "ancestral reconstruction: detailed"}});
  // Every file but the control file, by name; the report and the results without their running
  // times, the one thing that may differ between two runs of one seed.
  std::map<std::string, std::string> outputs[3];
  const char* seeds[] = {"4000000000", "4000000000", "4000000001"};
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE(run);
    for (const auto& entry : std::filesystem::directory_iterator(".")) std::filesystem::remove_all(entry.path());
    WriteText("run.txt", control);
    const auto outcome = RunVorn({"--seed", seeds[run], "run.txt"});
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out.rfind(std::string("random seed: ") + seeds[run] + "\n", 0), 0U) << outcome.out;
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
      const std::string name = entry.path().filename().string();
      const std::regex time("total running time: [^\n]*|\"elapsed_seconds\": [^\n]*");
      if (name != "run.txt") outputs[run][name] = std::regex_replace(ReadText(name), time, "");
    }
  }
  // tree, two data files, true model, track, report, ar, 9 histories and their table, 4 results, done
  EXPECT_EQ(outputs[0].size(), 22U);
  EXPECT_EQ(outputs[1], outputs[0]);
  EXPECT_NE(outputs[2].at("run.phyl"), outputs[0].at("run.phyl"));
  EXPECT_NE(outputs[2].at("run.wp.txt"), outputs[0].at("run.wp.txt"));
}

using RunOutputsTest = testing_support::ControlFileTest;

// The list the output check walks is the list of what a run writes: a run that writes every kind
// of file leaves exactly the listed ones.
TEST_F(RunOutputsTest, TheListHoldsEveryFileARunWrites) {
  const std::map<int, std::string> everything = {
      {3, "tree: rand"}, {4, "number of leaves: 5"}, {8, "source: sim"}, {9, "number of genes: 2"},
      {10, "number of sites: const 30"}, {12, "track numbers of present characters: sites"},
      {41, "maximum # iterations: 2"}, {42, "ancestral reconstruction: detailed"}, {53, "standard errors: on"},
      {54, "family posteriors: on"}};
  ASSERT_TRUE(ReadWith(everything)) << errors_;
  std::vector<std::string> listed = RunOutputNames(control_, tree_, data_, "run");
  std::sort(listed.begin(), listed.end());
  testing_support::TempDir fresh;
  testing_support::ScopedChdir into(fresh.path());
  WriteText("run.txt", ControlText(everything));
  const auto run = RunVorn({"--seed", "5", "run.txt"});
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(".")) left.push_back(entry.path().filename().string());
  left.erase(std::find(left.begin(), left.end(), "run.txt"));
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, listed);
  EXPECT_EQ(listed.size(), 26U);  // tree, three simulated, two tracks, 19 of the fit, done.txt
}

}  // namespace
}  // namespace vorn
