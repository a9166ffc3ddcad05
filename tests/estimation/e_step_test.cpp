#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <cmath>
#include <random>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/em.h"
#include "estimation/lambda_search.h"
#include "estimation/literal_estep.h"
#include "numerics/run_seed.h"
#include "input/input_reader.h"
#include "numerics/mersenne_twister.h"
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

// sitesPerGene 0: a few dozen at most, all in one block of entries.
void MakeProblem(std::uint32_t seed, Problem& p, std::uint32_t maxLeaves = 9, int sitesPerGene = 0) {
  std::mt19937 random(seed);
  auto uniform = [&random](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(random); };
  auto chance = [&](double probability) { return uniform(0, 1) < probability; };
  const std::uint32_t leaves = maxLeaves > 9 ? maxLeaves : 2 + random() % (maxLeaves - 1);
  SetRunSeed(seed);
  p.tree.GenerateRandomTree(leaves, uniform(0.2, 2.0));
  const std::uint32_t n = p.tree.nodeCount;
  const std::uint32_t genes = 1 + random() % 3;

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
  em.thetaCap = em.etaCap = 153.5 / longest;
  em.internalTolerance = 1e-10;
  em.PrepareExpectations(p.data, p.tree);
  em.ComputeExpectations(p.data, p.tree);
}

