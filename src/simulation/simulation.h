// What a simulation is asked to make, and the true history it can keep beside the data.
#pragma once
#include <cstdint>
#include <vector>

#include "data/alignment_data.h"

namespace vorn {

// The alignment section's simulation: genes, sites per gene, the share of leaf values hidden as
// unknown, and whether the true history is kept.
struct SimulationSettings {
  bool simulate = true;
  std::uint32_t geneCount = 0;
  std::vector<std::uint32_t> sitesPerGene;
  double unknownFraction = 0.0;
  bool track = false;
  // Each site's loss and gain rate multipliers: 0 draws them from the continuous gamma; a count
  // draws one of that many categories, as the fit cuts the gamma, so that data can come from
  // exactly the model a fit assumes (a check of its intervals, a parametric bootstrap).
  std::uint16_t lossCategories = 0, gainCategories = 0;
  // The true history of every site as well ("sites" on the track line), for PREFIX.site_track.tsv.
  bool trackSites = false;
};

// The true history of a set of sites: per node the number of sites where it holds the character,
// and the losses, gains and retentions on the branch above it (the root has no branch).
struct HistoryCounts {
  void Clear(std::uint32_t nodeCount);
  void Add(const HistoryCounts& other);

  std::vector<std::uint32_t> present, losses, gains, retentions;
};

// The true history of a simulation, per gene and over all genes.
struct SimulatedHistory {
  std::vector<HistoryCounts> genes;
  HistoryCounts total;
  // With the sites tracked, per site in the order drawn: its gene and pattern in the data
  // (kNoPattern for one the unknown filter removed), and the state of every node at
  // siteStates[site * nodeCount + v].
  std::vector<SiteRecord> sites;
  std::vector<std::uint8_t> siteStates;
};

}  // namespace vorn
