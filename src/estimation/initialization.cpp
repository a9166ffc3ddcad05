// Initial values from the data and random starting points.
#include "estimation/initialization.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/evol_model.h"
#include "estimation/fit_settings.h"
#include "numerics/mersenne_twister.h"
#include "numerics/parameter_draws.h"
#include "numerics/run_seed.h"

namespace vorn {
namespace {

// Site counts over every gene entry whose Dollo states satisfy a test on (parent, node).
template <typename Test>
std::uint64_t CountSites(const AlignmentData& data, const std::vector<std::uint8_t>& states, std::uint32_t nodeCount,
                         Test test) {
  std::uint64_t sum = 0;
  for (const Gene& gene : data.genes) {
    for (std::uint32_t e = 0; e < gene.entryCount; ++e) {
      if (test(&states[static_cast<std::size_t>(gene.patternIndices[e]) * nodeCount])) sum += gene.counts[e];
    }
  }
  return sum;
}

// The share of absent values among the known leaf values of every site.
bool ObservedP0(const AlignmentData& data, double* p0) {
  // Counts are summed in 64 bits: sites times leaves passes 2^32 on large data sets.
  std::uint64_t present = 0, known = 0;
  for (const Gene& gene : data.genes) {
    for (std::uint32_t e = 0; e < gene.entryCount; ++e) {
      const std::uint8_t* values = data.patterns[gene.patternIndices[e]].values.data();
      const std::uint64_t m = gene.counts[e];
      present += m * CountPresent(values, data.leafCount);
      known += m * (CountAbsent(values, data.leafCount) + CountPresent(values, data.leafCount));
    }
  }
  if (known == 0) {
    std::fprintf(stderr, "Error: P0 cannot be estimated (no known leaf value)\n");
    return false;
  }
  *p0 = 1 - static_cast<double>(present) / static_cast<double>(known);
  return true;
}

// phi and xi of the estimated branches from a Dollo reconstruction: the share of the characters
// present at the parent that the branch loses, and of the characters present below it that it
// gains (0 where the branch sees none).
void DolloStarts(const PhylogeneticTree& tree, const AlignmentData& data, const FitSettings& settings,
                 const EstimationFlags& flags, EvolModel& model) {
  const bool phiFromDollo = settings.initialization.phiMode == "dollo" && Estimated(flags, kPhi);
  const bool xiFromDollo = settings.initialization.xiMode == "dollo" && Estimated(flags, kXi);
  if (!phiFromDollo && !xiFromDollo) return;
  const std::uint32_t n = model.nodeCount;
  const std::vector<std::uint8_t> dollo = tree.DolloReconstruction(data.patterns.data(), data.patternCount);
  for (std::uint32_t v = 1; v < n; ++v) {
    const std::uint32_t p = tree.parent[v];
    const bool phi = phiFromDollo && flags.phi[v], xi = xiFromDollo && flags.xi[v];
    if (!phi && !xi) continue;
    const std::uint64_t retentions =
        CountSites(data, dollo, n, [p, v](const std::uint8_t* s) { return s[p] == 1 && s[v] == 1; });
    auto share = [retentions](std::uint64_t events) {
      const std::uint64_t total = events + retentions;
      return total == 0 ? 0.0 : static_cast<double>(events) / static_cast<double>(total);
    };
    if (phi) model.phi[v] = share(CountSites(data, dollo, n, [p, v](const std::uint8_t* s) { return s[p] == 1 && s[v] == 0; }));
    if (xi) model.xi[v] = share(CountSites(data, dollo, n, [p, v](const std::uint8_t* s) { return s[p] == 0 && s[v] == 1; }));
  }
}

// An estimated probability that starts at exactly 0 (p0 also at 1) would never move: the E-step
// gives the event it allows no weight, so no update can make it possible again. Dollo gives 0 to
// every branch without a parsimonious gain, and the observed nu is 0 when no site is absent
// everywhere. phi is such a probability only on a branch of length 0, where nothing else loses.
void AwayFromBounds(const PhylogeneticTree& tree, const EstimationFlags& flags, EvolModel& model) {
  constexpr double kAwayFromBound = 1e-3;
  if (flags.p0) {
    if (model.p0 == 0) model.p0 = kAwayFromBound;
    if (model.p0 == 1) model.p0 = 1 - kAwayFromBound;
  }
  for (std::uint32_t v = 1; v < model.nodeCount; ++v) {
    if (flags.xi[v] && model.xi[v] == 0) model.xi[v] = kAwayFromBound;
    if (flags.phi[v] && model.phi[v] == 0 && tree.branchLength[v] == 0) model.phi[v] = kAwayFromBound;
  }
  if (flags.nu && model.nu == 0) model.nu = kAwayFromBound;
}

}  // namespace

bool ObservedNu(const AlignmentData& data, double* nu) {
  std::uint64_t sites = 0, allAbsent = 0;
  for (const Gene& gene : data.genes) {
    for (std::uint32_t e = 0; e < gene.entryCount; ++e) {
      const std::uint8_t* values = data.patterns[gene.patternIndices[e]].values.data();
      if (CountUnknown(values, data.leafCount) > 0) continue;
      sites += gene.counts[e];
      if (CountAbsent(values, data.leafCount) == data.leafCount) allAbsent += gene.counts[e];
    }
  }
  if (sites == 0) {
    std::fprintf(stderr, "Error: NU cannot be estimated (no site without unknown values)\n");
    return false;
  }
  *nu = static_cast<double>(allAbsent) / static_cast<double>(sites);
  if (*nu == 1) {
    std::fprintf(stderr, "Error: NU is estimated as 1 (insufficient data)\n");
    return false;
  }
  return true;
}

bool InitializeParameters(const PhylogeneticTree& tree, const AlignmentData& data, const FitSettings& settings,
                          EstimationFlags& flags, EvolModel& model) {
  const InitializationSettings& init = settings.initialization;
  // The draws come in a fixed order from one generator: p0, theta, nu, l-lambda, g-lambda.
  MersenneTwister random = NextGenerator(RandomPurpose::kInitialization);
  if (flags.p0) {
    if (init.p0Mode == "observed") {
      if (!ObservedP0(data, &model.p0)) return false;
    } else if (init.p0Mode == "rand") {
      model.p0 = init.p0Lower + (1 - init.p0Lower) * random.NextClosed();
    }
  }
  if (init.thetaMode == "rand") {
    for (std::uint32_t g = 0; g < model.geneCount; ++g) {
      if (flags.theta[g]) model.theta[g] = -init.thetaMean * std::log(1 - random.NextHalfOpen());
    }
  }
  DolloStarts(tree, data, settings, flags, model);
  // eta's random mode starts at the floor, not at a draw of its mean: fits have always started
  // there, and every stored control file with "eta: rand" relies on that start.
  if (init.etaMode == "rand") {
    for (std::uint32_t g = 0; g < model.geneCount; ++g) {
      if (flags.eta[g]) model.eta[g] = kEtaFloor;
    }
  }
  if (flags.nu) {
    if (init.nuMode == "observed") {
      if (!ObservedNu(data, &model.nu)) return false;
    } else if (init.nuMode == "rand") {
      model.nu = init.nuLower + (1 - init.nuLower) * random.NextClosed();
    }
    if (settings.nuHeldFixed) {
      model.nu = 0.9 * model.nu;
      flags.nu = false;
    }
  }
  AwayFromBounds(tree, flags, model);
  if (flags.llambda && init.llambdaMode == "rand") {
    model.llambda = TruncatedExponentialAt(init.llambdaMean, settings.minLLambda, random.NextHalfOpen());
  }
  if (flags.glambda && init.glambdaMode == "rand") {
    model.glambda = TruncatedExponentialAt(init.glambdaMean, settings.minGLambda, random.NextHalfOpen());
  }
  return true;
}

void DrawRandomStart(MersenneTwister& random, const PhylogeneticTree& tree, const FitSettings& settings,
                     const EstimationFlags& flags, const Range& theta, const Range& eta, EvolModel& model) {
  // Rates are drawn per unit of the tree's mean depth from root to leaf, so that a rate times the
  // depth spans 0.05 to 5 whatever the tree's time unit; shapes span 0.2 to 5; on log scales.
  double depth = 0;
  for (std::uint32_t j = 0; j < tree.leafCount; ++j) {
    for (std::uint32_t v = tree.leafNodes[j]; v != 0; v = tree.parent[v]) depth += tree.branchLength[v];
  }
  depth /= tree.leafCount;
  if (!(depth > 0)) depth = 1;
  auto logUniform = [&random](double low, double high) {
    return std::exp(std::log(low) + (std::log(high) - std::log(low)) * random.NextHalfOpen());
  };
  auto uniform = [&random](double low, double high) { return low + (high - low) * random.NextHalfOpen(); };
  for (std::uint32_t g = 0; g < model.geneCount; ++g) {
    if (flags.theta[g]) model.theta[g] = std::min(std::max(logUniform(0.05, 5) / depth, theta.lower), theta.upper);
    if (flags.eta[g]) model.eta[g] = std::min(std::max(logUniform(0.05, 5) / depth, eta.lower), eta.upper);
  }
  for (std::uint32_t v = 1; v < model.nodeCount; ++v) {
    if (flags.phi[v]) model.phi[v] = uniform(0, 0.2);
    if (flags.xi[v]) model.xi[v] = uniform(0.05, 0.95);
  }
  if (flags.nu) model.nu = uniform(0.05, 0.8);
  if (flags.llambda) model.llambda = std::max(logUniform(0.2, 5), settings.minLLambda);
  if (flags.glambda) model.glambda = std::max(logUniform(0.2, 5), settings.minGLambda);
}

}  // namespace vorn

namespace vorn {

void DrawSpreadStart(MersenneTwister& random, std::uint32_t start, const PhylogeneticTree& tree,
                     const FitSettings& settings, const EstimationFlags& flags, const Range& theta, const Range& eta,
                     EvolModel& model) {
  DrawRandomStart(random, tree, settings, flags, theta, eta, model);
  if (start % 2 == 0) return;
  auto logUniform = [&random](double low, double high) {
    return std::exp(std::log(low) + (std::log(high) - std::log(low)) * random.NextHalfOpen());
  };
  for (std::uint32_t g = 0; g < model.geneCount; ++g) {
    if (flags.eta[g]) model.eta[g] = std::max(logUniform(eta.upper / 3, eta.upper), eta.lower);
  }
  for (std::uint32_t v = 1; v < model.nodeCount; ++v) {
    if (flags.xi[v]) model.xi[v] = logUniform(0.005, 0.2);
  }
}

}  // namespace vorn
