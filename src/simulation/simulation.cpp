#include <cassert>
#include <cmath>
#include <cstdio>

#include "data/alignment_data.h"
#include "data/c_file.h"
#include "data/output_file.h"
#include "data/phylogenetic_tree.h"
#include "data/progress.h"
#include "estimation/evol_model.h"
#include "numerics/run_seed.h"
#include "numerics/statistics.h"

namespace vorn {
namespace {

// The true history of a set of sites: per node the number of sites where it holds the character,
// and the losses, gains and retentions on the branch above it (the root has no branch).
struct HistoryCounts {
  void Clear(std::uint32_t nodeCount) {
    present.assign(nodeCount, 0);
    losses.assign(nodeCount, 0);
    gains.assign(nodeCount, 0);
    retentions.assign(nodeCount, 0);
  }
  void Add(const HistoryCounts& other) {
    for (std::size_t v = 0; v < present.size(); ++v) {
      present[v] += other.present[v];
      losses[v] += other.losses[v];
      gains[v] += other.gains[v];
      retentions[v] += other.retentions[v];
    }
  }

  std::vector<std::uint32_t> present, losses, gains, retentions;
};

// Share of a count in percent; 0 when there was nothing to count against.
double Percent(std::uint32_t part, std::uint32_t whole) {
  return whole == 0 ? 0.0 : static_cast<double>(part) * 100 / static_cast<double>(whole);
}

void WriteHistoryBlock(std::FILE* file, const PhylogeneticTree& tree, const HistoryCounts& counts) {
  std::fprintf(file,
               "\tnode #0 (%s):\n"
               "\t\tnumber of present characters:   %d\n",
               tree.nodeNames[0].c_str(), static_cast<int>(counts.present[0]));
  for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
    const std::uint32_t p = tree.parent[v];
    std::fprintf(file,
                 "\tnode #%u (%s):\n"
                 "\t\tnumber of present characters:   %d\n"
                 "\t\tnumber of losses:    %d (%.2f%%)\n"
                 "\t\tnumber of gains:     %d (%.2f%%)\n"
                 "\t\tnumber of retentions: %d (%.2f%%)\n",
                 static_cast<unsigned>(v), tree.nodeNames[v].c_str(), static_cast<int>(counts.present[v]),
                 static_cast<int>(counts.losses[v]), Percent(counts.losses[v], counts.present[p]),
                 static_cast<int>(counts.gains[v]), Percent(counts.gains[v], counts.present[v]),
                 static_cast<int>(counts.retentions[v]), Percent(counts.retentions[v], counts.present[p]));
  }
  std::fprintf(file, "\n");
}

// A model under which this many sites in a row show no presence is taken for one that never does.
constexpr std::uint32_t kMostAttempts = 1000000;

}  // namespace

bool EvolModel::Simulate(AlignmentData& data, const PhylogeneticTree& tree, double unknownFraction,
                         const std::vector<std::uint32_t>& sitesPerGene, bool track,
                         const std::string& projectName, bool requirePresence) const {
  assert(sitesPerGene.size() == geneCount && tree.nodeCount == nodeCount);
  MersenneTwister random = NextGenerator(RandomPurpose::kSimulation);
  std::printf("   running the simulation ...\n");

  OutputFile trackFile(projectName + ".track.txt", "EvolModel:Simulate");
  if (track) {
    if (trackFile.name().size() > kMaxFileNameLength) {
      std::fprintf(stderr, "Error:VORN:EvolModel:Simulate: The file name %s is longer than %u characters\n",
                   trackFile.name().c_str(), static_cast<unsigned>(kMaxFileNameLength));
      return false;
    }
    if (!trackFile.Open()) {
      std::fprintf(stderr, "Error:VORN:EvolModel:Simulate: The file '%s' cannot be opened\n",
                   trackFile.name().c_str());
      return false;
    }
  }

  const std::uint32_t n = tree.nodeCount;
  std::vector<std::uint8_t> state(n);
  std::vector<std::uint8_t> pattern(tree.leafCount);
  HistoryCounts gene, total;
  total.Clear(n);
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
        const double rl = llambda == 0 ? 1 : gammarand(llambda, 1 / llambda);
        const double rg = glambda == 0 ? 1 : gammarand(glambda, 1 / glambda);
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
      data.AddSite(pattern.data(), g);
    }
    if (track) {
      std::fprintf(trackFile.get(), "information on ancestral reconstruction for gene #%d:\n", static_cast<int>(g));
      WriteHistoryBlock(trackFile.get(), tree, gene);
      total.Add(gene);
    }
  }
  EndProgress();
  std::printf("\n");
  if (!track) return true;
  std::fprintf(trackFile.get(), "overall information on the ancestral reconstruction:\n");
  WriteHistoryBlock(trackFile.get(), tree, total);
  std::fprintf(trackFile.get(), "\n");
  return trackFile.Commit();
}

}  // namespace vorn
