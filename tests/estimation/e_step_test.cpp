#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/em.h"
#include "simulation/simulation.h"
#include "estimation/literal_estep.h"
#include "input/input_reader.h"
#include "numerics/run_seed.h"
#include "output/report.h"
#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::LiteralEStep;

// One random estimation problem: tree, data with unknown values, parameters with values at their
// bounds, and rate categories, ready for an E-step.
struct Problem {
  PhylogeneticTree tree;
  AlignmentData data;
  EM em;
};

double Relative(double a, double b) { return std::abs(a - b) / std::max({std::abs(a), std::abs(b), 1e-300}); }

// Sizes the E-step for the data and the estimator's category counts, and takes it.
void FirstEStep(EM& em, const AlignmentData& data, const PhylogeneticTree& tree) {
  em.eStep.Prepare(data, tree, em.gainCategories.count, em.lossCategories.count);
  em.ComputeExpectations(data, tree);
}

// sitesPerGene 0: a few dozen at most, all in one block of entries.
void MakeProblem(std::uint32_t seed, Problem& p, std::uint32_t maxLeaves = 9, int sitesPerGene = 0) {
  std::mt19937 random(seed);
  auto uniform = [&random](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(random); };
  auto chance = [&](double probability) { return uniform(0, 1) < probability; };
  const std::uint32_t leaves = maxLeaves > 9 ? maxLeaves : 2 + random() % (maxLeaves - 1);
  SetRunSeed(seed);
  p.tree.GenerateRandomTree(leaves, uniform(0.2, 2.0));
  // Now and then an inner branch of length 0, on which only phi can lose and nothing gains (above
  // a leaf it would make most random patterns impossible).
  for (std::uint32_t v : p.tree.innerNodes) p.tree.branchLength[v] *= chance(0.2) ? 0 : 1;
  const std::uint32_t n = p.tree.nodeCount, genes = 1 + random() % 3;
  p.data.PrepareForSimulation(leaves, genes);
  std::vector<std::uint8_t> values(leaves);
  for (std::uint32_t g = 0; g < genes; ++g) {
    const int sites = sitesPerGene ? sitesPerGene : 5 + static_cast<int>(random() % 25);
    for (int s = 0; s < sites; ++s) {
      for (auto& v : values) v = chance(0.15) ? 2 : static_cast<std::uint8_t>(random() % 2);
      p.data.AddSite(values.data(), g);
    }
  }
  EM& em = p.em;
  em.Resize(n, genes);
  EvolModel& m = em.model;
  m.p0 = uniform(0.05, 0.95);
  m.nu = chance(0.3) ? 0.0 : uniform(0.0, 0.9);
  for (std::uint32_t g = 0; g < genes; ++g) {
    m.theta[g] = uniform(0.05, 3);
    m.eta[g] = uniform(0.05, 3);
    em.flags.theta[g] = em.flags.eta[g] = 1;
  }
  for (std::uint32_t v = 1; v < n; ++v) {
    m.phi[v] = chance(0.25) ? 0.0 : uniform(0.0, 0.6);
    m.xi[v] = chance(0.25) ? 1.0 : uniform(0.05, 1.0);
    em.flags.phi[v] = em.flags.xi[v] = 1;
  }
  const bool lossVariation = chance(0.6), gainVariation = chance(0.6);
  m.llambda = lossVariation ? uniform(0.2, 5) : 0.0;
  m.glambda = gainVariation ? uniform(0.2, 5) : 0.0;
  em.lossCategories.InitLossCategories(lossVariation ? static_cast<std::uint16_t>(2 + random() % 3) : 1);
  em.gainCategories.InitGainCategories(gainVariation ? static_cast<std::uint16_t>(3 + random() % 3) : 2);
  em.lossCategories.SetLossRates(m.llambda);
  em.gainCategories.SetGainRates(m.glambda, m.nu);
  double longest = 0;
  for (std::uint32_t v = 1; v < n; ++v) longest = std::max(longest, p.tree.branchLength[v]);
  em.limits.thetaCap = em.limits.etaCap = 153.5 / longest;
  em.settings.internalTolerance = 1e-10;
  FirstEStep(em, p.data, p.tree);
}

