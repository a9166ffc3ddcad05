#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>

#include <Eigen/Dense>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "driver/run_program.h"
#include "estimation/em.h"
#include "estimation/fit.h"
#include "estimation/history_sink.h"
#include "estimation/literal_estep.h"
#include "estimation/uncertainty.h"
#include "input/input_reader.h"
#include "numerics/run_seed.h"
#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::WriteText;

struct Problem {
  PhylogeneticTree tree;
  AlignmentData data;
  EM em;
};

// Five leaves, two genes of random sites with unknowns, every parameter inside its range, two loss
// categories with l-lambda estimated and nu estimated (no gain-rate variation).
void MakeProblem(std::uint32_t seed, Problem& p) {
  std::mt19937 random(seed);
  auto uniform = [&random](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(random); };
  const std::uint32_t leaves = 5, genes = 2;
  SetRunSeed(seed);
  p.tree.GenerateRandomTree(leaves, 1.5);
  const std::uint32_t n = p.tree.nodeCount;
  p.data.PrepareForSimulation(leaves, genes);
  std::vector<std::uint8_t> values(leaves);
  for (std::uint32_t g = 0; g < genes; ++g) {
    for (int s = 0; s < 60; ++s) {
      for (auto& v : values) v = uniform(0, 1) < 0.1 ? 2 : static_cast<std::uint8_t>(random() % 2);
      p.data.AddSite(values.data(), g);
    }
  }
  EM& em = p.em;
  em.Resize(n, genes);
  EvolModel& m = em.model;
  m.p0 = uniform(0.2, 0.8);
  m.nu = uniform(0.2, 0.6);
  em.flags.p0 = em.flags.nu = em.flags.llambda = true;
  for (std::uint32_t g = 0; g < genes; ++g) {
    m.theta[g] = uniform(0.3, 2);
    m.eta[g] = uniform(0.3, 2);
    em.flags.theta[g] = em.flags.eta[g] = 1;
  }
  for (std::uint32_t v = 1; v < n; ++v) {
    m.phi[v] = uniform(0.05, 0.5);
    m.xi[v] = uniform(0.2, 0.8);
    em.flags.phi[v] = em.flags.xi[v] = 1;
  }
  m.llambda = uniform(0.5, 3);
  m.glambda = 0;
  em.lossCategories.InitLossCategories(2);
  em.gainCategories.InitGainCategories(2);
  em.SetRates();
  double longest = 0;
  for (std::uint32_t v = 1; v < n; ++v) longest = std::max(longest, p.tree.branchLength[v]);
  em.limits.thetaCap = em.limits.etaCap = 153.5 / longest;
  em.settings.internalTolerance = 1e-10;
  em.settings.minLLambda = em.settings.minGLambda = 0.01;
  em.eStep.Prepare(p.data, p.tree, em.gainCategories.count, em.lossCategories.count);
  em.ComputeExpectations(p.data, p.tree);
}

// The literal (long double, unrescaled) log-likelihood with the given parameters moved in y.
long double LiteralAt(const Problem& p, const std::vector<FreeParameter>& parameters,
                      const std::vector<std::pair<std::size_t, double>>& moves) {
  EM moved = p.em;
  for (const auto& [i, dy] : moves) {
    const FreeParameter& f = parameters[i];
    Value(moved.model, f.family, f.index) = FromFitScale(ToFitScale(f.value, f.rate) + dy, f.rate);
  }
  moved.SetRates();
  return testing_support::LiteralEStep(moved, p.data, p.tree).logLikelihood;
}

