#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <set>
#include <string>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/evol_model.h"
#include "numerics/run_seed.h"
#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::ReadText;
using testing_support::TestData;

// Node numbers of the four-leaf tree ((A,B),(C,D)) once it is read: root 0, AB 1, CD 2, A to D 3 to 6;
// A and B are the first two values of every pattern.
constexpr std::uint32_t kAB = 1, kA = 3, kB = 4;
constexpr std::size_t kPatternA = 0, kPatternB = 1;

// So large that every gain or loss it drives is certain: exp(-1e6 * t) is 0 for these branches.
constexpr double kCertain = 1e6;

class SimulationTest : public testing::Test {
 protected:
  SimulationTest() : chdir_(dir_.path()) {
    FilePtr phyl = testing_support::StreamOf(testing_support::kFourLeafPhyl);
    tree_.treeName = "tree.phyl";
    EXPECT_TRUE(tree_.ReadPhyl(phyl.get()));
    SetRunSeed(11);
  }

  // No rate variation; every gene and every branch alike.
  EvolModel Model(std::uint32_t genes, double p0, double theta, double phi, double eta, double xi, double nu) const {
    EvolModel model;
    model.Resize(tree_.nodeCount, genes);
    model.p0 = p0;
    model.theta.assign(genes, theta);
    model.eta.assign(genes, eta);
    model.phi.assign(tree_.nodeCount, phi);
    model.xi.assign(tree_.nodeCount, xi);
    model.nu = nu;
    return model;
  }

  void Run(const EvolModel& model, const std::vector<std::uint32_t>& sites, double unknownFraction, bool track) {
    data_ = AlignmentData();
    data_.PrepareForSimulation(tree_.leafCount, model.geneCount);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(model.Simulate(data_, tree_, unknownFraction, sites, track, "run"));
    output_ = testing::internal::GetCapturedStdout();
  }

  // The distinct simulated patterns as texts such as "0101" (leaves A, B, C, D).
  std::set<std::string> Patterns() const {
    std::set<std::string> texts;
    for (const Pattern& pattern : data_.patterns) {
      std::string text;
      for (std::uint8_t value : pattern.values) text += static_cast<char>('0' + value);
      texts.insert(text);
    }
    return texts;
  }

  testing_support::TempDir dir_;
  testing_support::ScopedChdir chdir_;
  PhylogeneticTree tree_;
  AlignmentData data_;
  std::string output_;
};

TEST_F(SimulationTest, TrackFileOfACertainHistory) {
  // The root never holds the character (p0 = 1); AB always gains it, A always loses it, B keeps it
  // in gene 0 and loses it in gene 2 (theta certain); nothing else can gain. Gene 1 has no sites.
  EvolModel model = Model(3, 1.0, 0.0, 0.0, kCertain, 0.0, 0.0);
  model.xi[kAB] = 1;
  model.phi[kA] = 1;
  model.theta[2] = kCertain;
  ASSERT_EQ(tree_.nodeNames, (std::vector<std::string>{"root", "AB", "CD", "A", "B", "C", "D"}));

  Run(model, {3, 0, 2}, 0.0, true);
  EXPECT_EQ(ReadText("run.track.txt"), ReadText(TestData("golden/simulation_track.txt")));
  // Not on a terminal: the first progress line and the last, each a line of its own.
  EXPECT_EQ(output_, "   running the simulation ...\n      gene 1/3: site 1/3\n      gene 3/3: site 2/2\n\n");
  EXPECT_EQ(Patterns(), (std::set<std::string>{"0100", "0000"}));
  EXPECT_EQ(data_.genes[0].filteredSites, 3U);
  EXPECT_EQ(data_.genes[1].allSites, 0U);
  EXPECT_EQ(data_.genes[2].filteredSites, 2U);
}