// The folded sums as the literal evaluation has them, [gene][v][a][b][pair] and [gene][pair].
struct Sums {
  std::vector<double> transitions, categories;
};
Sums LiteralSums(const LiteralEStep& literal, const PosteriorSums& shape) {
  Sums s{std::vector<double>(shape.transitions.size()), std::vector<double>(shape.categories.size())};
  for (const auto& e : literal.entries) {
    for (std::uint32_t c = 0; c < shape.pairCount; ++c) {
      const double weight = e.count * e.category[c];
      s.categories[e.gene * shape.pairCount + c] += weight;
      for (std::uint32_t v = 1; v < shape.nodeCount; ++v) {
        for (int ab = 0; ab < 4; ++ab) {
          s.transitions[shape.TransitionOffset(e.gene, v, ab / 2, ab % 2) + c] += weight * literal.T(e, c, ab / 2, ab % 2, v);
        }
      }
    }
  }
  return s;
}

// Every category and branch transition sum within `tolerance` of `scale`, the number of sites.
void ExpectSums(const PosteriorSums& actual, const Sums& expected, double tolerance, double scale) {
  for (std::size_t i = 0; i < expected.categories.size(); ++i) {
    ASSERT_NEAR(actual.categories[i], expected.categories[i], tolerance * scale) << "category sum " << i;
  }
  for (std::uint32_t g = 0; g < actual.geneCount; ++g) {
    for (std::uint32_t v = 1; v < actual.nodeCount; ++v) {
      for (int ab = 0; ab < 4; ++ab) {
        for (std::uint32_t c = 0, at = actual.TransitionOffset(g, v, ab / 2, ab % 2); c < actual.pairCount; ++c) {
          ASSERT_NEAR(actual.transitions[at + c], expected.transitions[at + c], tolerance * scale)
              << "gene " << g << " node " << v << " transition " << ab << " pair " << c;
        }
      }
    }
  }
}

void ExpectLiteral(const EM& em, const LiteralEStep& literal, const AlignmentData& data, double tolerance) {
  ASSERT_TRUE(std::isfinite(em.logLikelihood));
  EXPECT_LT(Relative(em.logLikelihood, static_cast<double>(literal.logLikelihood)), tolerance);
  ExpectSums(em.Sums(), LiteralSums(literal, em.Sums()), tolerance, data.filteredSites);
}

TEST(LiteralEStepTest, MatchesBruteForceEnumeration) {
  for (std::uint32_t seed = 1; seed <= 25; ++seed) {
    SCOPED_TRACE(seed);
    Problem p;
    MakeProblem(seed, p, 5);
    LiteralEStep literal(p.em, p.data, p.tree);
    const std::uint32_t n = p.tree.nodeCount, m = p.em.lossCategories.count;
    for (const auto& e : literal.entries) {
      for (std::uint32_t c = 0; c < p.em.gainCategories.count * m; ++c) {
        double h;
        std::vector<double> t, s;
        testing_support::BruteForcePattern(p.em, p.tree, e.gene, p.data.patterns[e.pattern].values.data(), c / m,
                                           c % m, &h, &t, &s);
        ASSERT_LT(Relative(e.likelihood[c], h), 1e-12);
        for (std::uint32_t v = 0; v < n; ++v) {
          for (int a = 0; a < 2; ++a) {
            ASSERT_NEAR(literal.S(e, c, a, v), s[a * n + v], 1e-12) << "node " << v;
            for (int b = 0; b < 2 && v > 0; ++b) ASSERT_NEAR(literal.T(e, c, a, b, v), t[(a * 2 + b) * n + v], 1e-12);
          }
        }
      }
    }
  }
}

// A shape minimises its literal objective: nothing lower on a grid across its range, nor beside it.
template <typename Objective>
void ExpectShapeMinimises(Objective f, double shape, double minimum) {
  const double best = f(shape), slack = 1e-12 * std::abs(best);
  for (double x = minimum; x < 5000; x *= 1.25) EXPECT_GE(f(x), best - slack) << "shape " << x << " beats " << shape;
  for (double x : {shape * (1 - 1e-4), shape * (1 + 1e-4), 5000.0}) {
    EXPECT_TRUE(x < minimum || x > 5000 || f(x) >= best - slack) << "shape " << x << " beats " << shape;
  }
}

