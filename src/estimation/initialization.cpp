#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/evol_model.h"
#include "numerics/run_seed.h"
#include "numerics/parameter_draws.h"

namespace vorn {
namespace {

constexpr std::uint8_t kUnset = 254;
constexpr std::uint8_t kUndefined = 255;

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


}  // namespace

std::vector<std::uint8_t> PhylogeneticTree::DolloReconstruction(const Pattern* patterns, std::uint32_t count) const {
  const std::uint32_t n = nodeCount;
  std::vector<std::uint8_t> result(static_cast<std::size_t>(count) * n);
  std::vector<std::uint8_t> first(n), second(n);
  for (std::uint32_t k = 0; k < count; ++k) {
    std::uint8_t* state = &result[static_cast<std::size_t>(k) * n];
    std::fill(first.begin(), first.end(), kUnset);
    for (std::uint32_t j = 0; j < leafCount; ++j) {
      first[leafNodes[j]] = second[leafNodes[j]] = patterns[k].values[j];
    }
    // Upward: does some leaf below show the character? An unknown leaf does not.
    for (std::uint32_t i = 0; i + 1 < n; ++i) {
      const std::uint32_t v = bottomUpOrder[i];
      std::uint8_t below;
      if (first[v] == kUndefined || second[v] == kUndefined) {
        below = kUndefined;
      } else {
        below = (first[v] == 1 || second[v] == 1) ? 1 : 0;
      }
      const std::uint32_t p = parent[v];
      if (first[p] == kUnset) {
        first[p] = below;
      } else {
        second[p] = below;
      }
    }
    // Gained once: the root is present only when both of its subtrees show the character.
    if (first[0] == kUndefined || second[0] == kUndefined) {
      state[0] = kUndefined;
    } else {
      state[0] = (first[0] != 0 && second[0] != 0) ? 1 : 0;
    }
    for (std::uint32_t i = n - 1; i-- > 0;) {
      const std::uint32_t v = bottomUpOrder[i];
      if (first[v] == kUndefined || second[v] == kUndefined) {
        state[v] = kUndefined;
      } else if (first[v] == second[v]) {
        state[v] = first[v];
      } else {
        state[v] = state[parent[v]];
      }
    }
  }
  return result;
}

void EvolModel::ObservedNu(const AlignmentData& data) {
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
    std::exit(1);
  }
  nu = static_cast<double>(allAbsent) / static_cast<double>(sites);
  if (nu == 1) {
    std::fprintf(stderr, "Error: NU is estimated as 1 (insufficient data)\n");
    std::exit(1);
  }
}

void EvolModel::InitializeParameters(const PhylogeneticTree& tree, const AlignmentData& data, EstimationFlags& flags,
                                     InitializationSettings settings, bool nuHeldFixed, double minLLambda,
                                     double minGLambda) {
  MersenneTwister random = NextGenerator(RandomPurpose::kInitialization);

  if (flags.p0) {
    if (settings.p0Mode == "observed") {
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
        std::exit(1);
      }
      p0 = 1 - static_cast<double>(present) / static_cast<double>(known);
    } else if (settings.p0Mode == "rand") {
      p0 = settings.p0Lower + (1 - settings.p0Lower) * random.NextClosed();
    }
  }

  if (settings.thetaMode == "rand") {
    for (std::uint32_t g = 0; g < geneCount; ++g) {
      if (flags.theta[g]) theta[g] = -settings.thetaMean * std::log(1 - random.NextHalfOpen());
    }
  }

  bool anyPhi = false, anyXi = false;
  for (std::uint32_t v = 0; v < nodeCount; ++v) {
    anyPhi = anyPhi || flags.phi[v];
    anyXi = anyXi || flags.xi[v];
  }
  const bool phiFromDollo = settings.phiMode == "dollo" && anyPhi;
  const bool xiFromDollo = settings.xiMode == "dollo" && anyXi;
  std::vector<std::uint8_t> dollo;
  std::vector<std::uint64_t> retentions(nodeCount, 0);
  if (phiFromDollo || xiFromDollo) {
    dollo = tree.DolloReconstruction(data.patterns.data(), data.patternCount);
    for (std::uint32_t v = 1; v < nodeCount; ++v) {
      const std::uint32_t p = tree.parent[v];
      retentions[v] = CountSites(data, dollo, nodeCount, [p, v](const std::uint8_t* s) { return s[p] == 1 && s[v] == 1; });
    }
  }
  if (phiFromDollo) {
    for (std::uint32_t v = 1; v < nodeCount; ++v) {
      if (!flags.phi[v]) continue;
      const std::uint32_t p = tree.parent[v];
      const std::uint64_t losses =
          CountSites(data, dollo, nodeCount, [p, v](const std::uint8_t* s) { return s[p] == 1 && s[v] == 0; });
      const std::uint64_t total = losses + retentions[v];
      phi[v] = total == 0 ? 0.0 : static_cast<double>(losses) / static_cast<double>(total);
    }
  }

  if (settings.etaMode == "rand") {
    for (std::uint32_t g = 0; g < geneCount; ++g) {
      if (flags.eta[g]) eta[g] = 1.1920928955078125e-07;
    }
  }

  if (xiFromDollo) {
    for (std::uint32_t v = 1; v < nodeCount; ++v) {
      if (!flags.xi[v]) continue;
      const std::uint32_t p = tree.parent[v];
      const std::uint64_t gains =
          CountSites(data, dollo, nodeCount, [p, v](const std::uint8_t* s) { return s[p] == 0 && s[v] == 1; });
      const std::uint64_t total = gains + retentions[v];
      xi[v] = total == 0 ? 0.0 : static_cast<double>(gains) / static_cast<double>(total);
    }
  }

  if (flags.nu) {
    if (settings.nuMode == "observed") {
      ObservedNu(data);
    } else if (settings.nuMode == "rand") {
      nu = settings.nuLower + (1 - settings.nuLower) * random.NextClosed();
    }
    if (nuHeldFixed) {
      nu = 0.9 * nu;
      flags.nu = false;
    }
  }

  // An estimated probability that starts at exactly 0 (p0 also at 1) would never move: the E-step
  // gives the event it allows no weight, so no update can make it possible again. Dollo gives 0 to
  // every branch without a parsimonious gain, and the observed nu is 0 when no site is absent
  // everywhere. phi is such a probability only on a branch of length 0, where nothing else loses.
  constexpr double kAwayFromBound = 1e-3;
  if (flags.p0) {
    if (p0 == 0) p0 = kAwayFromBound;
    if (p0 == 1) p0 = 1 - kAwayFromBound;
  }
  for (std::uint32_t v = 1; v < nodeCount; ++v) {
    if (flags.xi[v] && xi[v] == 0) xi[v] = kAwayFromBound;
    if (flags.phi[v] && phi[v] == 0 && tree.branchLength[v] == 0) phi[v] = kAwayFromBound;
  }
  if (flags.nu && nu == 0) nu = kAwayFromBound;

  if (flags.llambda && settings.llambdaMode == "rand") {
    llambda = TruncatedExponentialAt(settings.llambdaMean, minLLambda, random.NextHalfOpen());
  }
  if (flags.glambda && settings.glambdaMode == "rand") {
    glambda = TruncatedExponentialAt(settings.glambdaMean, minGLambda, random.NextHalfOpen());
  }
}

}  // namespace vorn
