#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/fit.h"
#include "estimation/initialization.h"
#include "numerics/mersenne_twister.h"
#include "numerics/run_seed.h"
#include "support/input_template.h"
#include "support/memory_history.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::ReadText;

TEST(DolloReconstructionTest, StatesWorkedOutByHand) {
  // (((A,B),C),D): leaves are numbered right first as the pairs close (B 6, A 5, C 4, D 3; pattern
  // positions follow: D, C, A, B), inner nodes (A,B) 2, ((A,B),C) 1, root 0.
  PhylogeneticTree uneven;
  uneven.treeName = "uneven";
  FilePtr file = testing_support::StreamOf("(((A:1,B:1):1,C:2):1,D:3);");
  ASSERT_TRUE(uneven.ReadNewick(file.get()));
  const PhylogeneticTree four = testing_support::FourLeafTree();  // nodes: root, AB, CD, A, B, C, D
  const struct {
    const char* name;
    const PhylogeneticTree& tree;
    std::vector<std::uint8_t> leaves, nodes;
  } cases[] = {
      {"single present leaf: the gain falls on its own branch", four, {1, 0, 0, 0}, {0, 0, 0, 1, 0, 0, 0}},
      {"both subtrees of the root: every node on the path", four, {1, 0, 1, 0}, {1, 1, 1, 1, 0, 1, 0}},
      {"a cherry", four, {1, 1, 0, 0}, {0, 1, 0, 1, 1, 0, 0}},
      {"an unknown leaf stays unknown and makes no ancestor present", four, {1, 2, 0, 0}, {0, 0, 0, 1, 2, 0, 0}},
      {"unknown beside a present cherry", four, {1, 1, 0, 2}, {0, 1, 0, 1, 1, 0, 2}},
      {"everything present", four, {1, 1, 1, 1}, {1, 1, 1, 1, 1, 1, 1}},
      {"nothing present", four, {0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0}},
      {"A and D: the root and the path down to A, not C or B", uneven, {1, 0, 1, 0}, {1, 1, 1, 1, 0, 1, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Pattern pattern;
    pattern.values = c.leaves;
    EXPECT_EQ(c.tree.DolloReconstruction(&pattern, 1), c.nodes);
  }
}

// Patterns (A B C D): P0 = 1100, P1 = 1010, P2 = 0000, P3 = 1200. Gene 0: P0 x3, P1 x2, P3 x1;
// gene 1: P1 x1, P2 x4.
AlignmentData HandData() {
  AlignmentData data;
  data.patternFileName = "hand.wp.txt";
  data.countsFileName = "hand.ngp.txt";
  FilePtr wp = testing_support::StreamOf("1 1 0 0\n1 0 1 0\n0 0 0 0\n1 2 0 0\n");
  FilePtr ngp = testing_support::StreamOf("g0 3 2 0 1\ng1 0 1 4 0\n");
  EXPECT_TRUE(data.ReadPatternFiles(wp.get(), ngp.get(), 4));
  return data;
}

// Settings that estimate everything on the four-leaf tree, and a model of its size.
struct Start {
  FitSettings settings;
  EvolModel model;
  EstimationFlags& flags() { return settings.flags; }
  bool Initialize(const PhylogeneticTree& tree, const AlignmentData& data) {
    return InitializeParameters(tree, data, settings, settings.flags, model);
  }
};

Start EstimateEverything(const AlignmentData& data) {
  Start start;
  start.model.Resize(7, data.geneCount);
  EstimationFlags& flags = start.settings.flags;
  flags.p0 = flags.nu = flags.llambda = flags.glambda = true;
  flags.theta.assign(data.geneCount, 1);
  flags.eta.assign(data.geneCount, 1);
  flags.phi = flags.xi = {0, 1, 1, 1, 1, 1, 1};
  InitializationSettings& s = start.settings.initialization;
  s.p0Mode = s.nuMode = "observed";
  s.phiMode = s.xiMode = "dollo";
  s.thetaMode = s.llambdaMode = s.glambdaMode = "fixed";
  s.etaMode = "rand";
  return start;
}

TEST(InitializeParametersTest, DataDrivenStartsWorkedOutOnPaper) {
  // Dollo states (root AB CD A B C D): P0 0 1 0 1 1 0 0; P1 1 1 1 1 0 1 0; P2 all 0; P3 0 0 0 1 2 0 0.
  // Weights: P0 3, P1 3, P2 4, P3 1. Per branch (retentions R, losses L, gains G):
  //   AB: R 3 (P1), L 0, G 3 (P0)       -> phi 0, xi 3/6
  //   CD: R 3 (P1), L 0, G 0            -> phi 0, xi 0
  //   A:  R 6 (P0, P1), L 0, G 1 (P3)   -> phi 0, xi 1/7
  //   B:  R 3 (P0), L 3 (P1), G 0       -> phi 1/2, xi 0
  //   C:  R 3 (P1), L 0, G 0            -> phi 0, xi 0
  //   D:  R 0, L 3 (P1), G 0            -> phi 1, xi 0/0 = 0
  // An xi of 0 starts at 0.001 instead: from 0 the branch could never gain.
  // p0: present leaf values 6 + 6 + 0 + 1 = 13 of 12 + 12 + 16 + 3 = 43 known -> 30/43.
  // nu: of the 10 sites without unknowns (P0, P1, P2), the 4 of P2 are all absent -> 0.4.
  const PhylogeneticTree tree = testing_support::FourLeafTree();
  const AlignmentData data = HandData();
  // Fixed entries keep their values: phi of A, xi of CD, eta of gene 1.
  Start em = EstimateEverything(data);
  em.flags().phi[3] = em.flags().xi[2] = em.flags().eta[1] = 0;
  em.model.theta = {0.7, 0.8};
  em.model.phi[3] = 0.25;
  em.model.xi[2] = 0.75;
  em.model.eta[1] = 2;
  em.model.llambda = 0.9;
  em.model.glambda = 1.1;
  ASSERT_TRUE(em.Initialize(tree, data));
  EXPECT_DOUBLE_EQ(em.model.p0, 30.0 / 43.0);
  EXPECT_DOUBLE_EQ(em.model.nu, 0.4);
  const std::vector<double> phi = {0, 0, 0, 0.25, 0.5, 0, 1};
  const std::vector<double> xi = {0, 0.5, 0.75, 1.0 / 7.0, 0.001, 0.001, 0.001};
  for (std::uint32_t v = 1; v < 7; ++v) {
    SCOPED_TRACE(v);
    EXPECT_DOUBLE_EQ(em.model.phi[v], phi[v]);
    EXPECT_DOUBLE_EQ(em.model.xi[v], xi[v]);
  }
  // Modes that are not data-driven leave values alone; eta's random mode means its floor.
  EXPECT_EQ(em.model.theta, (std::vector<double>{0.7, 0.8}));
  EXPECT_EQ(em.model.eta, (std::vector<double>{1.1920928955078125e-07, 2}));
  EXPECT_EQ(em.model.llambda, 0.9);
  EXPECT_EQ(em.model.glambda, 1.1);
  EXPECT_TRUE(em.flags().nu);
  // A held p0 of 1 stays: only an estimated start is moved off its bound.
  em.flags().p0 = false;
  em.model.p0 = 1;
  ASSERT_TRUE(em.Initialize(tree, data));
  EXPECT_EQ(em.model.p0, 1.0);
}

TEST(InitializeParametersTest, RandomStartsDrawInOrderFromOneGenerator) {
  const PhylogeneticTree tree = testing_support::FourLeafTree();
  const AlignmentData data = HandData();
  Start em = EstimateEverything(data);
  InitializationSettings& s = em.settings.initialization;
  s.p0Mode = s.thetaMode = s.nuMode = s.llambdaMode = s.glambdaMode = "rand";
  s.thetaMean = 2.0;
  em.flags().theta[0] = 0;
  em.settings.nuHeldFixed = true;
  SetRunSeed(99);
  ASSERT_TRUE(em.Initialize(tree, data));

  MersenneTwister expected = DerivedGenerator(RandomPurpose::kInitialization, 0);
  const double u1 = expected.NextWord() / 4294967295.0;
  EXPECT_DOUBLE_EQ(em.model.p0, 0.95 + 0.05 * u1);
  const double u2 = expected.NextWord() / 4294967296.0;
  EXPECT_DOUBLE_EQ(em.model.theta[1], -2.0 * std::log(1 - u2));  // gene 0 is fixed: one draw only
  const double u3 = expected.NextWord() / 4294967295.0;
  EXPECT_DOUBLE_EQ(em.model.nu, 0.9 * (0.8 + 0.2 * u3));  // held fixed: 0.9 of the start
  EXPECT_FALSE(em.flags().nu);
  const double u4 = expected.NextWord() / 4294967296.0;
  // Exponential of mean 1 cut to [0.05, 5000): inverse distribution function at u4.
  const double e5000 = std::exp(-5000.0);
  EXPECT_DOUBLE_EQ(em.model.llambda, -std::log(e5000 + (1 - u4) * (std::exp(-0.05) - e5000)));
  EXPECT_GE(em.model.glambda, 0.06);
}

// Further starts draw every estimated value anew from their own generator, in the order of the
// parameters: rates log-uniform on [0.05, 5] per unit of the mean depth from root to leaf (0.1
// here), shapes log-uniform on [0.2, 5], phi uniform on [0, 0.2], xi on [0.05, 0.95], nu on
// [0.05, 0.8]. Without iterations each start leaves its first line in the history.
TEST(InitializeParametersTest, FurtherStartsDrawRandomValues) {
  const PhylogeneticTree tree = testing_support::FourLeafTree();
  AlignmentData data = HandData();
  Start em = EstimateEverything(data);
  em.model.theta = {0.7, 0.8};
  em.settings.starts = 2;
  em.settings.maxIterations = 0;
  SetRunSeed(5);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  testing_support::MemoryHistory history;
  FitResult result;
  ASSERT_TRUE(Estimator(em.settings, tree, data).Fit(em.model, history, &result));
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  MersenneTwister random = DerivedGenerator(RandomPurpose::kStarts, 1);
  const auto uniform = [&random](double lo, double hi) { return lo + (hi - lo) * random.NextHalfOpen(); };
  const auto logUniform = [&random](double lo, double hi) { return lo * std::pow(hi / lo, random.NextHalfOpen()); };
  std::vector<double> theta, eta, phi{0}, xi{0};
  for (int g = 0; g < 2; ++g) theta.push_back(logUniform(0.05, 5) / 0.1), eta.push_back(logUniform(0.05, 5) / 0.1);
  for (int v = 1; v < 7; ++v) phi.push_back(uniform(0, 0.2)), xi.push_back(uniform(0.05, 0.95));
  const double nu = uniform(0.05, 0.8), llambda = logUniform(0.2, 5), glambda = logUniform(0.2, 5);
  ASSERT_EQ(history.Starts().size(), 2U);
  const EvolModel& second = history.Starts()[1]->model;
  const std::pair<const char*, std::pair<std::vector<double>, std::vector<double>>> families[] = {
      {"theta", {theta, second.theta}}, {"eta", {eta, second.eta}}, {"phi", {phi, second.phi}},
      {"xi", {xi, second.xi}},          {"nu", {{nu}, {second.nu}}}, {"llambda", {{llambda}, {second.llambda}}},
      {"glambda", {{glambda}, {second.glambda}}}};
  for (const auto& [family, values] : families) {
    SCOPED_TRACE(family);
    ASSERT_EQ(values.first.size(), values.second.size());
    // exp(log(lo) + (log(hi) - log(lo)) u) and lo (hi / lo)^u round differently.
    for (std::size_t i = 0; i < values.first.size(); ++i) EXPECT_NEAR(values.second[i], values.first[i], 1e-13 * values.first[i]);
  }
}

TEST(InitializeParametersTest, DataThatCannotGiveAStart) {
  const PhylogeneticTree tree = testing_support::FourLeafTree();
  for (const std::vector<std::string>& c : testing_support::CaseTable("starts_refused.txt")) {
    SCOPED_TRACE(c[3]);
    AlignmentData data;
    FilePtr wp = testing_support::StreamOf(c[0]), ngp = testing_support::StreamOf(c[1]);
    ASSERT_TRUE(data.ReadPatternFiles(wp.get(), ngp.get(), 4));
    Start em = EstimateEverything(data);
    em.flags().p0 = c[2] == "p0";
    em.flags().nu = !em.flags().p0;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(em.Initialize(tree, data));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c[3] + "\n");
  }
}

}  // namespace
}  // namespace vorn