TEST(EStepTest, FoldedSumsAndUpdatesMatchTheLiteralEvaluation) {
  for (std::uint32_t seed = 100; seed < 140; ++seed) {
    SCOPED_TRACE(seed);
    Problem p;
    MakeProblem(seed, p);
    const EM& em = p.em;
    const LiteralEStep literal(em, p.data, p.tree);
    ExpectLiteral(em, literal, p.data, 1e-10);
    // Each update from the same E-step, against the maximum of its literal objective.
    // Rates read the probabilities and the probabilities the rates: two copies.
    EM updated = em, probabilities = em;
    updated.UpdateP0(p.tree);
    updated.UpdateNu(p.data);
    updated.UpdateTheta(p.tree);
    updated.UpdateEta(p.tree);
    probabilities.MaxPhi(p.tree);
    probabilities.UpdateXi(p.tree);
    EXPECT_LT(Relative(updated.model.p0, literal.P0()), 1e-10);
    EXPECT_LT(Relative(updated.model.nu, literal.Nu()), 1e-10);
    for (std::uint32_t g = 0; g < p.data.geneCount; ++g) {
      EXPECT_LT(Relative(updated.model.theta[g], literal.Theta(g)), 1e-10) << "theta " << g;
      EXPECT_LT(Relative(updated.model.eta[g], literal.Eta(g)), 1e-10) << "eta " << g;
    }
    const std::vector<double> phi = literal.Phi(), xi = literal.Xi();
    for (std::uint32_t v = 1; v < p.tree.nodeCount; ++v) {
      EXPECT_NEAR(probabilities.model.phi[v], phi[v], 1e-10 * std::max(phi[v], 1e-3)) << "phi " << v;
      EXPECT_NEAR(probabilities.model.xi[v], xi[v], 1e-10 * std::max(xi[v], 1e-3)) << "xi " << v;
    }
    // The shapes' objectives, and the updated shapes as their minima.
    updated = em;
    updated.UpdateLLambda(p.tree);
    updated.UpdateGLambda(p.tree);
    for (double lambda : {0.06, 0.5, 1.0, 3.7, 40.0, 5000.0}) {
      EXPECT_LT(Relative(em.LossRateObjective(lambda, p.tree), literal.LossObjective(lambda)), 1e-10) << lambda;
      EXPECT_LT(Relative(em.GainRateObjective(lambda, p.tree), literal.GainObjective(lambda)), 1e-10) << lambda;
    }
    if (em.lossCategories.count > 1) {
      ExpectShapeMinimises([&](double x) { return literal.LossObjective(x); }, updated.model.llambda, em.settings.minLLambda);
    }
    if (em.gainCategories.count > 2) {
      ExpectShapeMinimises([&](double x) { return literal.GainObjective(x); }, updated.model.glambda, em.settings.minGLambda);
    }
  }
}

TEST(EStepTest, AnImpossiblePatternLeavesTheOtherPatternsAlone) {
  // No gains anywhere and an absent root: a present leaf cannot be produced.
  Problem p;
  MakeProblem(21, p, 6);
  EM& em = p.em;
  em.model.p0 = 1;
  for (std::uint32_t v = 1; v < p.tree.nodeCount; ++v) em.model.xi[v] = 0;
  std::vector<std::uint8_t> absent(p.tree.leafCount, 0), unknown(p.tree.leafCount, 2), present = absent;
  present[0] = 1;
  AlignmentData possible, withImpossible;
  for (AlignmentData* data : {&possible, &withImpossible}) data->PrepareForSimulation(p.tree.leafCount, 1);
  for (const auto* values : {&absent, &unknown}) possible.AddSite(values->data(), 0);
  for (const auto* values : {&absent, &unknown, &present}) withImpossible.AddSite(values->data(), 0);
  FirstEStep(em, possible, p.tree);
  const PosteriorSums expected = em.Sums();
  EXPECT_TRUE(std::isfinite(em.logLikelihood));
  FirstEStep(em, withImpossible, p.tree);
  EXPECT_EQ(em.logLikelihood, -HUGE_VAL);
  EXPECT_EQ(em.Sums().transitions, expected.transitions);
  EXPECT_EQ(em.Sums().categories, expected.categories);
}