TEST_F(SimulationTest, EdgeCasesOfTheModel) {
  struct Case {
    const char* name;
    EvolModel model;
    double unknownFraction;
    std::function<void(const std::set<std::string>&)> check;
  };
  const auto only = [](std::set<std::string> expected) {
    return [expected](const std::set<std::string>& patterns) { EXPECT_EQ(patterns, expected); };
  };
  // Without loss or gain every leaf shows the root's state.
  const EvolModel keep = Model(1, 1.0, 0.0, 0.0, kCertain, 0.0, 0.0);
  EvolModel rootPresent = keep;
  rootPresent.p0 = 0;
  // A root that never holds the character, and gains certain wherever they are allowed.
  const EvolModel gainsEverywhere = Model(1, 1.0, 0.0, 0.0, kCertain, 1.0, 0.0);
  EvolModel noGainSites = gainsEverywhere;
  noGainSites.nu = 1;
  EvolModel halfGainSites = gainsEverywhere;
  halfGainSites.nu = 0.5;
  EvolModel closedBranch = Model(1, 1.0, 0.0, 0.0, 20.0, 0.5, 0.0);
  closedBranch.xi[kAB] = 0;
  closedBranch.xi[kA] = 0;

  const Case cases[] = {
      {"p0 = 1: the root is always absent", keep, 0.0, only({"0000"})},
      {"p0 = 0: the root is present", rootPresent, 0.0, only({"1111"})},
      {"nu = 1: no site ever gains", noGainSites, 0.0, only({"0000"})},
      {"a fraction of unknowns of 1 hides every value", gainsEverywhere, 1.0, only({"2222"})},
      // One gain decision per site: a site gains on every branch or on none.
      {"nu = 0.5: all or nothing", halfGainSites, 0.0, only({"0000", "1111"})},
      {"xi = 0 closes the branch to gains", closedBranch, 0.0,
       [](const std::set<std::string>& patterns) {
         bool bGained = false;
         for (const std::string& p : patterns) {
           EXPECT_EQ(p[kPatternA], '0') << p;
           bGained = bGained || p[kPatternB] == '1';
         }
         EXPECT_TRUE(bGained);  // B's branch, open beside A's, does gain
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Run(c.model, {300}, c.unknownFraction, false);
    EXPECT_EQ(data_.filteredSites, 300U);
    c.check(Patterns());
  }
}

// Exact mean and variance of the number of present leaves at one site, by summing over every joint
// state of the seven nodes and both values of the site's gain decision; a rate that varies from site
// to site (shape 2: density 4 r e^(-2r)) is integrated out by the trapezoid rule.
void LeafCountMoments(const EvolModel& m, const PhylogeneticTree& tree, double* mean, double* variance) {
  const auto rates = [](double shape) {
    std::vector<std::pair<double, double>> grid{{1.0, 1.0}};  // rate and weight
    if (shape == 0) return grid;
    EXPECT_EQ(shape, 2);
    grid.clear();
    for (double r = 0.01; r < 30; r += 0.01) grid.push_back({r, 0.01 * 4 * r * std::exp(-2 * r)});
    return grid;
  };
  double first = 0, second = 0;
  for (const auto& [rl, lossWeight] : rates(m.llambda)) {
    for (const auto& [rg, gainWeight] : rates(m.glambda)) {
      for (int gains = 0; gains < 2; ++gains) {
        const double weight = lossWeight * gainWeight * (gains ? 1 - m.nu : m.nu);
        for (unsigned states = 0; states < (1U << tree.nodeCount); ++states) {
          const auto holds = [states](std::uint32_t v) { return ((states >> v) & 1U) != 0; };
          double probability = holds(0) ? 1 - m.p0 : m.p0;
          for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
            const double t = tree.branchLength[v];
            const double present = holds(tree.parent[v]) ? (1 - m.phi[v]) * std::exp(-rl * m.theta[0] * t)
                                                          : m.xi[v] * (1 - std::exp(-gains * rg * m.eta[0] * t));
            probability *= holds(v) ? present : 1 - present;
          }
          double leaves = 0;
          for (std::uint32_t leaf : tree.leafNodes) leaves += holds(leaf) ? 1 : 0;
          first += weight * probability * leaves;
          second += weight * probability * leaves * leaves;
        }
      }
    }
  }
  *mean = first;
  *variance = second - first * first;
}

TEST_F(SimulationTest, ShareOfPresentLeavesMatchesTheModel) {
  // Without rate variation, and with the loss or the gain rate drawn per site (mean 1, shape 2).
  for (const auto& [llambda, glambda] : {std::pair{0.0, 0.0}, std::pair{2.0, 0.0}, std::pair{0.0, 2.0}}) {
    SCOPED_TRACE(testing::Message() << "l-lambda " << llambda << ", g-lambda " << glambda);
    EvolModel model = Model(1, 0.4, 5.0, 0.1, 20.0, 0.5, 0.25);
    model.phi[kA] = 0.3;
    model.xi[kB] = 0.9;
    model.llambda = llambda;
    model.glambda = glambda;
    const std::uint32_t sites = 20000;
    Run(model, {sites}, 0.0, false);
    double present = 0;
    const Gene& gene = data_.genes[0];
    for (std::uint32_t e = 0; e < gene.entryCount; ++e) {
      for (std::uint8_t value : data_.patterns[gene.patternIndices[e]].values) present += value * gene.counts[e];
    }
    double mean = 0, variance = 0;
    LeafCountMoments(model, tree_, &mean, &variance);
    ASSERT_GT(mean, 0.5);  // a model where both presence and absence are common
    ASSERT_LT(mean, 3.5);
    // Sites are independent: the total has variance sites * variance; five standard errors.
    EXPECT_NEAR(present, sites * mean, 5 * std::sqrt(sites * variance));
  }
}

TEST_F(SimulationTest, ConditionedOnPresenceEverySiteShowsTheCharacter) {
  // The root absent with 0.9 and no loss: a site shows the character at a leaf only through a
  // gain, which a third of the sites never get. Redrawn, every site has a present leaf, and those
  // that show none at the leaves are all that is missing.
  const EvolModel model = Model(2, 0.9, 0.0, 0.0, 1.0, 0.5, 0.3);
  data_ = AlignmentData();
  data_.PrepareForSimulation(tree_.leafCount, 2);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(model.Simulate(data_, tree_, 0.1, {300, 200}, false, "run", true));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(data_.filteredSites, 500U);
  for (const std::string& pattern : Patterns()) EXPECT_NE(pattern.find('1'), std::string::npos) << pattern;
  // Never showing it: the redrawing stops with an error instead of drawing for ever.
  data_ = AlignmentData();
  data_.PrepareForSimulation(tree_.leafCount, 1);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(Model(1, 1.0, 0.0, 0.0, 1.0, 0.5, 1.0).Simulate(data_, tree_, 0.0, {1}, false, "run", true));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error:VORN:EvolModel:Simulate: 1000000 sites in a row show the character at no leaf: the model almost "
            "never makes a site that conditioning on presence keeps\n");
}

TEST_F(SimulationTest, UnwritableTrackFileIsAnError) {
  AlignmentData data;
  data.PrepareForSimulation(tree_.leafCount, 1);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(Model(1, 0.5, 1, 0.1, 1, 0.5, 0.2).Simulate(data, tree_, 0.0, {1}, true, "no/such/dir/run"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error:VORN:EvolModel:Simulate: The file 'no/such/dir/run.track.txt' cannot be opened\n");
  testing::internal::GetCapturedStdout();
}

}  // namespace
}  // namespace vorn
