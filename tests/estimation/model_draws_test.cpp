#include "numerics/parameter_draws.h"

#include <gtest/gtest.h>

#include <cmath>

#include "data/phylogenetic_tree.h"
#include "estimation/evol_model.h"
#include "numerics/run_seed.h"
#include "support/test_support.h"

namespace vorn {
namespace {

// The first word of the k-th generator of the parameter draws since the run seed was set.
double FirstWord(std::uint32_t k) { return DerivedGenerator(RandomPurpose::kParameterDraws, k).NextWord(); }

TEST(ParameterDrawsTest, UniformDrawsReachTheirUpperEnd) {
  EvolModel model;
  model.DrawP0(1.0);
  EXPECT_EQ(model.p0, 1.0);
  for (int i = 0; i < 200; ++i) {
    model.DrawP0(0.95);
    model.DrawNu(0.8);
    ASSERT_TRUE(model.p0 >= 0.95 && model.p0 <= 1 && model.nu >= 0.8 && model.nu <= 1) << model.p0 << " " << model.nu;
  }
}

TEST(ParameterDrawsTest, TruncatedExponentialStaysInItsRange) {
  EXPECT_NEAR(TruncatedExponentialAt(1.0, 0.05, 0.0), 0.05, 1e-15);
  EXPECT_LT(TruncatedExponentialAt(1.0, 0.05, 1 - 1.0 / 4294967296.0), 5000.0);
  // With a mean far above the cap the draw is close to uniform on [minimum, 5000).
  EXPECT_LT(TruncatedExponentialAt(1e9, 0.05, 1 - 1.0 / 4294967296.0), 5000.0);
  EXPECT_NEAR(TruncatedExponentialAt(1e9, 0.0, 0.5), 2500.0, 0.01);
  for (int i = 0; i < 500; ++i) {
    const double x = DrawTruncatedExponential(1.0, 0.05);
    ASSERT_TRUE(x >= 0.05 && x < 5000) << x;
  }
}

TEST(ParameterDrawsTest, PerGeneDrawsUseOneGeneratorPerValue) {
  EvolModel model;
  model.Resize(3, 3);
  SetRunSeed(1000);
  model.DrawTheta(2.0);
  for (std::uint32_t g = 0; g < 3; ++g) {
    SCOPED_TRACE(g);
    const double u = FirstWord(g) / 4294967296.0;
    EXPECT_DOUBLE_EQ(model.theta[g], -2.0 * std::log(1 - u));
  }
}

TEST(ParameterDrawsTest, PhiFollowsTheTree) {
  // ((A:1,B:1):1,C:2); C is a leaf child of the root: it gets the plain value and is not mixed.
  // Nodes: root 0, (A,B) 1, C 2, B 3, A 4 (leaves numbered right first as pairs close).
  PhylogeneticTree tree;
  tree.treeName = "t";
  FilePtr file = testing_support::StreamOf("((A:1,B:1):1,C:2);");
  ASSERT_TRUE(tree.ReadNewick(file.get()));
  ASSERT_EQ(tree.firstChild[0], 1U);
  ASSERT_EQ(tree.secondChild[0], 2U);
  EvolModel model;
  model.Resize(5, 1);
  model.phi[0] = 0.7;
  SetRunSeed(7);
  model.DrawPhi(1.0, tree, 0.5);
  auto plain = [&](std::uint32_t k, std::uint32_t v) {
    const double e = -0.5 * std::log(1 - FirstWord(k) / 4294967296.0);
    return 1 - std::exp(-e * tree.branchLength[v]);
  };
  EXPECT_EQ(model.phi[0], 0.0);
  EXPECT_DOUBLE_EQ(model.phi[1], plain(0, 1));
  EXPECT_DOUBLE_EQ(model.phi[2], plain(1, 2));
  // Weight 1: the leaves below node 1 copy its value.
  EXPECT_EQ(model.phi[3], model.phi[1]);
  EXPECT_EQ(model.phi[4], model.phi[1]);

  SetRunSeed(7);
  model.DrawXi(0.0, tree, 0.5);
  EXPECT_DOUBLE_EQ(model.xi[3], plain(2, 3));  // weight 0: every node its own value, leaves in index order
  EXPECT_DOUBLE_EQ(model.xi[4], plain(3, 4));
}

}  // namespace
}  // namespace vorn