TEST(UncertaintyTest, InformationIsTheNegatedHessianOfTheLiteralLikelihood) {
  Problem p;
  MakeProblem(2901, p);
  std::vector<FreeParameter> parameters;
  p.em.ForEachFreeParameter(p.data, p.tree, [&](const FreeParameter& f) { parameters.push_back(f); });
  ASSERT_EQ(parameters.size(), 1 + 2 + 2 + 8 + 8 + 1 + 1u);
  Problem copy = p;  // the oracle reads the untouched state
  const std::vector<double> information = ObservedInformation(copy.em, copy.data, copy.tree, parameters);
  const std::size_t n = parameters.size();
  ASSERT_EQ(information.size(), n * n);
  // Second differences of the long double likelihood: truncation of order h^2 of the fourth
  // derivative, rounding of order 1e-16 |L| / h^2, both far below the tolerance.
  const double h = 1e-3;
  const long double centre = LiteralAt(p, parameters, {});
  double largest = 0;
  for (double x : information) largest = std::max(largest, std::abs(x));
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i; j < n; ++j) {
      double expected;
      if (i == j) {
        expected = -static_cast<double>((LiteralAt(p, parameters, {{i, h}}) - 2 * centre +
                                         LiteralAt(p, parameters, {{i, -h}})) / (h * h));
      } else {
        expected = -static_cast<double>((LiteralAt(p, parameters, {{i, h}, {j, h}}) -
                                         LiteralAt(p, parameters, {{i, h}, {j, -h}}) -
                                         LiteralAt(p, parameters, {{i, -h}, {j, h}}) +
                                         LiteralAt(p, parameters, {{i, -h}, {j, -h}})) / (4 * h * h));
      }
      SCOPED_TRACE(testing::Message() << ParameterLabel(parameters[i].family, parameters[i].index) << " x "
                                      << ParameterLabel(parameters[j].family, parameters[j].index));
      EXPECT_NEAR(information[i * n + j], expected, 1e-5 * largest + 1e-4 * std::abs(expected));
      EXPECT_EQ(information[i * n + j], information[j * n + i]);
    }
  }
}

// Above the limit each branch's phi and xi form a block of their own: its standard errors are those
// of the 2 x 2 inverse of their entries of the full information, (I_xx / det)^(1/2) and
// (I_pp / det)^(1/2), computed here by hand.
TEST(UncertaintyTest, AboveTheLimitEachBranchIsABlockOfItsOwn) {
  Problem p;
  MakeProblem(2902, p);
  FitResult result;
  result.model = p.em.model;
  result.flags = p.em.flags;
  result.limits = p.em.limits;
  p.em.ForEachFreeParameter(p.data, p.tree, [&](const FreeParameter& f) { result.estimates.push_back(f); });
  const std::size_t n = result.estimates.size();
  Problem copy = p;
  const std::vector<double> information = ObservedInformation(copy.em, copy.data, copy.tree, result.estimates);
  Uncertainty blocks;
  ComputeUncertainty(p.em, p.data, p.tree, result, &blocks, n - 1);
  EXPECT_EQ(blocks.approximation, "blocks");
  int checked = 0;
  for (std::uint32_t v = 1; v < p.tree.nodeCount; ++v) {
    std::size_t phi = n, xi = n;
    for (std::size_t i = 0; i < n; ++i) {
      if (result.estimates[i].index != v) continue;
      if (result.estimates[i].family == kPhi) phi = i;
      if (result.estimates[i].family == kXi) xi = i;
    }
    ASSERT_LT(phi, n);
    ASSERT_LT(xi, n);
    const double pp = information[phi * n + phi], xx = information[xi * n + xi], px = information[phi * n + xi];
    const double det = pp * xx - px * px;
    if (!(pp > 0 && det > 0)) continue;
    SCOPED_TRACE(v);
    ASSERT_TRUE(blocks.parameters[phi].determined) << blocks.parameters[phi].reason;
    ASSERT_TRUE(blocks.parameters[xi].determined) << blocks.parameters[xi].reason;
    EXPECT_NEAR(blocks.parameters[phi].se, std::sqrt(xx / det), 1e-6 * std::sqrt(xx / det));
    EXPECT_NEAR(blocks.parameters[xi].se, std::sqrt(pp / det), 1e-6 * std::sqrt(pp / det));
    ++checked;
  }
  EXPECT_GE(checked, 3);  // away from a maximum, not every block is positive definite
}

