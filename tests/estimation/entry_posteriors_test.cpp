#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/e_step.h"
#include "estimation/em.h"
#include "estimation/literal_estep.h"
#include "numerics/run_seed.h"
#include "support/input_template.h"

namespace vorn {
namespace {

using testing_support::BruteForcePattern;

// The four-leaf tree, two genes of a few patterns (unknowns among them), rate variation of both
// kinds and a share of sites that never gain: the E-step prepared for them.
struct Problem {
  Problem() : tree(testing_support::FourLeafTree()) {
    data.PrepareForSimulation(4, 2);
    const std::uint8_t patterns[][4] = {{0, 1, 1, 0}, {1, 1, 2, 1}, {0, 0, 0, 1}, {2, 0, 1, 1}, {0, 0, 0, 0}};
    const int counts[2][5] = {{3, 0, 2, 1, 1}, {1, 4, 0, 2, 0}};
    for (std::uint32_t g = 0; g < 2; ++g) {
      for (int p = 0; p < 5; ++p) {
        for (int c = 0; c < counts[g][p]; ++c) data.AddSite(patterns[p], g);
      }
    }
    const std::uint32_t n = tree.nodeCount;
    em.Resize(n, 2);
    EvolModel& m = em.model;
    m.p0 = 0.3;
    m.nu = 0.2;
    m.theta = {0.8, 2.5};
    m.eta = {1.2, 0.4};
    for (std::uint32_t v = 1; v < n; ++v) {
      m.phi[v] = 0.05 * v;
      m.xi[v] = 1 - 0.1 * v;
    }
    m.llambda = 0.7;
    m.glambda = 1.9;
    em.lossCategories.InitLossCategories(3);
    em.gainCategories.InitGainCategories(4);
    em.lossCategories.SetLossRates(m.llambda);
    em.gainCategories.SetGainRates(m.glambda, m.nu);
    em.eStep.Prepare(data, tree, em.gainCategories.count, em.lossCategories.count);
    for (std::uint32_t g = 0; g < 2; ++g) {
      for (std::uint32_t e = 0; e < data.genes[g].entryCount; ++e) entries.push_back({g, e});
    }
  }
  EntryPosteriors Compute(const EStepOptions& options = EStepOptions()) {
    em.eStep.SetOptions(options);
    EntryPosteriors posteriors;
    em.eStep.ComputeEntryPosteriors(em.model, em.gainCategories, em.lossCategories, data, tree, entries, &posteriors);
    return posteriors;
  }

