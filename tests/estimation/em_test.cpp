#include "estimation/em.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "support/test_support.h"

namespace vorn {
namespace {

TEST(ConvergenceMonitorTest, RelativeChangesAndTheLargest) {
  ConvergenceMonitor m;
  m.RecordP0(0.6, 0.5);          // 0.2
  m.RecordTheta(1.1, 1.0);       // 0.1
  m.RecordTheta(3.0, 2.0);       // 0.5 replaces 0.1
  m.RecordTheta(1.0, 1.0);       // 0 does not replace
  m.RecordPhi(0.25, 0.0);        // the epsilon makes 0 -> 0.25 finite
  m.RecordXi(0.5, 0.5);
  m.RecordNu(0.45, 0.5);         // 0.1
  EXPECT_DOUBLE_EQ(m.entries[0], 0.2);
  EXPECT_DOUBLE_EQ(m.entries[1], 0.5);
  EXPECT_DOUBLE_EQ(m.entries[2], 0.25 / 2.220446049250313e-16);
  EXPECT_EQ(m.entries[4], 0.0);
  EXPECT_DOUBLE_EQ(m.entries[5], 0.1);
  EXPECT_EQ(m.entries[8], m.entries[2]);

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
  EXPECT_EQ(m.FirstUnconverged(1e-3), 0);  // only the likelihood failed
  EXPECT_TRUE(m.Converged(1e-4 + 1e-12, 1e-3));

  m.RecordEta(1.01, 1.0);
  m.RecordLLambda(2.0, 1.0);
  EXPECT_FALSE(m.Converged(1, 1e-3));
  EXPECT_EQ(m.FirstUnconverged(1e-3), 4);   // eta before l-lambda
  EXPECT_EQ(m.FirstUnconverged(0.5), 7);
  EXPECT_EQ(m.FirstUnconverged(1.0), 0);    // strictly greater only
  EXPECT_TRUE(m.Converged(1, 1.0));

  // A likelihood that fell gives a negative change, which passes.
  m.Reset();
  m.RecordLikelihood(-101, -100);
  EXPECT_TRUE(m.Converged(0, 0));
}

TEST(ConvergenceMonitorTest, NotANumberNeverCountsAsAboveTheTolerance) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  ConvergenceMonitor m;
  m.RecordP0(0.0, 0.0);  // 0/0
  m.RecordGLambda(nan, 1.0);
  m.RecordTheta(nan, 1.0);
  EXPECT_TRUE(std::isnan(m.entries[0]));
  EXPECT_EQ(m.entries[1], 0.0);
  EXPECT_EQ(m.entries[8], 0.0);
  m.RecordLikelihood(nan, -10);
  EXPECT_EQ(m.FirstUnconverged(0), 0);
  EXPECT_TRUE(m.Converged(0, 0));
}

TEST(EMTest, DefaultsAndSizing) {
  EM em;
  EXPECT_EQ(em.maxIterations, 1000U);
  EXPECT_EQ(em.logLikelihood, -1.7976931348623157e+308);
  EXPECT_EQ(em.minLLambda, 0.05);
  EXPECT_EQ(em.minGLambda, 0.06);
  EXPECT_EQ(em.model.geneCount, 1U);
  EXPECT_EQ(em.model.nodeCount, 0U);
  EXPECT_EQ(em.initialization.etaMean, 1.5);
  EXPECT_EQ(em.initialization.nuLower, 0.8);
  em.Resize(7, 3);
  EXPECT_EQ(em.flags.theta.size(), 3U);
  EXPECT_EQ(em.flags.xi.size(), 7U);
  EXPECT_EQ(em.model.phi.size(), 7U);
  EXPECT_EQ(em.model.eta.size(), 3U);
}

TEST(EMTest, AStartUnderWhichThePatternsCannotOccurIsRefused) {
  // A and B hang on branches of length 0, so they differ only through a phi. The only pattern
  // in which they differ has an unknown leaf, which keeps it out of the Dollo counts; the Dollo
  // start gives every phi 0, and that pattern then has likelihood 0, which EM never leaves.
  testing_support::TempDir dir;
  testing_support::ScopedChdir chdir(dir.path());
  PhylogeneticTree tree;
  tree.treeName = "zero";
  FilePtr treeFile = testing_support::StreamOf("((A:0,B:0):0.1,(C:0.05,D:0.05):0.05);");
  ASSERT_TRUE(tree.ReadNewick(treeFile.get()));
  AlignmentData data;
  // Leaf order C, D, A, B (leaves are numbered as their pairs close, right child first).
  FilePtr patterns = testing_support::StreamOf("1 1 1 1\n2 0 1 0\n");
  FilePtr counts = testing_support::StreamOf("g 5 1\n");
  ASSERT_TRUE(data.ReadPatternFiles(patterns.get(), counts.get(), 4));
  EM em;
  em.Resize(tree.nodeCount, 1);
  em.model.geneCount = 1;
  em.model.p0 = 0.5;
  em.model.theta = {1};
  em.model.eta = {1};
  em.model.nu = 0.2;
  for (std::uint32_t v = 1; v < tree.nodeCount; ++v) em.flags.phi[v] = em.flags.xi[v] = 1;
  em.flags.phiAny = em.flags.xiAny = true;
  em.initialization.phiMode = em.initialization.xiMode = "dollo";
  em.lossCategories.InitLossCategories(1);
  em.gainCategories.InitGainCategories(2);
  em.thetaCap = em.etaCap = 1000;
  em.maxIterations = 3;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(em.Run(data, tree, "run"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error:VORN:EM:Run: The log-likelihood of the initial parameters is -inf: some pattern cannot occur "
            "under them; start from other values\n");
  testing::internal::GetCapturedStdout();
}

}  // namespace
}  // namespace vorn