// A fit of simulated data on a random tree; em stays at the result, its printing dropped.
class UncertaintyFitTest : public testing::Test {
 protected:
  UncertaintyFitTest() : chdir_(dir_.path()) {}

  void Simulate(const std::map<int, std::string>& lines) {
    WriteText("sim.txt", testing_support::ControlText(lines));
    ASSERT_EQ(testing_support::RunVorn({"--seed", "29", "sim.txt"}).status, 0);
  }

  bool Fit(const std::map<int, std::string>& lines) {
    WriteText("fit.txt", testing_support::ControlText(lines));
    ControlFile control;
    NoHistory history;
    testing::internal::CaptureStdout();
    bool done = LoadRun(tree_, data_, control, "fit.txt", "fit");
    if (done) {
      em_.Configure(control.fit, control.model, tree_);
      done = em_.Run(data_, tree_, history, &result_);
    }
    testing::internal::GetCapturedStdout();
    if (done) ComputeUncertainty(em_, data_, tree_, result_, &uncertainty_);
    return done;
  }

  const ParameterUncertainty* Find(ParameterFamily family, std::uint32_t index) const {
    for (const ParameterUncertainty& u : uncertainty_.parameters) {
      if (u.family == family && u.index == index) return &u;
    }
    return nullptr;
  }

  testing_support::TempDir dir_;
  testing_support::ScopedChdir chdir_;
  PhylogeneticTree tree_;
  AlignmentData data_;
  EM em_;
  FitResult result_;
  Uncertainty uncertainty_;
};

const std::map<int, std::string> kSimulation = {
    {3, "tree: random"}, {4, "number of leaves: 8"}, {5, "total time span: 600"}, {8, "source: sim"},
    {9, "number of genes: 1"}, {10, "number of sites: const 3000"}, {11, "fraction of unknowns: 0.02"},
    {24, "p0: fix 0.6"}, {25, "theta: fix 1.2"}, {26, "phi: con 0.05"}, {27, "eta: con 1.5"}, {28, "xi: con 0.4"},
    {29, "nu: fix 0.3"}, {32, "l-lambda: fix inf"}, {33, "g-lambda: fix inf"},
    {36, "# categories (loss distribution): 1"}, {37, "# categories (gain distribution): 2"}};

std::map<int, std::string> FitLines(std::map<int, std::string> lines) {
  const std::map<int, std::string> fit = {
      {3, "tree: sim.phyl phyl"}, {8, "source: pat sim.wp.txt sim.ngp.txt"}, {24, "p0: est"}, {25, "theta: est"},
      {26, "phi: con 0.05"}, {27, "eta: est"}, {28, "xi: est"}, {29, "nu: fix 0.3"},
      {38, "likelihood tolerance: 1e-10"}, {41, "maximum # iterations: 2000"}, {53, "optimizer: fast"}};
  for (const auto& [line, text] : fit) lines[line] = text;
  return lines;
}

TEST_F(UncertaintyFitTest, OneGeneWithoutGainVariationLeavesEtaAndTheXiFlat) {
  Simulate(kSimulation);
  ASSERT_TRUE(Fit(FitLines(kSimulation)));
  ASSERT_TRUE(result_.limits.etaXiInvariant);
  EXPECT_EQ(uncertainty_.approximation, "full");
  const ParameterUncertainty* eta = Find(kEta, 0);
  ASSERT_NE(eta, nullptr);
  EXPECT_FALSE(eta->determined);
  EXPECT_EQ(eta->reason.rfind("flat direction shared with xi[", 0), 0u) << eta->reason;
  int flatXi = 0;
  for (const ParameterUncertainty& u : uncertainty_.parameters) {
    if (u.family != kXi || u.reason == "at bound") continue;
    EXPECT_FALSE(u.determined) << ParameterLabel(u.family, u.index);
    EXPECT_EQ(u.reason.rfind("flat direction shared with ", 0), 0u) << u.reason;
    ++flatXi;
  }
  EXPECT_GT(flatXi, 0);
  // p0 and theta are off the ridge.
  EXPECT_TRUE(Find(kP0, 0)->determined);
  EXPECT_TRUE(Find(kTheta, 0)->determined);
}

