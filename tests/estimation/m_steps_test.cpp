#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "data/phylogenetic_tree.h"
#include "estimation/em.h"
#include "support/test_support.h"

namespace vorn {
namespace {

// Two leaves on branches of 0.5 (nodes 1 and 2), one gene, hand-made posterior sums on node 1.
class SingleBranchTest : public testing::Test {
 protected:
  SingleBranchTest() {
    tree_.treeName = "cherry";
    FilePtr file = testing_support::StreamOf("(A:0.5,B:0.5);");
    EXPECT_TRUE(tree_.ReadNewick(file.get()));
    em_.Resize(3, 1);
    em_.lossCategories.InitLossCategories(1);
    em_.lossCategories.SetLossRates(0);
    em_.gainCategories.InitGainCategories(2);
    em_.gainCategories.SetGainRates(0, 0.5);
    em_.eStep.Sums().Resize(1, 3, 2, 1);
    em_.limits.thetaCap = em_.limits.etaCap = 10;
    em_.settings.internalTolerance = 1e-13;
    em_.model.theta[0] = 0.7;
    em_.model.eta[0] = 0.9;
    em_.model.phi[1] = 0.3;
    em_.model.xi[1] = 0.6;
  }
  // Posterior sums of the gaining category (k = 1) or of the only loss category.
  void SetLossSums(double loss, double keep) {
    em_.eStep.Sums().transitions[em_.eStep.Sums().TransitionOffset(0, 1, 1, 0) + 1] = loss;
    em_.eStep.Sums().transitions[em_.eStep.Sums().TransitionOffset(0, 1, 1, 1) + 1] = keep;
  }
  void SetGainSums(double stay, double gain) {
    em_.eStep.Sums().transitions[em_.eStep.Sums().TransitionOffset(0, 1, 0, 0) + 1] = stay;
    em_.eStep.Sums().transitions[em_.eStep.Sums().TransitionOffset(0, 1, 0, 1) + 1] = gain;
  }

