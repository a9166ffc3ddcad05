#include "estimation/convergence.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/fit.h"
#include "output/history_files.h"
#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::ReadText;

TEST(ConvergenceMonitorTest, RelativeChangesAndTheLargest) {
  ConvergenceMonitor m;
  m.RecordP0(0.6, 0.5);          // 0.2
  m.RecordTheta(1.1, 1.0);       // 0.1
  m.RecordTheta(3.0, 2.0);       // 0.5 replaces 0.1
  m.RecordTheta(1.0, 1.0);       // 0 does not replace
  m.RecordPhi(0.25, 0.0);        // the epsilon makes 0 -> 0.25 finite
  m.RecordXi(0.5, 0.5);
  m.RecordNu(0.45, 0.5);         // 0.1
  const double phi = 0.25 / 2.220446049250313e-16, expected[] = {0.2, 0.5, phi, 0, 0, 0.1, 0, 0, phi, 0};
  for (int i = 0; i < 10; ++i) EXPECT_DOUBLE_EQ(m.entries[i], expected[i]) << i;

  // A single-valued entry takes its new change even when it is smaller.
  m.RecordP0(0.5, 0.5);
  EXPECT_EQ(m.entries[0], 0.0);
  EXPECT_EQ(m.entries[8], m.entries[2]);

  m.RecordLikelihood(-90, -100);  // a rise of the log-likelihood is a positive change
  EXPECT_DOUBLE_EQ(m.entries[9], 0.1);
  m.Reset();
  for (int i = 0; i < 9; ++i) EXPECT_EQ(m.entries[i], 0.0) << i;
  EXPECT_DOUBLE_EQ(m.entries[9], 0.1);  // the likelihood change survives a reset
}

TEST(ConvergenceMonitorTest, ConvergenceDecisions) {
  ConvergenceMonitor m;
  m.RecordLikelihood(-99.99, -100);  // 1e-4
  EXPECT_FALSE(m.Converged(1e-5, 1e-3));
  EXPECT_EQ(m.FirstUnconverged(1e-3), kNoFamily);  // only the likelihood failed
  EXPECT_TRUE(m.Converged(1e-4 + 1e-12, 1e-3));

  m.RecordEta(1.01, 1.0);
  m.RecordLLambda(2.0, 1.0);
  EXPECT_FALSE(m.Converged(1, 1e-3));
  EXPECT_EQ(m.FirstUnconverged(1e-3), kEta);   // eta before l-lambda
  EXPECT_EQ(m.FirstUnconverged(0.5), kLLambda);
  EXPECT_EQ(m.FirstUnconverged(1.0), kNoFamily);    // strictly greater only
  EXPECT_TRUE(m.Converged(1, 1.0));

  // A likelihood that fell gives a negative change, which passes.
  m.Reset();
  m.RecordLikelihood(-101, -100);
  EXPECT_TRUE(m.Converged(0, 0));
  // A change that is not a number never counts as above a tolerance.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  m = ConvergenceMonitor();
  m.RecordP0(0.0, 0.0);  // 0/0
  m.RecordGLambda(nan, 1.0);
  m.RecordTheta(nan, 1.0);
  EXPECT_TRUE(std::isnan(m.entries[0]));
  EXPECT_EQ(m.entries[1], 0.0);
  EXPECT_EQ(m.entries[8], 0.0);
  m.RecordLikelihood(nan, -10);
  EXPECT_EQ(m.FirstUnconverged(0), kNoFamily);
  EXPECT_TRUE(m.Converged(0, 0));
}

// The course of a fit as the history files and their table write it: a start, three EM updates
// (the last one changing nothing), a point of the fast search and a second start; expected by hand.
TEST(HistoryFilesTest, LinesAndTableRowsOfAFit) {
  testing_support::TempDir dir;
  testing_support::ScopedChdir chdir(dir.path());
  EvolModel m;
  m.Resize(3, 1);
  m.p0 = m.nu = 0.5;
  m.theta = {2}, m.eta = {1}, m.phi = {0, 0, 0.5}, m.xi = {0, 0.25, 1};
  m.glambda = 4;
  HistoryFiles history;
  ASSERT_TRUE(history.Open("run"));
  history.Start({m, -10, 0});
  m.theta[0] = 3;  // a change of 1/2
  history.Update(kTheta, {m, -9, 1});
  m.phi[1] = 0.25;  // from 0: measured against 2^-52, 2^50
  history.Update(kPhi, {m, -9, 1});
  history.Update(kXi, {m, -9, 1});  // no change, which counts 0 also for the l-lambda of 0
  m.eta[0] = 1.5;  // 1/2
  m.nu = 0.125;    // 3/4, the largest
  history.Point({m, -8.5, 2});
  history.Start({m, -8.5, 0});
  ASSERT_TRUE(history.Close());
  EXPECT_EQ(ReadText("run.history.tsv"),
            "iteration\tstep\tlog_likelihood\tlargest_change\tstart\n0\tstart\t-10\tNA\t1\n1\ttheta\t-9\t0.5\t1\n"
            "1\tphi\t-9\t1125899906842624\t1\n1\txi\t-9\t0\t1\n2\tfast\t-8.5\t0.75\t1\n0\tstart\t-8.5\tNA\t2\n");
  EXPECT_EQ(ReadText("run.history.likelihood.txt"), "-10\n-9\n-9\n-9\n-8.5\n-8.5\n");
  EXPECT_EQ(ReadText("run.history.theta.txt"), "2\n3\n3\n3\n");
  EXPECT_EQ(ReadText("run.history.phi.txt"), "0\t0\t0.5\n0\t0.25\t0.5\n0\t0.25\t0.5\n0\t0.25\t0.5\n");
  EXPECT_EQ(ReadText("run.history.nu.txt"), "0.5\n0.125\n0.125\n");
}