TEST_F(UncertaintyFitTest, WithTheXiFixedEveryParameterIsDeterminedAndItsIntervalInsideTheRange) {
  Simulate(kSimulation);
  std::map<int, std::string> lines = FitLines(kSimulation);
  lines[28] = "xi: con 0.4";
  ASSERT_TRUE(Fit(lines));
  ASSERT_EQ(uncertainty_.parameters.size(), 3u);  // p0, theta, eta
  for (std::size_t i = 0; i < uncertainty_.parameters.size(); ++i) {
    const ParameterUncertainty& u = uncertainty_.parameters[i];
    const FreeParameter& f = result_.estimates[i];
    SCOPED_TRACE(ParameterLabel(u.family, u.index));
    EXPECT_TRUE(u.determined) << u.reason;
    EXPECT_GT(u.se, 0);
    // 3000 sites: a few per cent at most on the fit's scale.
    EXPECT_LT(u.se, 0.2);
    EXPECT_LT(u.ciLow, f.value);
    EXPECT_GT(u.ciHigh, f.value);
    EXPECT_GE(u.ciLow, f.lower);
    EXPECT_LE(u.ciHigh, f.upper);
    // The interval is the Wald interval on the fit's scale, mapped back.
    const double y = ToFitScale(f.value, f.rate);
    EXPECT_NEAR(ToFitScale(u.ciHigh, f.rate) - y, kWaldZ * u.se, 1e-9);
    EXPECT_NEAR(y - ToFitScale(u.ciLow, f.rate), kWaldZ * u.se, 1e-9);
  }
}

// Data without any loss at a speciation.
std::map<int, std::string> WithoutPhi() {
  std::map<int, std::string> simulation = kSimulation;
  simulation[26] = "phi: con 0";
  return simulation;
}

TEST_F(UncertaintyFitTest, TheEigenvectorsFindTheRidgeOfThetaAndThePhiUnaided) {
  Simulate(WithoutPhi());
  std::map<int, std::string> lines = FitLines(WithoutPhi());
  lines[28] = "xi: con 0.4";
  lines[26] = "phi: est";
  ASSERT_TRUE(Fit(lines));
  ASSERT_TRUE(result_.limits.thetaPhiInvariant);
  // Without the model's word for it, from the information alone, wherever theta was parked.
  result_.limits.thetaPhiInvariant = false;
  ComputeUncertainty(em_, data_, tree_, result_, &uncertainty_);
  const ParameterUncertainty* theta = Find(kTheta, 0);
  ASSERT_NE(theta, nullptr);
  ASSERT_NE(theta->reason, "at bound");
  EXPECT_FALSE(theta->determined);
  EXPECT_NE(theta->reason.find("flat direction shared with "), std::string::npos) << theta->reason;
  EXPECT_NE(theta->reason.find("phi["), std::string::npos) << theta->reason;
  EXPECT_EQ(theta->reason.find("eta"), std::string::npos) << theta->reason;
  // p0 and eta are off the ridge.
  EXPECT_TRUE(Find(kP0, 0)->determined) << Find(kP0, 0)->reason;
  EXPECT_TRUE(Find(kEta, 0)->determined) << Find(kEta, 0)->reason;
}