  PhylogeneticTree tree_;
  EM em_;
};

TEST_F(SingleBranchTest, UpdatesStopAtTheirBounds) {
  em_.flags.theta[0] = em_.flags.eta[0] = em_.flags.phi[1] = em_.flags.xi[1] = 1;
  const double kNone = -1, kFloor = 1.1920928955078125e-07;
  const struct {
    const char* name;
    double loss, keep, stay, gain;
    double theta, phi, eta, xi;  // expected, exactly; kNone: not looked at
  } cases[] = {
      // Almost no losses: theta and phi at their floors.
      {"no losses", 1e-9, 10, 5, 5, 0.0001, 0, kNone, kNone},
      // Almost only losses: theta at its cap (10 / rl = 10), phi at 0.9999.
      {"only losses", 10, 1e-12, 5, 5, 10, 0.9999, kNone, kNone},
      // Almost no gains: eta at its floor (where Q is not concave it is halved, down to the floor and
      // no further), xi at its floor (at 0 it could never rise again).
      {"no gains", 5, 5, 10, 0, kNone, kNone, kFloor, kFloor},
      // Gains more often than xi allows: eta at its cap, xi at 1.
      {"only gains", 5, 5, 1e-9, 10, kNone, kNone, 10, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetLossSums(c.loss, c.keep);
    SetGainSums(c.stay, c.gain);
    EM updated = em_;
    updated.UpdateTheta(tree_);
    updated.MaxPhi(tree_);
    updated.UpdateEta(tree_);
    updated.UpdateXi(tree_);
    const double actual[] = {updated.model.theta[0], updated.model.phi[1], updated.model.eta[0], updated.model.xi[1]};
    const double expected[] = {c.theta, c.phi, c.eta, c.xi};
    for (int i = 0; i < 4; ++i) {
      EXPECT_TRUE(expected[i] == kNone || actual[i] == expected[i]) << i << ": " << actual[i];
    }
  }
}

TEST_F(SingleBranchTest, PhiNewtonStopsAtTheResolutionOfItsSums) {
  // With no tolerance at all Newton once hopped between two neighbouring doubles around the
  // closed-form maximum 1 - keep / (E (loss + keep)), E = e^(-theta t), for 51 steps and warned.
  const double theta = 0.58903320309989882, loss = 0.2418124506077704, keep = 0.50511818446305634;
  em_.model.theta[0] = theta;
  em_.model.phi[1] = 0.14212013299472528;
  em_.flags.phi[1] = 1;
  em_.settings.internalTolerance = 0;
  SetLossSums(loss, keep);
  testing::internal::CaptureStderr();
  em_.MaxPhi(tree_);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_NEAR(em_.model.phi[1], 1 - keep / (std::exp(-theta * 0.5) * (loss + keep)), 1e-15);
}

// The eta update climbs to the known maximiser where Newton alone cannot: past a false wall, and
// out of a region where Q is not concave and rises.
TEST_F(SingleBranchTest, EtaClimbsWhereNewtonAloneCannot) {
  em_.flags.eta[0] = 1;
  em_.limits.etaCap = 1000;
  {
    SCOPED_TRACE("wall");
    // xi of 1: Q = -stay eta t + gain ln(1 - e^(-eta t)), maximal at e^(-eta t) = stay / (stay + gain),
    // i.e. eta t = 39.1. Beyond eta t = 36.7, 1 - xi (1 - e) rounds to 0, a wall of -infinity
    // right below the maximum; Newton used to cycle in front of it.
    EM wall = em_;
    wall.model.xi[1] = 1;
    wall.eStep.Sums().transitions[wall.eStep.Sums().TransitionOffset(0, 1, 0, 0) + 1] = 1e-17;
    wall.eStep.Sums().transitions[wall.eStep.Sums().TransitionOffset(0, 1, 0, 1) + 1] = 1;
    testing::internal::CaptureStderr();
    wall.UpdateEta(tree_);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_NEAR(wall.model.eta[0], -std::log(1e-17 / (1 + 1e-17)) / 0.5, 1e-9);
  }
  {
    SCOPED_TRACE("not concave, rising");
    // Two gaining categories (rates 0.05 and 4), xi 0.99: at eta = 4 Q rises (slope 0.67) with a
    // positive curvature (0.073); the stationary points are a maximum near 0.95, a minimum near
    // 2.95 and the maximum 18.99602189615267 (found with 40-digit arithmetic). Halving there, as
    // Newton's fallback did, went downhill to the lower maximum.
    EM rising = em_;
    rising.gainCategories.InitGainCategories(3);
    rising.gainCategories.rates = {0, 0.05, 4};
    rising.eStep.Sums().Resize(1, 3, 3, 1);
    const double stay[] = {7.204, 2.767}, gain[] = {4.309, 1.884};
    for (int k = 1; k <= 2; ++k) {
      rising.eStep.Sums().transitions[rising.eStep.Sums().TransitionOffset(0, 1, 0, 0) + k] = stay[k - 1];
      rising.eStep.Sums().transitions[rising.eStep.Sums().TransitionOffset(0, 1, 0, 1) + k] = gain[k - 1];
    }
    rising.model.xi[1] = 0.99;
    rising.model.eta[0] = 4;
    rising.UpdateEta(tree_);
    EXPECT_NEAR(rising.model.eta[0], 18.99602189615267, 1e-6);
  }
}

TEST_F(SingleBranchTest, ShapeUpdatesStopAtTheirBounds) {
  em_.lossCategories.InitLossCategories(4);
  em_.lossCategories.SetLossRates(1.0);
  em_.eStep.Sums().Resize(1, 3, 2, 4);
  em_.model.llambda = 1.0;
  auto set = [this](int l, double loss, double keep) {
    for (std::uint32_t v = 1; v < 3; ++v) {
      em_.eStep.Sums().transitions[em_.eStep.Sums().TransitionOffset(0, v, 1, 0) + 4 + l] = loss;
      em_.eStep.Sums().transitions[em_.eStep.Sums().TransitionOffset(0, v, 1, 1) + 4 + l] = keep;
    }
  };
  // The same losses and retentions in every category: by Jensen's inequality equal rates fit
  // best, so the shape runs to its ceiling.
  for (int l = 0; l < 4; ++l) set(l, 2, 3);
  EM flat = em_;
  flat.UpdateLLambda(tree_);
  EXPECT_EQ(flat.model.llambda, 5000);
  // Losses only where rates are highest, retentions only where they are lowest: as much
  // variation as allowed.
  for (int l = 0; l < 4; ++l) set(l, l == 3 ? 5 : 0, l == 0 ? 5 : 0);
  EM varied = em_;
  varied.UpdateLLambda(tree_);
  EXPECT_EQ(varied.model.llambda, em_.settings.minLLambda);
  EXPECT_DOUBLE_EQ(varied.monitor.entries[6], (1.0 - 0.05) / 1.0);
}

// Posterior sums that say nothing about a parameter, or say it only through a curvature of 0,
// must leave numbers behind: each case once ended in not-a-number or at the wrong bound.
TEST_F(SingleBranchTest, UpdatesWithoutEvidenceLeaveNumbers) {
  em_.flags.theta[0] = em_.flags.eta[0] = em_.flags.phi[1] = em_.flags.xi[1] = 1;
  const struct {
    const char* name;
    double loss, keep, stay, gain, xi;
    double theta, eta;  // expected, exactly; -1: any number
  } cases[] = {
      // Nothing at all: theta and eta keep their values (a step would be 0 / 0).
      {"no sums", 0, 0, 0, 0, 0.6, 0.7, 0.9},
      // Retentions but not a single loss: the curvature is exactly 0 and the slope negative, so
      // theta goes to its floor (a Newton step once ran to the cap).
      {"no loss at all", 0, 5, 7, 2, 0.6, 0.0001, -1},
      // xi of 1 and no gain: the same for eta, which goes to its floor.
      {"xi of 1 without gains", 3, 5, 7, 0, 1.0, -1, 1.1920928955078125e-07},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetLossSums(c.loss, c.keep);
    SetGainSums(c.stay, c.gain);
    EM updated = em_;
    updated.model.xi[1] = c.xi;
    updated.UpdateTheta(tree_);
    updated.UpdateEta(tree_);
    EXPECT_TRUE(c.theta < 0 || updated.model.theta[0] == c.theta) << updated.model.theta[0];
    EXPECT_TRUE(c.eta < 0 || updated.model.eta[0] == c.eta) << updated.model.eta[0];
    updated.MaxPhi(tree_);
    updated.UpdateXi(tree_);
    for (double value : {updated.model.theta[0], updated.model.eta[0], updated.model.phi[1], updated.model.xi[1]}) {
      EXPECT_TRUE(std::isfinite(value)) << value;
    }
  }
}

TEST_F(SingleBranchTest, GainRateTooSmallForExpStillGivesAnEta) {
  // eta rg t of 4.5e-17: e^-x rounds to 1, and 1 - e would be 0 under a positive gain weight.
  em_.gainCategories.rates[1] = 1e-16;
  em_.flags.eta[0] = 1;
  SetGainSums(7, 2);
  em_.UpdateEta(tree_);
  EXPECT_TRUE(std::isfinite(em_.model.eta[0])) << em_.model.eta[0];
  EXPECT_GE(em_.model.eta[0], 1.1920928955078125e-07);
}

TEST_F(SingleBranchTest, BranchOfLengthZeroKeepsThePhiItsLossesNeed) {
  // On a branch of length 0 a loss happens through phi alone, and the closed form is the
  // posterior share of losses. The first Newton step from 0.3 lands below 0; phi once stayed at
  // 0 there, which made every pattern with that loss impossible.
  FilePtr file = testing_support::StreamOf("(A:0,B:0.5);");
  ASSERT_TRUE(tree_.ReadNewick(file.get()));
  ASSERT_EQ(tree_.branchLength[1], 0.0);
  em_.flags.phi[1] = 1;
  SetLossSums(1, 1000);
  em_.MaxPhi(tree_);
  EXPECT_NEAR(em_.model.phi[1], 1.0 / 1001, 1e-12);
}

}  // namespace
}  // namespace vorn
