#include "estimation/em.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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

}  // namespace
}  // namespace vorn
