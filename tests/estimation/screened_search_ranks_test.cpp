// A screened search spread over ranks, each rank climbing its own starts, ends on every rank with
// what one process finds: the same result, the same course of every start in the history, the
// same warnings in the same order, and a best start whose state the reconstruction (which shares
// its E-step among the ranks again) takes up as one process would. Threads of the test stand in
// for the ranks.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "data/alignment_data.h"
#include "data/diagnostics.h"
#include "data/phylogenetic_tree.h"
#include "driver/run_program.h"
#include "estimation/ancestral.h"
#include "estimation/fit.h"
#include "estimation/history_sink.h"
#include "estimation/start_exchange.h"
#include "input/input_reader.h"
#include "numerics/run_seed.h"
#include "support/input_template.h"
#include "support/shared_memory_ranks.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::SharedMemoryRanks;
using testing_support::TestData;

// What one rank (or the process alone) ends with.
struct RankRun {
  bool fitted = false;
  FitResult result;
  RecordedHistory history;
  std::vector<WarningCapture::Held> warnings;
  AncestralTables ancestral;
};

class ScreenedSearchRanksTest : public testing::Test {
 protected:
  ScreenedSearchRanksTest() : chdir_(dir_.path()) {}

  // mammals12 with everything estimated and few iterations, so that the starts that go on stop
  // at the limit and warn about it.
  void Load(bool conditioned) {
    std::map<int, std::string> lines = {
        {3, "tree: " + TestData("data/mammals12.phyl") + " phyl"},
        {8, "source: pat " + TestData("data/mammals12.wp.txt") + " " + TestData("data/mammals12.ngp.txt")},
        {24, "p0: est"}, {25, "theta: est"}, {26, "phi: est"}, {27, "eta: est"}, {28, "xi: est"},
        {29, "nu: est"}, {32, "l-lambda: est"}, {33, "g-lambda: est"},
        {36, "# categories (loss distribution): 3"}, {37, "# categories (gain distribution): 3"},
        {38, "likelihood tolerance: 1e-6"}, {41, "maximum # iterations: 30"},
        {45, "p0: observed 0.95"}, {46, "theta: con 1"}, {47, "phi: dollo"}, {48, "eta: rand 1.5"},
        {49, "xi: dollo"}, {50, "nu: observed 0.8"}, {51, "l-lambda: fixed 1"}, {52, "g-lambda: fixed 1"},
        {53, "optimizer: fast"}, {54, "starts: 7"}, {55, "search: screen"}};
    if (conditioned) lines[56] = "condition on presence: on";
    LoadText(testing_support::ControlText(lines), 5);
  }

  // The example's fit, its l-lambda started so low that some starts' Newton steps for theta give
  // up on the way: warnings that the rank climbing the start holds for the others.
  void LoadWarningExample() {
    std::string text;
    for (const char* extension : {"phyl", "wp.txt", "ngp.txt"}) {
      const std::string name = std::string("primates.") + extension;
      testing_support::WriteText(name, testing_support::ReadText(std::string(EXAMPLES_DIR) + "/" + name));
    }
    std::istringstream example(testing_support::ReadText(std::string(EXAMPLES_DIR) + "/primates.input.txt"));
    int number = 0;
    for (std::string line; std::getline(example, line);) {
      ++number;
      if (number == 41) line = "maximum # iterations: 40";
      if (number == 51) line = "l-lambda: fixed 1e-9";
      text += line + "\n";
    }
    LoadText(text, 3);
  }

  void LoadText(const std::string& text, std::uint32_t seed) {
    testing_support::WriteText("fit.txt", text);
    SetRunSeed(seed);
    tree_ = PhylogeneticTree();
    data_ = AlignmentData();
    control_ = ControlFile();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool loaded = LoadRun(tree_, data_, control_, "fit.txt", "fit");
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(loaded) << testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStderr();
  }

  // The fit and the reconstruction, as rank `communicator` (none: the process alone) runs them.
  void Run(EStepCommunicator* communicator, std::uint32_t threads, RankRun* run) {
    FitSettings settings = control_.fit;
    settings.communicator = communicator;
    settings.threadCount = threads;
    WarningCapture capture;
    Estimator estimator(settings, tree_, data_);
    run->fitted = estimator.Fit(control_.model, run->history, &run->result);
    if (run->fitted) {
      run->ancestral.Resize(data_.geneCount, tree_.nodeCount);
      estimator.Reconstruct(run->result, &run->ancestral);
    }
    run->warnings = capture.held;
  }

