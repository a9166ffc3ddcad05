#include "estimation/evol_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "data/phylogenetic_tree.h"
#include "support/input_template.h"
#include "output/simulation_files.h"
#include "support/test_support.h"

namespace vorn {
namespace {

std::string TrueModelLine(const EvolModel& model) {
  testing_support::TempDir dir;
  {
    FilePtr file = OpenFile(dir.File("m"), "w");
    WriteTrueModel(file.get(), model);
  }
  return testing_support::ReadText(dir.File("m"));
}

TEST(EvolModelTest, TrueModelScriptLine) {
  EvolModel model;
  model.Resize(3, 3);
  model.p0 = 0.25;
  model.theta = {1, 2.5, 1e-07};
  model.eta = {3, 4, 123456789};
  model.phi = {0.7, 0.1, 0.125};  // the root's entries are always written as 0
  model.xi = {0.9, 0.4, 1};
  model.nu = 0.8;
  model.llambda = 0.5;
  model.glambda = 5000;
  EXPECT_EQ(TrueModelLine(model),
            "pv = struct('p0',[0.25 0.75]','theta',[1,2.5,1e-07],'phi',[0,0.1,0.125],'eta',[3,4,1.23457e+08],"
            "'xi',[0,0.4,1],'nu',0.8,'llambda',0.5,'glambda',5000);");
}

// Retention (1 - phi) e^(-theta t) and gain xi (1 - e^(-eta t)) of every gene and branch.
std::vector<double> BranchProbabilities(const EvolModel& m, const PhylogeneticTree& tree) {
  std::vector<double> out;
  for (std::uint32_t g = 0; g < m.geneCount; ++g) {
    for (std::uint32_t v = 1; v < m.nodeCount; ++v) {
      const double t = tree.branchLength[v];
      out.push_back((1 - m.phi[v]) * std::exp(-m.theta[g] * t));
      out.push_back(m.xi[v] * (1 - std::exp(-m.eta[g] * t)));
    }
  }
  return out;
}

TEST(EvolModelTest, InvariantsKeepEveryBranchProbability) {
  const PhylogeneticTree tree = testing_support::FourLeafTree();
  struct Case {
    const char* name;
    std::vector<double> theta, phi, eta, xi;
    bool thetaPhi;
    double after;  // theta (or eta) of gene 0 after the shift, where known by hand; 0 where not
  };
  const std::vector<double> phiZeroAtCD = {0, 0.2, 0.0, 0.3, 0.05, 0.4, 0.1}, half = {0, .5, .5, .5, .5, .5, .5};
  const Case cases[] = {
      // CD's branch (0.04) has phi 0: the largest shift down that keeps it >= 0.0001 is ln(0.9999) / 0.04.
      {"phi of 0 with room to lower theta", {0.5, 0.3}, phiZeroAtCD, {1, 1}, half, true, 0.5 + std::log(0.9999) / 0.04},
      {"theta would fall below 0.0001", {0.00015}, phiZeroAtCD, {1}, half, true, 0},
      {"xi above 0.9999", {1}, {0, .1, .1, .1, .1, .1, .1}, {0.5}, {0, 1.0, 0.3, 0.99995, 0.2, 0.6, 0.7}, false, 0},
      {"xi above 0.9999 with a large eta", {1}, {0, .1, .1, .1, .1, .1, .1}, {4.0}, {0, 1.0, 0.3, 0.5, 0.2, 0.6, 0.7}, false, 4},
      // Small theta alone does not call for a shift, nor an xi of 0.9999; the root's entry is not read.
      {"theta small, phi inside", {0.00001}, {0, 0.0001, 0.2, 0.3, 0.4, 0.5, 0.6}, {1}, half, true, 0.00001},
      {"xi at 0.9999", {1}, {0, .1, .1, .1, .1, .1, .1}, {2}, {1, 0.9999, 0.2, 0.3, 0.4, 0.5, 0.6}, false, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EvolModel model;
    model.Resize(7, static_cast<std::uint32_t>(c.theta.size()));
    model.theta = c.theta;
    model.phi = c.phi;
    model.eta = c.eta;
    model.xi = c.xi;
    const std::vector<double> before = BranchProbabilities(model, tree);
    if (c.thetaPhi) {
      model.ApplyThetaPhiInvariant(tree);
      EXPECT_GE(*std::min_element(model.theta.begin(), model.theta.end()), std::min(0.0001, c.theta[0]) * (1 - 1e-12));
      EXPECT_TRUE(c.after == 0 || std::abs(model.theta[0] - c.after) < 1e-15) << model.theta[0];
      EXPECT_EQ(model.theta == c.theta, c.theta[0] == c.after);
      for (std::uint32_t v = 1; v < 7; ++v) EXPECT_GE(model.phi[v], 0.0) << v;
    } else {
      model.ApplyEtaXiInvariant(tree);
      // eta rises, to 0.9999 at most, and never falls, so no xi grows. From 0.5 it rises just enough
      // (to about 0.50005) to bring every xi to 0.9999, which the largest one then is.
      EXPECT_GE(model.eta[0], c.eta[0]);
      EXPECT_EQ(model.eta[0] == c.eta[0], c.eta[0] == c.after);
      for (std::uint32_t v = 1; v < 7; ++v) EXPECT_LE(model.xi[v], c.xi[v]) << v;
      if (c.eta[0] == 0.5) {
        EXPECT_NEAR(*std::max_element(model.xi.begin() + 1, model.xi.end()), 0.9999, 1e-12);
      }
    }
    const std::vector<double> after = BranchProbabilities(model, tree);
    for (std::size_t i = 0; i < before.size(); ++i) EXPECT_NEAR(after[i], before[i], 1e-12) << i;
  }
}

TEST(EvolModelTest, EtaXiShiftLeavesBranchesOfLengthZeroAlone) {
  // A branch of length 0 never gains whatever its xi; rescaling it would divide 0 by 0.
  PhylogeneticTree tree;
  tree.treeName = "zero";
  FilePtr file = testing_support::StreamOf("((A:0,B:0.04):0.06,(C:0.06,D:0.06):0.04);");
  ASSERT_TRUE(tree.ReadNewick(file.get()));
  const std::uint32_t a = static_cast<std::uint32_t>(
      std::find(tree.nodeNames.begin(), tree.nodeNames.end(), "A") - tree.nodeNames.begin());
  ASSERT_EQ(tree.branchLength[a], 0.0);
  EvolModel model;
  model.Resize(7, 1);
  model.theta = {1};
  model.eta = {0.5};
  model.xi = {0, 1.0, 0.3, 0.5, 0.2, 0.6, 0.7};
  model.xi[a] = 0.45;
  const std::vector<double> before = BranchProbabilities(model, tree);
  model.ApplyEtaXiInvariant(tree);
  EXPECT_GT(model.eta[0], 0.5);
  EXPECT_EQ(model.xi[a], 0.45);
  const std::vector<double> after = BranchProbabilities(model, tree);
  for (std::size_t i = 0; i < before.size(); ++i) EXPECT_NEAR(after[i], before[i], 1e-12) << i;
}

}  // namespace
}  // namespace vorn