// A fit on `tree` of one gene of the patterns and counts given as pattern files, every parameter
// held (p0 0.5, theta and eta 1, phi 0, xi 0) but those the test estimates; no rate variation.
class SmallFitTest : public testing::Test {
 protected:
  void Load(const PhylogeneticTree& tree, const char* patterns, const char* counts) {
    FilePtr wp = testing_support::StreamOf(patterns), ngp = testing_support::StreamOf(counts);
    ASSERT_TRUE(data_.ReadPatternFiles(wp.get(), ngp.get(), tree.leafCount));
    settings_.flags.Resize(tree.nodeCount, 1);
    given_.Resize(tree.nodeCount, 1);
    given_.p0 = 0.5;
    given_.theta = given_.eta = {1};
  }
  bool Run(const PhylogeneticTree& tree) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    NoHistory history;
    const bool done = Estimator(settings_, tree, data_).Fit(given_, history, &result_);
    output_ = testing::internal::GetCapturedStdout();
    errors_ = testing::internal::GetCapturedStderr();
    return done;
  }

  AlignmentData data_;
  FitSettings settings_;
  EvolModel given_;
  FitResult result_;
  std::string output_, errors_;
};

// Every site present at every leaf: no loss ever happens, and the one estimated phi (above A) falls
// from 0.3 to its bound 0 in the first iteration, its derivative pointing out. At the iteration limit
// that change, however large, is not what kept the fit going; the likelihood still rose, so nobody
// in particular is named.
TEST_F(SmallFitTest, AProbabilityThatFellToItsBoundIsNotNamedAtTheIterationLimit) {
  const PhylogeneticTree tree = testing_support::FourLeafTree();
  Load(tree, "1 1 1 1\n", "g 10\n");
  given_.xi[3] = 0.5;
  given_.phi[3] = 0.3;
  settings_.flags.phi[3] = 1;
  settings_.maxIterations = 1;
  settings_.parameterTolerance = 0;
  settings_.likelihoodTolerance = 1e-12;
  ASSERT_TRUE(Run(tree));
  EXPECT_EQ(result_.model.phi[3], 0.0);
  EXPECT_NE(output_.find("Warning: Maximum number of iterations reached\n         It is unclear who failed to converge."),
            std::string::npos)
      << output_;
}

TEST_F(SmallFitTest, APhiStartOfZeroOnABranchOfLengthZeroIsMovedOffIt) {
  // A and B hang on branches of length 0, so they differ only through a phi. The only pattern
  // in which they differ has an unknown leaf, which keeps it out of the Dollo counts: Dollo gives
  // every phi 0. Left there, that pattern would have likelihood 0, which EM never leaves; the
  // refusal of such a start, or phi stuck at 0, was all a run could give.
  PhylogeneticTree tree;
  tree.treeName = "zero";
  FilePtr treeFile = testing_support::StreamOf("((A:0,B:0):0.1,(C:0.05,D:0.05):0.05);");
  ASSERT_TRUE(tree.ReadNewick(treeFile.get()));
  Load(tree, "1 1 1 1\n2 0 1 0\n", "g 5 1\n");  // leaf order C, D, A, B
  given_.nu = 0.2;
  settings_.flags.phi = settings_.flags.xi = {0, 1, 1, 1, 1, 1, 1};
  settings_.initialization.phiMode = settings_.initialization.xiMode = "dollo";
  settings_.maxIterations = 50;
  ASSERT_TRUE(Run(tree)) << errors_;
  // One site in six shows B lost where A kept it (or A lost where B kept it).
  EXPECT_GT(result_.model.phi[5] + result_.model.phi[6], 0.1);
  EXPECT_TRUE(std::isfinite(result_.logLikelihood));
}

}  // namespace
}  // namespace vorn