  std::vector<RankRun> RunOnRanks(std::uint32_t ranks, std::uint32_t threads) {
    SharedMemoryRanks shared(ranks);
    std::vector<RankRun> runs(ranks);
    std::vector<std::thread> rankThreads;
    testing::internal::CaptureStdout();
    for (std::uint32_t r = 0; r < ranks; ++r) {
      rankThreads.emplace_back([&, r] { Run(shared.View(r), threads, &runs[r]); });
    }
    for (std::thread& t : rankThreads) t.join();
    testing::internal::GetCapturedStdout();
    return runs;
  }

  testing_support::TempDir dir_;
  testing_support::ScopedChdir chdir_;
  PhylogeneticTree tree_;
  AlignmentData data_;
  ControlFile control_;
};

void ExpectSameStarts(const FitResult& got, const FitResult& want) {
  ASSERT_EQ(got.starts.size(), want.starts.size());
  for (std::size_t s = 0; s < want.starts.size(); ++s) {
    SCOPED_TRACE(testing::Message() << "start " << s + 1);
    const StartOutcome &a = got.starts[s], &b = want.starts[s];
    EXPECT_EQ(a.skipped, b.skipped);
    EXPECT_EQ(a.continued, b.continued);
    EXPECT_EQ(a.logLikelihood, b.logLikelihood);
    EXPECT_EQ(a.iterations, b.iterations);
    EXPECT_EQ(a.eSteps, b.eSteps);
    EXPECT_EQ(a.converged, b.converged);
    EXPECT_EQ(a.optimality.passed, b.optimality.passed);
    EXPECT_EQ(a.optimality.largest, b.optimality.largest);
    EXPECT_EQ(a.unmet.kind, b.unmet.kind);
    EXPECT_EQ(a.unmet.value, b.unmet.value);
  }
}

void ExpectSameRun(const RankRun& got, const RankRun& want) {
  ASSERT_TRUE(got.fitted);
  const FitResult &a = got.result, &b = want.result;
  EXPECT_EQ(a.logLikelihood, b.logLikelihood);
  EXPECT_EQ(a.iterations, b.iterations);
  EXPECT_EQ(a.eSteps, b.eSteps);
  EXPECT_EQ(a.startsAtBest, b.startsAtBest);
  EXPECT_EQ(a.converged, b.converged);
  EXPECT_EQ(a.model.p0, b.model.p0);
  EXPECT_EQ(a.model.theta, b.model.theta);
  EXPECT_EQ(a.model.phi, b.model.phi);
  EXPECT_EQ(a.model.eta, b.model.eta);
  EXPECT_EQ(a.model.xi, b.model.xi);
  EXPECT_EQ(a.model.nu, b.model.nu);
  EXPECT_EQ(a.gainCategories.rates, b.gainCategories.rates);
  EXPECT_EQ(a.lossCategories.weights, b.lossCategories.weights);
  EXPECT_EQ(a.flags.nu, b.flags.nu);
  EXPECT_EQ(a.sums.transitions, b.sums.transitions);
  EXPECT_EQ(a.sums.unobservedSites, b.sums.unobservedSites);
  ASSERT_EQ(a.estimates.size(), b.estimates.size());
  for (std::size_t i = 0; i < a.estimates.size(); ++i) EXPECT_EQ(a.estimates[i].gradient, b.estimates[i].gradient) << i;
  ExpectSameStarts(a, b);
  // Every start's course once, in start order: a start climbed on two ranks, or lost, shows here.
  ASSERT_EQ(got.history.lines.size(), want.history.lines.size());
  for (std::size_t i = 0; i < want.history.lines.size(); ++i) {
    const RecordedHistory::Line &x = got.history.lines[i], &y = want.history.lines[i];
    ASSERT_TRUE(x.kind == y.kind && x.family == y.family && x.iteration == y.iteration) << i;
    ASSERT_EQ(x.logLikelihood, y.logLikelihood) << i;
    ASSERT_EQ(x.model.xi, y.model.xi) << i;
  }
  ASSERT_EQ(got.warnings.size(), want.warnings.size());
  for (std::size_t i = 0; i < want.warnings.size(); ++i) {
    EXPECT_EQ(got.warnings[i].code, want.warnings[i].code) << i;
    EXPECT_EQ(got.warnings[i].printed, want.warnings[i].printed) << i;
  }
  EXPECT_EQ(got.ancestral.present, want.ancestral.present);
  EXPECT_EQ(got.ancestral.gains, want.ancestral.gains);
}