// The derivatives the optimality check reads from the posterior sums are those of the
// log-likelihood itself (Fisher's identity): compared with differences of whole E-steps.
TEST(EStepTest, GradientFromTheSumsIsTheLogLikelihoodsGradient) {
  for (std::uint32_t seed = 300; seed < 312; ++seed) {
    SCOPED_TRACE(seed);
    Problem p;
    MakeProblem(seed, p);
    EM& em = p.em;
    em.flags.p0 = true;
    em.flags.nu = em.model.nu > 0;
    em.flags.llambda = em.lossCategories.count > 1;
    em.flags.glambda = em.gainCategories.count > 2;
    em.settings.minLLambda = em.settings.minGLambda = 0.01;
    const auto logLikelihoodAt = [&p](int family, std::uint32_t index, double value) {
      EM moved = p.em;
      EvolModel& m = moved.model;
      double* target[] = {&m.p0, &m.theta[index], &m.phi[index], &m.eta[index], &m.xi[index], &m.nu, &m.llambda,
                          &m.glambda};
      *target[family] = value;
      moved.lossCategories.SetLossRates(m.llambda);
      moved.gainCategories.SetGainRates(m.glambda, m.nu);
      moved.ComputeExpectations(p.data, p.tree);
      return moved.logLikelihood;
    };
    int checked = 0;
    em.ForEachFreeParameter(p.data, p.tree, [&](const FreeParameter& f) {
      SCOPED_TRACE(testing::Message() << "family " << f.family << " index " << f.index << " at " << f.value);
      // A phi of 0 on a branch of length 0 makes a loss there impossible; the sums then hold no
      // loss, and the likelihood's derivative, the limit of losses / phi, is not among them.
      if (f.family == 2 && f.value == 0 && p.tree.branchLength[f.index] == 0) return;
      // A three-point one-sided difference, inwards at an upper bound.
      const double h = (f.value + 2e-5 * std::max(f.value, 0.01) <= f.upper ? 1e-5 : -1e-5) * std::max(f.value, 0.01);
      const auto at = [&](double x) { return logLikelihoodAt(f.family, f.index, x); };
      const double slope = (-3 * em.logLikelihood + 4 * at(f.value + h) - at(f.value + 2 * h)) / (2 * h);
      // Differences of sums of about a hundred logarithms: rounding of order 1e-14 / h, truncation
      // of order h^2; the shapes' own gradient is a difference too.
      EXPECT_NEAR(f.gradient, slope, 1e-4 * (std::abs(slope) + 1));
      ++checked;
    });
    EXPECT_GT(checked, 0);
  }
}

// One E-step per thread count and kernel, at three rescaling thresholds: never, the production
// one (never reached by these trees) and one that rescales every node. Each threshold's results
// must match the literal evaluation, and be the same bits on every thread count and kernel (on a
// processor without AVX2 both kernels are the generic one). The genes hold several blocks of
// entries, so that the blocks' order of summation is put to the test.
TEST(EStepTest, ThreadsKernelsAndRescalingKeepTheLiteralResults) {
  for (std::uint32_t seed = 400; seed < 408; ++seed) {
    SCOPED_TRACE(seed);
    Problem p;
    MakeProblem(seed, p, 9, 600);
    const LiteralEStep literal(p.em, p.data, p.tree);
    std::vector<double> unscaled;
    for (double threshold : {0.0, 0x1p-256, 1.0}) {
      SCOPED_TRACE(threshold);
      EM first;
      const std::pair<std::uint32_t, bool> runs[] = {{1, false}, {2, false}, {3, false}, {0, false}, {3, true}, {1, true}};
      for (const auto& [threads, generic] : runs) {
        SCOPED_TRACE(testing::Message() << threads << " threads, generic " << generic);
        EM em = p.em;
        EStepOptions options;
        options.threadCount = threads;
        options.scalingThreshold = threshold;
        options.genericKernel = generic;
        em.eStep.SetOptions(options);
        FirstEStep(em, p.data, p.tree);
        if (first.Sums().transitions.empty()) {
          ExpectLiteral(em, literal, p.data, 1e-10);
          first = em;
        }
        EXPECT_EQ(em.logLikelihood, first.logLikelihood);
        EXPECT_EQ(em.Sums().transitions, first.Sums().transitions);
        EXPECT_EQ(em.Sums().categories, first.Sums().categories);
      }
      // Runs that never need rescaling give exactly what a run without it gives.
      if (threshold == 0.0) unscaled = first.Sums().transitions;
      EXPECT_TRUE(threshold != 0x1p-256 || first.Sums().transitions == unscaled);
      // And rescaling by powers of two moves no bit of a posterior, even with every node rescaled
      // (only the log-likelihood of a rescaled entry may round differently).
      EXPECT_TRUE(first.Sums().transitions == unscaled);
    }
  }
}