TEST_F(UncertaintyFitTest, AParameterAtItsBoundIsFlaggedAndGetsNoInterval) {
  // With theta held, the estimates of phi go to their bound 0 on some branches.
  Simulate(WithoutPhi());
  std::map<int, std::string> lines = FitLines(WithoutPhi());
  lines[28] = "xi: con 0.4";
  lines[26] = "phi: est";
  lines[25] = "theta: fix 1.2";
  ASSERT_TRUE(Fit(lines));
  int atBound = 0;
  for (std::size_t i = 0; i < uncertainty_.parameters.size(); ++i) {
    const ParameterUncertainty& u = uncertainty_.parameters[i];
    const FreeParameter& f = result_.estimates[i];
    const bool bound = f.value - f.lower <= 1e-6 || f.upper - f.value <= 1e-6;
    if (!bound || f.rate) continue;
    ++atBound;
    EXPECT_FALSE(u.determined);
    EXPECT_EQ(u.reason, "at bound");
    EXPECT_EQ(u.se, 0);
  }
  EXPECT_GT(atBound, 0);

  // The others' intervals let the parameters at a bound move: no narrower than given the bound
  // (the estimates without those parameters), and wider where one trades against them.
  FitResult given = result_;
  given.estimates.clear();
  for (const FreeParameter& f : result_.estimates) {
    if (!(f.value - f.lower <= 1e-6 || f.upper - f.value <= 1e-6) || f.rate) given.estimates.push_back(f);
  }
  Uncertainty conditional;
  ComputeUncertainty(em_, data_, tree_, given, &conditional);
  int wider = 0;
  for (const ParameterUncertainty& c : conditional.parameters) {
    const ParameterUncertainty* u = Find(c.family, c.index);
    ASSERT_NE(u, nullptr);
    SCOPED_TRACE(ParameterLabel(c.family, c.index));
    // Freed, the bounds may widen one so far that it is left out as uninformed.
    if (u->reason.rfind("uninformed", 0) == 0) {
      wider += c.determined ? 1 : 0;
      continue;
    }
    EXPECT_EQ(u->determined, c.determined);
    if (!c.determined) continue;
    EXPECT_GE(u->se, c.se * (1 - 1e-9));
    wider += u->se > c.se * 1.01 ? 1 : 0;
  }
  EXPECT_GT(wider, 0);
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

TEST_F(UncertaintyFitTest, AProbabilityTheDataLeaveSpreadIsUninformedAndGetsNoInterval) {
  // 120 sites leave the loss chances of some branches spread over their whole range.
  std::map<int, std::string> simulation = kSimulation;
  simulation[10] = "number of sites: const 120";
  Simulate(simulation);
  std::map<int, std::string> lines = FitLines(simulation);
  lines[26] = "phi: est";
  lines[25] = "theta: fix 1.2";
  lines[28] = "xi: con 0.4";
  ASSERT_TRUE(Fit(lines));
  // Inside their ranges only, so that the expected standard errors are plain inverses.
  FitResult inside = result_;
  inside.estimates.clear();
  for (const FreeParameter& f : result_.estimates) {
    if (f.value - f.lower > 1e-6 && f.upper - f.value > 1e-6) inside.estimates.push_back(f);
  }
  ComputeUncertainty(em_, data_, tree_, inside, &uncertainty_);
  EM copy = em_;
  const std::vector<double> entries = ObservedInformation(copy, data_, tree_, inside.estimates);
  const Eigen::Index n = static_cast<Eigen::Index>(inside.estimates.size());
  const Eigen::MatrixXd information = Eigen::Map<const Eigen::MatrixXd>(entries.data(), n, n);
  // pi / sqrt(3): the spread of the logit of a uniform draw.
  const double uniform = std::acos(-1.0) / std::sqrt(3.0);
  const Eigen::MatrixXd covariance = information.inverse();
  std::set<Eigen::Index> uninformed;
  for (Eigen::Index i = 0; i < n; ++i) {
    const bool rate = inside.estimates[static_cast<std::size_t>(i)].rate;
    if (!rate && std::sqrt(covariance(i, i)) > uniform) uninformed.insert(i);
  }
  ASSERT_FALSE(uninformed.empty());
  ASSERT_LT(uninformed.size(), static_cast<std::size_t>(n));
  for (Eigen::Index i = 0; i < n; ++i) {
    const ParameterUncertainty& u = uncertainty_.parameters[static_cast<std::size_t>(i)];
    SCOPED_TRACE(ParameterLabel(u.family, u.index));
    if (uninformed.count(i)) {
      EXPECT_FALSE(u.determined);
      EXPECT_EQ(u.reason, "uninformed: the data leave it spread over its range");
      EXPECT_EQ(u.se, 0);
    } else {
      ASSERT_TRUE(u.determined) << u.reason;
      // Their standard errors keep the uninformed ones' share.
      EXPECT_NEAR(u.se, std::sqrt(covariance(i, i)), 1e-6 * std::sqrt(covariance(i, i)));
    }
  }

  // A weakly informed probability's interval ends where twice the log-likelihood has fallen by
  // 1.96^2 on the way from the path on which the others follow it by their covariance to its
  // profile: at each end, the path alone falls by no less and the profile by no more.
  const auto fallAt = [&](Eigen::Index i, double y, int sweeps) {
    EM moved = em_;
    moved.model = inside.model;
    const FreeParameter& held = inside.estimates[static_cast<std::size_t>(i)];
    const double t = (y - ToFitScale(held.value, false)) / covariance(i, i);
    for (Eigen::Index j = 0; j < n; ++j) {
      const FreeParameter& f = inside.estimates[static_cast<std::size_t>(j)];
      const double x = FromFitScale(ToFitScale(f.value, f.rate) + t * covariance(j, i), f.rate);
      Value(moved.model, f.family, f.index) = std::min(std::max(x, f.lower), f.upper);
    }
    moved.SetRates();
    moved.ComputeExpectations(data_, tree_);
    Hold(moved.flags, held.family, held.index);
    for (int sweep = 0; sweep < sweeps; ++sweep) moved.Sweep(data_, tree_);
    return 2 * (inside.logLikelihood - moved.logLikelihood);
  };
  int onPath = 0, moved = 0;
  for (Eigen::Index i = 0; i < n; ++i) {
    const ParameterUncertainty& u = uncertainty_.parameters[static_cast<std::size_t>(i)];
    const FreeParameter& f = inside.estimates[static_cast<std::size_t>(i)];
    if (!u.determined || f.rate || u.se <= 0.7) continue;
    ASSERT_TRUE(f.family == kP0 || f.family == kPhi || f.family == kXi);
    SCOPED_TRACE(ParameterLabel(u.family, u.index));
    const double y = ToFitScale(f.value, false);
    EXPECT_LT(u.ciLow, f.value);
    EXPECT_GT(u.ciHigh, f.value);
    for (const double end : {u.ciLow, u.ciHigh}) {
      if (end <= f.lower || end >= f.upper) {
        // The profile falls short of the interval's within 12 standard errors.
        EXPECT_LT(fallAt(i, y + (end <= f.lower ? -12 : 12) * u.se, 400), kWaldZ * kWaldZ + 0.02);
        continue;
      }
      EXPECT_GE(fallAt(i, ToFitScale(end, false), 0), kWaldZ * kWaldZ - 0.02);
      EXPECT_LE(fallAt(i, ToFitScale(end, false), 400), kWaldZ * kWaldZ + 0.02);
      ++onPath;
    }
    // Not the Wald interval.
    moved += std::abs(ToFitScale(u.ciHigh, false) - y - kWaldZ * u.se) > 0.01 * u.se ? 1 : 0;
  }
  EXPECT_GE(onPath, 2);
  EXPECT_GE(moved, 1);
}

}  // namespace
}  // namespace vorn