  PhylogeneticTree tree;
  AlignmentData data;
  EM em;
  std::vector<EntryRef> entries;
};

// P(pattern, no branch gains) of a category pair: the histories without a gain, enumerated.
double NoGainByEnumeration(const EM& em, const PhylogeneticTree& tree, std::uint32_t g, const std::uint8_t* pattern,
                           std::uint32_t k, std::uint32_t l) {
  const EvolModel& model = em.model;
  const std::uint32_t n = tree.nodeCount;
  double total = 0;
  for (std::uint32_t states = 0; states < (1U << n); ++states) {
    auto s = [states](std::uint32_t v) { return static_cast<int>((states >> v) & 1U); };
    bool possible = true;
    for (std::uint32_t j = 0; j < tree.leafCount; ++j) {
      if (pattern[j] != 2 && s(tree.leafNodes[j]) != pattern[j]) possible = false;
    }
    for (std::uint32_t v = 1; v < n; ++v) possible = possible && !(s(tree.parent[v]) == 0 && s(v) == 1);
    if (!possible) continue;
    double p = s(0) == 0 ? model.p0 : 1 - model.p0;
    for (std::uint32_t v = 1; v < n; ++v) {
      const double t = tree.branchLength[v];
      const double gain = model.xi[v] * (1 - std::exp(-model.eta[g] * em.gainCategories.rates[k] * t));
      const double keep = (1 - model.phi[v]) * std::exp(-model.theta[g] * em.lossCategories.rates[l] * t);
      p *= s(tree.parent[v]) == 0 ? 1 - gain : s(v) == 1 ? keep : 1 - keep;
    }
    total += p;
  }
  return total;
}

// Every posterior against the enumeration of all 2^7 histories of each category pair, mixed by
// the pairs' weights and likelihoods; the chance of no gain against the enumeration of the
// histories without one.
TEST(EntryPosteriorsTest, EqualTheEnumerationOfEveryHistory) {
  Problem p;
  const EntryPosteriors computed = p.Compute();
  const std::uint32_t n = p.tree.nodeCount, k = p.em.gainCategories.count, m = p.em.lossCategories.count;
  for (std::size_t i = 0; i < p.entries.size(); ++i) {
    SCOPED_TRACE(i);
    const EntryRef ref = p.entries[i];
    const std::uint8_t* pattern = p.data.patterns[p.data.genes[ref.gene].patternIndices[ref.entry]].values.data();
    std::vector<double> expected(4 * n, 0.0), transition, state;
    double mixture = 0, withoutGain = 0;
    for (std::uint32_t a = 0; a < k; ++a) {
      for (std::uint32_t b = 0; b < m; ++b) {
        const double weight = p.em.gainCategories.weights[a] * p.em.lossCategories.weights[b];
        double h = 0;
        withoutGain += weight * NoGainByEnumeration(p.em, p.tree, ref.gene, pattern, a, b);
        BruteForcePattern(p.em, p.tree, ref.gene, pattern, a, b, &h, &transition, &state);
        mixture += weight * h;
        for (std::uint32_t v = 1; v < n; ++v) {
          for (int ab = 0; ab < 4; ++ab) expected[v * 4 + ab] += weight * h * transition[ab * n + v];
        }
      }
    }
    for (std::uint32_t v = 1; v < n; ++v) {
      double total = 0;
      for (int ab = 0; ab < 4; ++ab) {
        const double got = computed.transitions[(i * n + v) * 4 + ab];
        EXPECT_NEAR(got, expected[v * 4 + ab] / mixture, 1e-13);  // different sums of a few hundred terms
        total += got;
      }
      EXPECT_NEAR(total, 1, 1e-14);
    }
    EXPECT_NEAR(computed.noGain[i], withoutGain / mixture, 1e-13);
  }
}

// The per-site file is the sums' own breakdown: the entries' posteriors, weighted by their
// counts, add up to the sums of the E-step (without conditioning, as the reconstruction reads).
TEST(EntryPosteriorsTest, WeightedByTheirCountsAddUpToTheSums) {
  Problem p;
  const EntryPosteriors computed = p.Compute();
  p.em.conditionOnPresence = false;
  p.em.ComputeExpectations(p.data, p.tree);
  const PosteriorSums& sums = p.em.Sums();
  const std::uint32_t n = p.tree.nodeCount;
  for (std::uint32_t g = 0; g < 2; ++g) {
    for (std::uint32_t v = 1; v < n; ++v) {
      for (int ab = 0; ab < 4; ++ab) {
        double folded = 0, added = 0;
        for (std::uint32_t c = 0; c < sums.pairCount; ++c) folded += sums.transitions[sums.TransitionOffset(g, v, ab / 2, ab % 2) + c];
        for (std::size_t i = 0; i < p.entries.size(); ++i) {
          if (p.entries[i].gene != g) continue;
          added += p.data.genes[g].counts[p.entries[i].entry] * computed.transitions[(i * n + v) * 4 + ab];
        }
        EXPECT_NEAR(added, folded, 1e-12);
      }
    }
  }
}

// Threads, the kernel build and rescaling everywhere change no bit of the posteriors (and the
// chance of no gain only through the last bit of a rescaled log-likelihood).
TEST(EntryPosteriorsTest, DoNotDependOnThreadsKernelOrRescaling) {
  Problem p;
  const EntryPosteriors one = p.Compute();
  EStepOptions options;
  options.threadCount = 3;
  const EntryPosteriors three = p.Compute(options);
  EXPECT_EQ(three.transitions, one.transitions);
  EXPECT_EQ(three.noGain, one.noGain);
  options.threadCount = 1;
  options.genericKernel = true;
  EXPECT_EQ(p.Compute(options).transitions, one.transitions);
  options.scalingThreshold = 1e300;
  const EntryPosteriors rescaled = p.Compute(options);
  for (std::size_t i = 0; i < one.transitions.size(); ++i) EXPECT_NEAR(rescaled.transitions[i], one.transitions[i], 1e-15);
  for (std::size_t i = 0; i < one.noGain.size(); ++i) EXPECT_NEAR(rescaled.noGain[i], one.noGain[i], 1e-14);
}

// On a tree deep enough that the values of a present pattern fall far below the scaling threshold:
// with no branch able to gain (xi = 0) no gain is certain, and with an absent root it is impossible.
TEST(EntryPosteriorsTest, NoGainHoldsOnADeepTree) {
  PhylogeneticTree tree;
  SetRunSeed(3);
  tree.GenerateRandomTree(1500, 1.0);
  AlignmentData data;
  data.PrepareForSimulation(tree.leafCount, 1);
  std::vector<std::uint8_t> present(tree.leafCount, 1), mixed(tree.leafCount, 1);
  for (std::uint32_t j = 0; j < tree.leafCount; j += 3) mixed[j] = 2;
  data.AddSite(present.data(), 0);
  data.AddSite(mixed.data(), 0);
  EM em;
  em.Resize(tree.nodeCount, 1);
  em.model.theta = {0.5};
  em.model.eta = {1};
  for (std::uint32_t v = 1; v < tree.nodeCount; ++v) em.model.phi[v] = 0.1;  // 0.9^2998 is near 1e-137
  em.lossCategories.InitLossCategories(2);
  em.gainCategories.InitGainCategories(3);
  em.lossCategories.SetLossRates(1.5);
  em.gainCategories.SetGainRates(1.5, 0.3);
  em.eStep.Prepare(data, tree, em.gainCategories.count, em.lossCategories.count);
  const std::vector<EntryRef> entries = {{0, 0}, {0, 1}};
  for (const double p0 : {0.4, 1.0}) {
    SCOPED_TRACE(p0);
    em.model.p0 = p0;
    for (std::uint32_t v = 1; v < tree.nodeCount; ++v) em.model.xi[v] = p0 == 1 ? 0.5 : 0.0;
    EntryPosteriors posteriors;
    em.eStep.ComputeEntryPosteriors(em.model, em.gainCategories, em.lossCategories, data, tree, entries, &posteriors);
    for (double chance : posteriors.noGain) EXPECT_NEAR(chance, p0 == 1 ? 0.0 : 1.0, 1e-12);  // sums of 6 terms
  }
}

}  // namespace
}  // namespace vorn