// Trees whose patterns are far less likely than the smallest double: the rescaled E-step must
// agree with the literal evaluation in long double, which needs no rescaling. The 50-leaf tree is
// also worked with every node rescaled.
TEST(EStepTest, DeepTreesAgreeWithAnUnscaledLongDoubleEvaluation) {
  const std::pair<std::uint32_t, double> cases[] = {{50, 0x1p-256}, {50, 1.0}, {2000, 0x1p-256}, {10000, 0x1p-256}};
  for (const auto& [leaves, threshold] : cases) {
    SCOPED_TRACE(testing::Message() << leaves << " leaves, threshold " << threshold);
    PhylogeneticTree tree;
    SetRunSeed(leaves);
    tree.GenerateRandomTree(leaves, 1.0);
    EM em;
    em.Resize(tree.nodeCount, 2);
    em.model.p0 = 0.6;
    em.model.theta = {0.5, 0.7};
    em.model.eta = {0.8, 0.6};
    em.model.phi.assign(tree.nodeCount, 0.05);
    em.model.xi.assign(tree.nodeCount, 0.5);
    em.model.nu = 0.3;
    em.lossCategories.InitLossCategories(2);
    em.gainCategories.InitGainCategories(3);
    em.lossCategories.SetLossRates(1.5);
    em.gainCategories.SetGainRates(0.8, 0.3);
    // Patterns drawn from the model, so that they are as likely as real ones.
    AlignmentData data;
    data.PrepareForSimulation(leaves, 2);
    testing::internal::CaptureStdout();
    SimulationSettings simulation;
    simulation.geneCount = 2;
    simulation.sitesPerGene = {3, 3};
    simulation.unknownFraction = 0.02;
    ASSERT_TRUE(em.model.Simulate(data, tree, simulation, false, nullptr));
    testing::internal::GetCapturedStdout();
    EStepOptions options;
    options.scalingThreshold = threshold;
    em.eStep.SetOptions(options);
    FirstEStep(em, data, tree);
    ExpectLiteral(em, LiteralEStep(em, data, tree), data, 1e-12);
  }
}

// Conditioned on presence, each gene's likelihood is divided by (1 - P)^n, P the chance of a site
// absent at every leaf, and its sums gain n P / (1 - P) such sites: their posteriors as the literal
// evaluation has them, beside those of the observed sites.
TEST(EStepTest, ConditionedOnPresenceAsTheLiteralEvaluationHasIt) {
  for (std::uint32_t seed = 500; seed < 512; ++seed) {
    SCOPED_TRACE(seed);
    Problem p;
    MakeProblem(seed, p, 5);
    EM& em = p.em;
    em.conditionOnPresence = true;
    em.ComputeExpectations(p.data, p.tree);
    const std::vector<std::uint8_t> zeros(p.tree.leafCount, 0);
    AlignmentData absent;
    absent.PrepareForSimulation(p.tree.leafCount, p.data.geneCount);
    for (std::uint32_t g = 0; g < p.data.geneCount; ++g) absent.AddSite(zeros.data(), g);
    const LiteralEStep literal(em, p.data, p.tree), none(em, absent, p.tree);
    Sums expected = LiteralSums(literal, em.Sums());
    const Sums one = LiteralSums(none, em.Sums());  // a single absent site per gene
    double logLikelihood = literal.logLikelihood, unobserved = 0;
    const std::size_t block = em.Sums().transitions.size() / p.data.geneCount;
    for (const auto& e : none.entries) {
      double chance = 0;
      for (std::uint32_t c = 0; c < em.Sums().pairCount; ++c) {
        chance += em.gainCategories.weights[c / em.Sums().lossCount] * em.lossCategories.weights[c % em.Sums().lossCount] *
                  static_cast<double>(e.likelihood[c]);
      }
      const double sites = p.data.genes[e.gene].filteredSites, missing = sites * chance / (1 - chance);
      logLikelihood -= sites * std::log(1 - chance);
      unobserved += missing;
      for (std::uint32_t c = 0, i = e.gene * em.Sums().pairCount; c < em.Sums().pairCount; ++c, ++i) {
        expected.categories[i] += missing * one.categories[i];
      }
      for (std::size_t i = e.gene * block; i < (e.gene + 1) * block; ++i) expected.transitions[i] += missing * one.transitions[i];
    }
    EXPECT_LT(Relative(em.logLikelihood, logLikelihood), 1e-10);
    EXPECT_LT(Relative(em.Sums().unobservedSites, unobserved), 1e-10);
    ExpectSums(em.Sums(), expected, 1e-12, p.data.filteredSites + unobserved);
  }
}

}  // namespace
}  // namespace vorn
