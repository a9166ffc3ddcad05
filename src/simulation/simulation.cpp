// Data drawn from a true model along the tree, with the history that made them.
#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdio>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "data/progress.h"
#include "estimation/evol_model.h"
#include "estimation/rate_categories.h"
#include "numerics/run_seed.h"
#include "numerics/statistics.h"
#include "simulation/simulation.h"

namespace vorn {
namespace {

// A model under which this many sites in a row show no presence is taken for one that never does.
constexpr std::uint32_t kMostAttempts = 1000000;

// A rate multiplier of mean 1 and gamma shape `shape`, or, with categories, the rate of the
// category its quantile falls in (categories `first` on hold the gamma's equal-probability bins).
// Both use one uniform draw, so a simulation of either kind consumes the same draws.
double DrawRate(double shape, const RateCategories& categories, std::uint16_t first) {
  if (categories.count == 0) return gammarand(shape, 1 / shape);
  const double u = StandardUniform();
  const std::uint16_t bins = static_cast<std::uint16_t>(categories.count - first);
  const auto bin = std::min<std::uint16_t>(static_cast<std::uint16_t>(u * bins), static_cast<std::uint16_t>(bins - 1));
  return categories.rates[first + bin];
}

}  // namespace

void HistoryCounts::Clear(std::uint32_t nodeCount) {
  present.assign(nodeCount, 0);
  losses.assign(nodeCount, 0);
  gains.assign(nodeCount, 0);
  retentions.assign(nodeCount, 0);
}

void HistoryCounts::Add(const HistoryCounts& other) {
  for (std::size_t v = 0; v < present.size(); ++v) {
    present[v] += other.present[v];
    losses[v] += other.losses[v];
    gains[v] += other.gains[v];
    retentions[v] += other.retentions[v];
  }
}

bool EvolModel::Simulate(AlignmentData& data, const PhylogeneticTree& tree, const SimulationSettings& settings,
                         bool requirePresence, SimulatedHistory* history) const {
  const std::vector<std::uint32_t>& sitesPerGene = settings.sitesPerGene;
  const double unknownFraction = settings.unknownFraction;
  assert(sitesPerGene.size() == geneCount && tree.nodeCount == nodeCount);
  MersenneTwister random = NextGenerator(RandomPurpose::kSimulation);
  std::printf("   running the simulation ...\n");

  const std::uint32_t n = tree.nodeCount;
  std::vector<std::uint8_t> state(n);
  std::vector<std::uint8_t> pattern(tree.leafCount);
  HistoryCounts gene;
  RateCategories lossRates, gainRates;
  // (A shape of 0 is no variation, and its rates are never drawn.)
  if (settings.lossCategories > 0 && llambda != 0) {
    lossRates.InitLossCategories(settings.lossCategories);
    lossRates.SetLossRates(llambda);
  }
  if (settings.gainCategories > 0 && glambda != 0) {
    gainRates.InitGainCategories(settings.gainCategories, nu);
    gainRates.SetGainRates(glambda, nu);
  }
  if (history) {
    history->genes.clear();
    history->total.Clear(n);
    history->sites.clear();
    history->siteStates.clear();
  }
  for (std::uint32_t g = 0; g < geneCount; ++g) {
    gene.Clear(n);
    for (std::uint32_t s = 1; s <= sitesPerGene[g]; ++s) {
      // Formatting every site's line took a sixth of the simulation, for lines seldom shown.
      if (s % 256 == 1 || s == sitesPerGene[g]) {
        ShowProgress("\r      gene %d/%d: site %d/%d          ", static_cast<int>(g + 1), static_cast<int>(geneCount),
                     static_cast<int>(s), static_cast<int>(sitesPerGene[g]));
      }
      // Under sampling that sees only characters present somewhere, a site that shows none at the
      // leaves is never observed: it is drawn again.
      for (std::uint32_t attempt = 0;; ++attempt) {
        if (attempt == kMostAttempts) {
          std::fprintf(stderr, "Error:VORN:EvolModel:Simulate: %u sites in a row show the character at no leaf: the "
                               "model almost never makes a site that conditioning on presence keeps\n",
                       static_cast<unsigned>(kMostAttempts));
          return false;
        }
        const double rl = llambda == 0 ? 1 : DrawRate(llambda, lossRates, 0);
        const double rg = glambda == 0 ? 1 : DrawRate(glambda, gainRates, 1);
        state[0] = random.NextClosed() > p0 ? 1 : 0;
        // One decision per site, as the estimation weighs a site's never-gaining category by nu.
        const double gainFlag = random.NextClosed() > nu ? 1 : 0;
        // From the root's children down: every parent is decided before its children.
        for (std::uint32_t i = n - 1; i-- > 0;) {
          const std::uint32_t v = tree.bottomUpOrder[i];
          const std::uint32_t p = tree.parent[v];
          const double t = tree.branchLength[v];
          const double q = state[p] ? (1 - phi[v]) * std::exp(-rl * theta[g] * t)
                                    : xi[v] * (1 - std::exp(-gainFlag * eta[g] * rg * t));
          state[v] = random.NextClosed() > 1 - q ? 1 : 0;
        }
        bool shown = false;
        for (std::uint32_t j = 0; j < tree.leafCount; ++j) {
          const std::uint8_t value = state[tree.leafNodes[j]];
          pattern[j] = (unknownFraction != 0 && random.NextClosed() <= unknownFraction) ? 2 : value;
          shown = shown || pattern[j] == 1;
        }
        if (shown || !requirePresence) break;
      }
      gene.present[0] += state[0];
      for (std::uint32_t v = 1; v < n; ++v) {
        const std::uint32_t p = tree.parent[v];
        gene.present[v] += state[v];
        gene.losses[v] += state[p] & (1 - state[v]);
        gene.gains[v] += (1 - state[p]) & state[v];
        gene.retentions[v] += state[p] & state[v];
      }
      const std::uint32_t added = data.AddSite(pattern.data(), g);
      if (history && settings.trackSites) {
        history->sites.push_back({g, added});
        history->siteStates.insert(history->siteStates.end(), state.begin(), state.end());
      }
    }
    if (history) {
      history->genes.push_back(gene);
      history->total.Add(gene);
    }
  }
  EndProgress();
  std::printf("\n");
  return true;
}

}  // namespace vorn