TEST_F(ScreenedSearchRanksTest, AnyRanksAndThreadsEndWithTheFitOfOneProcess) {
  for (bool conditioned : {false, true}) {
    SCOPED_TRACE(conditioned ? "conditioned on presence" : "unconditioned");
    Load(conditioned);
    RankRun alone;
    testing::internal::CaptureStdout();
    Run(nullptr, 1, &alone);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(alone.fitted);
    // The case must show what the exchange carries: starts left behind, starts that climbed on
    // and stopped at the limit, and warnings about them.
    ASSERT_EQ(alone.result.starts.size(), 7U);
    std::uint32_t continued = 0, stopped = 0;
    for (const StartOutcome& start : alone.result.starts) {
      continued += start.continued ? 1 : 0;
      stopped += start.continued && !start.converged ? 1 : 0;
    }
    EXPECT_EQ(continued, 2U);
    EXPECT_GE(stopped, 1U);
    EXPECT_FALSE(alone.warnings.empty());
    for (std::uint32_t ranks : {2U, 3U}) {
      for (std::uint32_t threads : {1U, 2U}) {
        SCOPED_TRACE(testing::Message() << ranks << " ranks of " << threads << " threads");
        const std::vector<RankRun> runs = RunOnRanks(ranks, threads);
        for (std::uint32_t r = 0; r < ranks; ++r) {
          SCOPED_TRACE(testing::Message() << "rank " << r);
          ExpectSameRun(runs[r], alone);
        }
      }
    }
  }
}

TEST_F(ScreenedSearchRanksTest, WarningsOfStartsOnOtherRanksComeInStartOrder) {
  LoadWarningExample();
  RankRun alone;
  testing::internal::CaptureStdout();
  Run(nullptr, 1, &alone);
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(alone.fitted);
  std::size_t newton = 0;
  for (const WarningCapture::Held& held : alone.warnings) newton += held.code == "newton-step-limit" ? 1 : 0;
  ASSERT_GE(newton, 1U);
  for (std::uint32_t ranks : {2U, 3U}) {
    SCOPED_TRACE(testing::Message() << ranks << " ranks");
    const std::vector<RankRun> runs = RunOnRanks(ranks, 1);
    for (std::uint32_t r = 0; r < ranks; ++r) {
      SCOPED_TRACE(testing::Message() << "rank " << r);
      ExpectSameRun(runs[r], alone);
    }
  }
}

TEST(ScreenedSearchRanksPlanTest, EveryRankGetsItsShareOfBothKindsOfStart) {
  // 8 starts over 2 ranks: the evens 0 2 4 6 and the odds 1 3 5 7 each dealt 0 1 0 1. Over 3
  // ranks the evens take 0 1 2 0 and the odds go on from there, 1 2 0 1.
  const std::uint32_t two[] = {0, 0, 1, 1, 0, 0, 1, 1};
  const std::uint32_t three[] = {0, 1, 1, 2, 2, 0, 0, 1};
  for (std::uint32_t i = 0; i < 8; ++i) {
    EXPECT_EQ(OwnerOfStart(i, 8, 2), two[i]) << i;
    EXPECT_EQ(OwnerOfStart(i, 8, 3), three[i]) << i;
  }
  // Any count: every start has a rank, the shares differ by at most one, and the given start
  // (whose failure ends the fit) is rank 0's.
  for (std::uint32_t starts : {2U, 7U, 11U}) {
    for (std::uint32_t ranks : {1U, 2U, 3U, 5U}) {
      SCOPED_TRACE(testing::Message() << starts << " starts over " << ranks << " ranks");
      std::vector<std::uint32_t> count(ranks, 0);
      for (std::uint32_t start = 0; start < starts; ++start) {
        const std::uint32_t owner = OwnerOfStart(start, starts, ranks);
        ASSERT_LT(owner, ranks);
        ++count[owner];
      }
      for (std::uint32_t r = 0; r < ranks; ++r) EXPECT_EQ(count[r], starts / ranks + (r < starts % ranks ? 1U : 0U));
      EXPECT_EQ(OwnerOfStart(0, starts, ranks), 0U);
    }
  }
}

}  // namespace
}  // namespace vorn