// The E-step's sums against the literal evaluation: the log-likelihood to a relative `tolerance`,
// every transition and category sum to `tolerance` times the number of sites (their scale).
void ExpectLiteralSums(const EM& em, const LiteralEStep& literal, const AlignmentData& data, std::uint32_t nodes,
                       double tolerance) {
  ASSERT_TRUE(std::isfinite(em.logLikelihood));
  EXPECT_LT(Relative(em.logLikelihood, static_cast<double>(literal.logLikelihood)), tolerance);
  const PosteriorSums& sums = em.sums;
  const double scale = data.filteredSites;
  std::vector<double> transitions(sums.transitions.size(), 0.0), categories(sums.categories.size(), 0.0);
  for (const auto& e : literal.entries) {
    for (std::uint32_t c = 0; c < sums.pairCount; ++c) {
      const double weight = e.count * e.category[c];
      categories[e.gene * sums.pairCount + c] += weight;
      for (std::uint32_t v = 1; v < nodes; ++v) {
        for (int ab = 0; ab < 4; ++ab) {
          transitions[sums.TransitionOffset(e.gene, v, ab / 2, ab % 2) + c] += weight * literal.T(e, c, ab / 2, ab % 2, v);
        }
      }
    }
  }
  for (std::size_t i = 0; i < transitions.size(); ++i) {
    ASSERT_NEAR(sums.transitions[i], transitions[i], tolerance * scale) << "transition sum " << i;
  }
  for (std::size_t i = 0; i < categories.size(); ++i) {
    ASSERT_NEAR(sums.categories[i], categories[i], tolerance * scale) << "category sum " << i;
  }
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

TEST(EStepTest, FoldedSumsAndUpdatesMatchTheLiteralEvaluation) {
  for (std::uint32_t seed = 100; seed < 140; ++seed) {
    SCOPED_TRACE(seed);
    Problem p;
    MakeProblem(seed, p);
    const EM& em = p.em;
    LiteralEStep literal(em, p.data, p.tree);
    ASSERT_LT(Relative(em.logLikelihood, literal.logLikelihood), 1e-10);

    const std::uint32_t n = p.tree.nodeCount, m = em.lossCategories.count, pairs = em.sums.pairCount;
    double scale = 0;  // sums of order of the site count; compare with a floor relative to it
    for (const auto& e : literal.entries) scale += e.count;
    for (std::uint32_t g = 0; g < p.data.geneCount; ++g) {
      for (std::uint32_t v = 1; v < n; ++v) {
        for (int ab = 0; ab < 4; ++ab) {
          for (std::uint32_t c = 0; c < pairs; ++c) {
            double expected = 0;
            for (const auto& e : literal.entries) {
              if (e.gene == g) expected += e.count * e.category[c] * literal.T(e, c, ab / 2, ab % 2, v);
            }
            ASSERT_NEAR(em.sums.Transition(g, v, ab / 2, ab % 2, c / m, c % m), expected, 1e-12 * scale);
          }
        }
      }
    }

    // Each update from the same E-step, as the literal evaluation sees it.
    EM updated = em;
    updated.UpdateP0(p.tree);
    EXPECT_LT(Relative(updated.model.p0, literal.P0()), 1e-10);
    updated = em;
    updated.UpdateNu(p.data);
    EXPECT_LT(Relative(updated.model.nu, literal.Nu()), 1e-10);
    EM thetaUpdated = em, etaUpdated = em;
    thetaUpdated.UpdateTheta(p.tree);
    etaUpdated.UpdateEta(p.tree);
    for (std::uint32_t g = 0; g < p.data.geneCount; ++g) {
      EXPECT_LT(Relative(thetaUpdated.model.theta[g], literal.Theta(g)), 1e-10) << "theta " << g;
      EXPECT_LT(Relative(etaUpdated.model.eta[g], literal.Eta(g)), 1e-10) << "eta " << g;
    }
    EM phiUpdated = em, xiUpdated = em;
    phiUpdated.MaxPhi(p.tree);
    xiUpdated.UpdateXi(p.tree);
    const std::vector<double> phi = literal.Phi(), xi = literal.Xi();
    for (std::uint32_t v = 1; v < n; ++v) {
      EXPECT_NEAR(phiUpdated.model.phi[v], phi[v], 1e-10 * std::max(phi[v], 1e-3)) << "phi " << v;
      EXPECT_NEAR(xiUpdated.model.xi[v], xi[v], 1e-10 * std::max(xi[v], 1e-3)) << "xi " << v;
    }

    for (double lambda : {0.06, 0.5, 1.0, 3.7, 40.0, 5000.0}) {
      if (em.lossCategories.count > 1) {
        EXPECT_LT(Relative(em.LossRateObjective(lambda, p.tree), literal.LossObjective(lambda)), 1e-10) << lambda;
      }
      if (em.gainCategories.count > 2) {
        EXPECT_LT(Relative(em.GainRateObjective(lambda, p.tree), literal.GainObjective(lambda)), 1e-10) << lambda;
      }
    }
    if (em.lossCategories.count > 1) {
      updated = em;
      updated.UpdateLLambda(p.tree);
      auto f = [&literal](double x) { return literal.LossObjective(x); };
      double expected = em.model.llambda;
      const Bracket bracket = BracketMinimum(f, em.minLLambda, expected);
      expected = bracket.a < 5000 ? std::clamp(BrentQL(f, bracket), em.minLLambda, 5000.0) : 5000.0;
      EXPECT_NEAR(updated.model.llambda, expected, 1e-6 * expected + 1e-8);
    }
    if (em.gainCategories.count > 2) {
      updated = em;
      updated.UpdateGLambda(p.tree);
      auto f = [&literal](double x) { return literal.GainObjective(x); };
      double expected = em.model.glambda;
      const Bracket bracket = BracketMinimum(f, em.minGLambda, expected);
      expected = bracket.a < 5000 ? std::clamp(BrentQL(f, bracket), em.minGLambda, 5000.0) : 5000.0;
      EXPECT_NEAR(updated.model.glambda, expected, 1e-6 * expected + 1e-8);
    }
  }
}

TEST(EStepTest, PosteriorsSumToOneAndRespectObservedLeaves) {
  for (std::uint32_t seed = 200; seed < 215; ++seed) {
    SCOPED_TRACE(seed);
    Problem p;
    MakeProblem(seed, p);
    const PosteriorSums& sums = p.em.sums;
    double total = 0;
    for (double x : sums.categories) total += x;
    EXPECT_NEAR(total, p.data.filteredSites, 1e-10 * p.data.filteredSites);
    for (std::uint32_t g = 0; g < sums.geneCount; ++g) {
      for (std::uint32_t v = 1; v < sums.nodeCount; ++v) {
        for (std::uint32_t c = 0; c < sums.pairCount; ++c) {
          const std::uint32_t k = c / sums.lossCount, l = c % sums.lossCount;
          double s = 0;
          for (int ab = 0; ab < 4; ++ab) s += sums.Transition(g, v, ab / 2, ab % 2, k, l);
          ASSERT_NEAR(s, sums.Category(g, k, l), 1e-12 * p.data.filteredSites);
        }
      }
    }
  }
  // Every site shows leaf 0 present: no posterior mass may put it absent.
  Problem p;
  MakeProblem(7, p);
  AlignmentData present;
  present.PrepareForSimulation(p.tree.leafCount, p.data.geneCount);
  for (std::uint32_t g = 0; g < p.data.geneCount; ++g) {
    std::vector<std::uint8_t> values(p.tree.leafCount, 2);
    values[0] = 1;
    present.AddSite(values.data(), g);
  }
  p.em.PrepareExpectations(present, p.tree);
  p.em.ComputeExpectations(present, p.tree);
  const std::uint32_t leaf = p.tree.leafNodes[0];
  for (std::uint32_t g = 0; g < present.geneCount; ++g) {
    for (std::uint32_t c = 0; c < p.em.sums.pairCount; ++c) {
      const std::uint32_t k = c / p.em.sums.lossCount, l = c % p.em.sums.lossCount;
      EXPECT_EQ(p.em.sums.Transition(g, leaf, 0, 0, k, l), 0.0);
      EXPECT_EQ(p.em.sums.Transition(g, leaf, 1, 0, k, l), 0.0);
    }
  }
}

TEST(EStepTest, AllUnknownPatternHasLikelihoodOneAndPriorPosteriors) {
  Problem p;
  MakeProblem(11, p, 5);
  AlignmentData unknown;
  unknown.PrepareForSimulation(p.tree.leafCount, 1);
  std::vector<std::uint8_t> values(p.tree.leafCount, 2);
  unknown.AddSite(values.data(), 0);
  unknown.AddSite(values.data(), 0);
  p.em.PrepareExpectations(unknown, p.tree);
  p.em.ComputeExpectations(unknown, p.tree);
  EXPECT_NEAR(p.em.logLikelihood, 0.0, 1e-14);
  const std::uint32_t n = p.tree.nodeCount, m = p.em.lossCategories.count;
  for (std::uint32_t c = 0; c < p.em.sums.pairCount; ++c) {
    const double prior = p.em.lossCategories.weights[c % m] * p.em.gainCategories.weights[c / m];
    EXPECT_NEAR(p.em.sums.Category(0, c / m, c % m), 2 * prior, 1e-14);
    // Forward probabilities of the model alone: the brute force with nothing observed.
    double h;
    std::vector<double> t, s;
    testing_support::BruteForcePattern(p.em, p.tree, 0, values.data(), c / m, c % m, &h, &t, &s);
    EXPECT_NEAR(h, 1.0, 1e-14);
    for (std::uint32_t v = 1; v < n; ++v) {
      for (int ab = 0; ab < 4; ++ab) {
        EXPECT_NEAR(p.em.sums.Transition(0, v, ab / 2, ab % 2, c / m, c % m), 2 * prior * t[ab * n + v], 1e-13);
      }
    }
  }
}


// The expected complete-data log-likelihood that the M-steps maximise, evaluated from the sums of
// the E-step (held fixed) with the parameters and category weights and rates of `em`.
double ExpectedCompleteLogLikelihood(const EM& em, const PhylogeneticTree& tree) {
  const PosteriorSums& sums = em.sums;
  const EvolModel& m = em.model;
  const std::uint32_t kk = sums.gainCount, mm = sums.lossCount, r1 = tree.firstChild[0];
  auto term = [](double weight, double probability) { return weight > 0 ? weight * std::log(probability) : 0.0; };
  double q = 0;
  for (std::uint32_t g = 0; g < sums.geneCount; ++g) {
    for (std::uint32_t k = 0; k < kk; ++k) {
      for (std::uint32_t l = 0; l < mm; ++l) {
        q += term(sums.Category(g, k, l), em.lossCategories.weights[l] * em.gainCategories.weights[k]);
        q += term(sums.Transition(g, r1, 0, 0, k, l) + sums.Transition(g, r1, 0, 1, k, l), m.p0);
        q += term(sums.Transition(g, r1, 1, 0, k, l) + sums.Transition(g, r1, 1, 1, k, l), 1 - m.p0);
        for (std::uint32_t v = 1; v < sums.nodeCount; ++v) {
          const double t = tree.branchLength[v];
          const double gain = m.xi[v] * (1 - std::exp(-m.eta[g] * em.gainCategories.rates[k] * t));
          const double keep = (1 - m.phi[v]) * std::exp(-m.theta[g] * em.lossCategories.rates[l] * t);
          q += term(sums.Transition(g, v, 0, 0, k, l), 1 - gain) + term(sums.Transition(g, v, 0, 1, k, l), gain) +
               term(sums.Transition(g, v, 1, 0, k, l), 1 - keep) + term(sums.Transition(g, v, 1, 1, k, l), keep);
        }
      }
    }
  }
  return q;
}

TEST(EStepTest, EveryUpdateRaisesItsOwnObjective) {
  for (std::uint32_t seed = 300; seed < 330; ++seed) {
    SCOPED_TRACE(seed);
    Problem p;
    MakeProblem(seed, p);
    const double before = ExpectedCompleteLogLikelihood(p.em, p.tree);
    const double slack = 1e-9 * std::abs(before);  // Newton stops within 1e-10 of its optimum
    struct Update {
      const char* name;
      std::function<void(EM&)> apply;
    };
    const Update updates[] = {
        {"p0", [&](EM& em) { em.UpdateP0(p.tree); }},
        {"theta", [&](EM& em) { em.UpdateTheta(p.tree); }},
        {"phi", [&](EM& em) { em.MaxPhi(p.tree); }},
        {"eta", [&](EM& em) { em.UpdateEta(p.tree); }},
        {"xi", [&](EM& em) { em.UpdateXi(p.tree); }},
        {"nu", [&](EM& em) {
           em.UpdateNu(p.data);
           em.gainCategories.SetGainRates(em.model.glambda, em.model.nu);
         }},
        {"l-lambda", [&](EM& em) {
           if (em.lossCategories.count == 1) return;
           em.UpdateLLambda(p.tree);
           em.lossCategories.SetLossRates(em.model.llambda);
         }},
        {"g-lambda", [&](EM& em) {
           if (em.gainCategories.count == 2) return;
           em.UpdateGLambda(p.tree);
           em.gainCategories.SetGainRates(em.model.glambda, em.model.nu);
         }},
    };
    for (const Update& update : updates) {
      SCOPED_TRACE(update.name);
      EM updated = p.em;
      update.apply(updated);
      EXPECT_GE(ExpectedCompleteLogLikelihood(updated, p.tree), before - slack);
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
  AlignmentData possible, withImpossible;
  possible.PrepareForSimulation(p.tree.leafCount, 1);
  withImpossible.PrepareForSimulation(p.tree.leafCount, 1);
  std::vector<std::uint8_t> absent(p.tree.leafCount, 0), unknown(p.tree.leafCount, 2), present(p.tree.leafCount, 0);
  present[0] = 1;
  for (AlignmentData* d : {&possible, &withImpossible}) {
    d->AddSite(absent.data(), 0);
    d->AddSite(unknown.data(), 0);
  }
  withImpossible.AddSite(present.data(), 0);

  em.PrepareExpectations(possible, p.tree);
  em.ComputeExpectations(possible, p.tree);
  const PosteriorSums expected = em.sums;
  EXPECT_TRUE(std::isfinite(em.logLikelihood));
  em.PrepareExpectations(withImpossible, p.tree);
  em.ComputeExpectations(withImpossible, p.tree);
  EXPECT_EQ(em.logLikelihood, -HUGE_VAL);
  EXPECT_EQ(em.sums.transitions, expected.transitions);
  EXPECT_EQ(em.sums.categories, expected.categories);
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
    em.minLLambda = em.minGLambda = 0.01;
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
      // Central differences inside the range, a three-point one-sided formula at a bound.
      const double h = 1e-5 * std::max(f.value, 0.01);
      double slope;
      if (f.value - h >= f.lower && f.value + h <= f.upper) {
        slope = (logLikelihoodAt(f.family, f.index, f.value + h) - logLikelihoodAt(f.family, f.index, f.value - h)) / (2 * h);
      } else {
        const double s = f.value - h >= f.lower ? -h : h;
        slope = (-3 * em.logLikelihood + 4 * logLikelihoodAt(f.family, f.index, f.value + s) -
                 logLikelihoodAt(f.family, f.index, f.value + 2 * s)) / (2 * s);
      }
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
    struct Run {
      std::uint32_t threads;
      bool generic;
    };
    const Run runs[] = {{1, false}, {2, false}, {3, false}, {0, false}, {3, true}, {1, true}};
    std::vector<double> unscaled;
    for (double threshold : {0.0, 0x1p-256, 1.0}) {
      SCOPED_TRACE(threshold);
      SetScalingThresholdForTesting(threshold);
      EM first = p.em;
      for (const Run& run : runs) {
        SCOPED_TRACE(run.threads);
        SCOPED_TRACE(run.generic);
        UseGenericKernelForTesting(run.generic);
        EM em = p.em;
        em.threadCount = run.threads;
        em.PrepareExpectations(p.data, p.tree);
        em.ComputeExpectations(p.data, p.tree);
        if (&run == runs) {
          ExpectLiteralSums(em, literal, p.data, p.tree.nodeCount, 1e-10);
          first = em;
          continue;
        }
        EXPECT_EQ(em.logLikelihood, first.logLikelihood);
        EXPECT_EQ(em.sums.transitions, first.sums.transitions);
        EXPECT_EQ(em.sums.categories, first.sums.categories);
      }
      // Runs that never need rescaling give exactly what a run without it gives.
      if (threshold == 0.0) {
        unscaled = first.sums.transitions;
      } else if (threshold == 0x1p-256) {
        EXPECT_EQ(first.sums.transitions, unscaled);
      }
    }
    UseGenericKernelForTesting(false);
    ClearScalingThresholdForTesting();
  }
}

// Trees whose patterns are far less likely than the smallest double: the rescaled E-step must
// agree with the literal evaluation in long double, which needs no rescaling. The 50-leaf tree is
// also worked with every node rescaled.
TEST(EStepTest, DeepTreesAgreeWithAnUnscaledLongDoubleEvaluation) {
  struct Case {
    std::uint32_t leaves;
    double threshold;
  };
  for (const Case& test : {Case{50, 0x1p-256}, Case{50, 1.0}, Case{2000, 0x1p-256}, Case{10000, 0x1p-256}}) {
    SCOPED_TRACE(test.leaves);
    SCOPED_TRACE(test.threshold);
    PhylogeneticTree tree;
    SetRunSeed(test.leaves);
    tree.GenerateRandomTree(test.leaves, 1.0);
    // Patterns drawn along the tree from the model below, so that they are as likely as real ones.
    std::mt19937 random(test.leaves);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    AlignmentData data;
    data.PrepareForSimulation(test.leaves, 2);
    std::vector<std::uint8_t> state(tree.nodeCount), values(test.leaves);
    std::vector<std::uint32_t> parentsFirst(tree.bottomUpOrder.rbegin(), tree.bottomUpOrder.rend());
    for (int site = 0; site < 6; ++site) {
      for (std::uint32_t v : parentsFirst) {
        const double t = tree.branchLength[v];
        const double present = v == 0                       ? 0.4
                               : state[tree.parent[v]] == 0 ? 0.5 * (1 - std::exp(-0.8 * t))
                                                            : 0.95 * std::exp(-0.5 * t);
        state[v] = uniform(random) < present ? 1 : 0;
      }
      for (std::uint32_t j = 0; j < test.leaves; ++j) values[j] = uniform(random) < 0.02 ? 2 : state[tree.leafNodes[j]];
      data.AddSite(values.data(), site % 2);
    }
    EM em;
    em.Resize(tree.nodeCount, 2);
    em.model.p0 = 0.6;
    em.model.theta = {0.5, 0.7};
    em.model.eta = {0.8, 0.6};
    for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
      em.model.phi[v] = 0.05;
      em.model.xi[v] = 0.5;
    }
    em.model.nu = 0.3;
    em.lossCategories.InitLossCategories(2);
    em.gainCategories.InitGainCategories(3);
    em.lossCategories.SetLossRates(1.5);
    em.gainCategories.SetGainRates(0.8, 0.3);
    SetScalingThresholdForTesting(test.threshold);
    em.PrepareExpectations(data, tree);
    em.ComputeExpectations(data, tree);
    ClearScalingThresholdForTesting();
    const LiteralEStep literal(em, data, tree);
    ExpectLiteralSums(em, literal, data, tree.nodeCount, 1e-12);
  }
}

// A whole run (estimation, the nine histories, the report with the detailed ancestral
// reconstruction) writes the same bytes on one thread as on three.
TEST(EStepTest, AWholeRunWritesTheSameFilesOnAnyNumberOfThreads) {
  testing_support::TempDir dir;
  Problem p;
  MakeProblem(500, p, 12, 700);
  p.data.NameGenes();
  {
    FilePtr tree = OpenFile(dir.File("tree.phyl"), "w");
    p.tree.WritePhyl(tree.get());
    FilePtr patterns = OpenFile(dir.File("data.wp.txt"), "w"), counts = OpenFile(dir.File("data.ngp.txt"), "w");
    p.data.WritePatternFiles(patterns.get(), counts.get());
  }
  std::vector<std::string> lines = testing_support::TemplateLines();
  lines[3] = "number of leaves: 12";
  lines[40] = "maximum # iterations: 3";
  lines[41] = "ancestral reconstruction: detailed";
  lines[45] = "theta: con 1";
  lines[47] = "eta: con 1.5";
  lines[50] = "l-lambda: fixed 1";
  lines[51] = "g-lambda: fixed 1";
  const std::string control = testing_support::JoinLines(lines);
  const char* const suffixes[] = {".history.likelihood.txt", ".history.p0.txt", ".history.theta.txt",
                                  ".history.phi.txt", ".history.eta.txt", ".history.xi.txt",
                                  ".history.nu.txt", ".history.llambda.txt", ".history.glambda.txt",
                                  ".output.txt", ".ar.txt"};
  std::vector<std::string> first;
  for (std::uint32_t threads : {1U, 3U}) {
    SCOPED_TRACE(threads);
    const std::string project = "run" + std::to_string(threads);
    testing_support::ScopedChdir chdir(dir.path());
    PhylogeneticTree tree;
    AlignmentData data;
    EM em;
    FilePtr input = testing_support::StreamOf(control);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(ReadInput(tree, data, em, input.get(), project));
    em.threadCount = threads;
    ASSERT_TRUE(em.Run(data, tree, project));
    ASSERT_TRUE(WriteOutput(tree, data, em, 0, project));
    testing::internal::GetCapturedStdout();
    std::vector<std::string> files;
    for (const char* suffix : suffixes) files.push_back(testing_support::ReadText(dir.File(project + suffix)));
    if (first.empty()) {
      first = files;
      continue;
    }
    for (std::size_t f = 0; f < files.size(); ++f) EXPECT_EQ(files[f], first[f]) << suffixes[f];
  }
}

// Conditioned on presence, each gene's likelihood is divided by (1 - P)^n, P the chance of
// absence at every leaf, and its sums gain n P / (1 - P) sites absent everywhere: both by brute
// force over every assignment of node states, beside the literal evaluation of the observed sites.
TEST(EStepTest, ConditionedOnPresenceAsBruteForceHasIt) {
  for (std::uint32_t seed = 500; seed < 512; ++seed) {
    SCOPED_TRACE(seed);
    Problem p;
    MakeProblem(seed, p, 5);
    EM& em = p.em;
    em.conditionOnPresence = true;
    em.ComputeExpectations(p.data, p.tree);
    const LiteralEStep literal(em, p.data, p.tree);
    const std::uint32_t n = p.tree.nodeCount, k = em.gainCategories.count, m = em.lossCategories.count;
    const std::uint32_t pairs = k * m;
    const std::vector<std::uint8_t> absent(p.tree.leafCount, 0);
    double logLikelihood = literal.logLikelihood, unobserved = 0, scale = 0;
    std::vector<double> transitions(em.sums.transitions.size(), 0.0), categories(em.sums.categories.size(), 0.0);
    for (const auto& e : literal.entries) {
      scale += e.count;
      for (std::uint32_t c = 0; c < pairs; ++c) {
        categories[e.gene * pairs + c] += e.count * e.category[c];
        for (std::uint32_t v = 1; v < n; ++v) {
          for (int ab = 0; ab < 4; ++ab) {
            transitions[em.sums.TransitionOffset(e.gene, v, ab / 2, ab % 2) + c] +=
                e.count * e.category[c] * literal.T(e, c, ab / 2, ab % 2, v);
          }
        }
      }
    }
    for (std::uint32_t g = 0; g < p.data.geneCount; ++g) {
      std::vector<double> h(pairs), weight(pairs);
      std::vector<std::vector<double>> t(pairs);
      double chance = 0;
      for (std::uint32_t c = 0; c < pairs; ++c) {
        std::vector<double> s;
        testing_support::BruteForcePattern(em, p.tree, g, absent.data(), c / m, c % m, &h[c], &t[c], &s);
        weight[c] = em.gainCategories.weights[c / m] * em.lossCategories.weights[c % m] * h[c];
        chance += weight[c];
      }
      const double sites = p.data.genes[g].filteredSites, expected = sites * chance / (1 - chance);
      logLikelihood -= sites * std::log(1 - chance);
      unobserved += expected;
      for (std::uint32_t c = 0; c < pairs; ++c) {
        categories[g * pairs + c] += expected * weight[c] / chance;
        for (std::uint32_t v = 1; v < n; ++v) {
          for (int ab = 0; ab < 4; ++ab) {
            transitions[em.sums.TransitionOffset(g, v, ab / 2, ab % 2) + c] += expected * weight[c] / chance * t[c][ab * n + v];
          }
        }
      }
    }
    EXPECT_LT(Relative(em.logLikelihood, logLikelihood), 1e-10);
    EXPECT_LT(Relative(em.sums.unobservedSites, unobserved), 1e-10);
    scale += unobserved;
    for (std::size_t i = 0; i < categories.size(); ++i) ASSERT_NEAR(em.sums.categories[i], categories[i], 1e-12 * scale);
    for (std::size_t i = 0; i < transitions.size(); ++i) {
      if (i % (4 * pairs * n) < 4 * pairs) continue;  // node 0 has no branch
      ASSERT_NEAR(em.sums.transitions[i], transitions[i], 1e-12 * scale) << i;
    }
  }
}

}  // namespace
}  // namespace vorn
