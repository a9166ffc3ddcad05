// Ancestral reconstruction in the report and the .ar.txt files.
#include "output/ancestral_report.h"

#include <cstdio>
#include <utility>
#include <vector>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/ancestral.h"
#include "output/report.h"
#include "output/run_report.h"

namespace vorn {
namespace {

// Dollo parsimony counts per node over a set of gene entries: characters present at the node, and
// losses, gains and retentions on the branch above it. An unknown leaf (state 2) counts nowhere.
struct DolloCounts {
  std::vector<long long> present, losses, gains, retentions;

  DolloCounts(const PhylogeneticTree& tree, const std::vector<std::uint8_t>& states, const AlignmentData& data,
              std::uint32_t firstGene, std::uint32_t lastGene)
      : present(tree.nodeCount, 0), losses(tree.nodeCount, 0), gains(tree.nodeCount, 0), retentions(tree.nodeCount, 0) {
    const std::uint32_t n = tree.nodeCount;
    for (std::uint32_t g = firstGene; g < lastGene; ++g) {
      const Gene& gene = data.genes[g];
      for (std::uint32_t e = 0; e < gene.entryCount; ++e) {
        const std::uint8_t* s = &states[static_cast<std::size_t>(gene.patternIndices[e]) * n];
        const long long m = gene.counts[e];
        if (s[0] == 1) present[0] += m;
        for (std::uint32_t v = 1; v < n; ++v) {
          const std::uint8_t above = s[tree.parent[v]], here = s[v];
          if (here == 1) present[v] += m;
          if (above == 1 && here == 0) losses[v] += m;
          if (above == 0 && here == 1) gains[v] += m;
          if (above == 1 && here == 1) retentions[v] += m;
        }
      }
    }
  }
};

// Expected values of one table summed over genes [first, last).
std::vector<double> Expected(const AncestralTables& tables, const std::vector<double>& table, std::uint32_t nodeCount,
                             std::uint32_t first, std::uint32_t last) {
  std::vector<double> sum(nodeCount, 0.0);
  for (std::uint32_t g = first; g < last; ++g) {
    for (std::uint32_t v = 0; v < nodeCount; ++v) sum[v] += tables.Value(table, g, v);
  }
  return sum;
}

double Share(double part, double whole) { return whole == 0 ? 0.0 : part / whole * 100; }
double DolloShare(long long part, long long whole) {
  return whole == 0 ? 0.0 : static_cast<double>(part) * 100 / static_cast<double>(whole);
}

}  // namespace

Reconstruction::Reconstruction(const PhylogeneticTree& tree, const AlignmentData& data, const AncestralTables& tables)
    : present(Expected(tables, tables.present, data.nodeCount, 0, data.geneCount)),
      losses(Expected(tables, tables.losses, data.nodeCount, 0, data.geneCount)),
      gains(Expected(tables, tables.gains, data.nodeCount, 0, data.geneCount)),
      retentions(Expected(tables, tables.retentions, data.nodeCount, 0, data.geneCount)) {
  const std::vector<std::uint8_t> states = tree.DolloReconstruction(data.patterns.data(), data.patternCount);
  DolloCounts dollo(tree, states, data, 0, data.geneCount);
  dolloPresent = std::move(dollo.present);
  dolloLosses = std::move(dollo.losses);
  dolloGains = std::move(dollo.gains);
  dolloRetentions = std::move(dollo.retentions);
}

void WriteAncestralSummary(std::FILE* file, const FitReport& report) {
  const PhylogeneticTree& tree = report.tree;
  const std::vector<std::string>& nodeNames = tree.nodeNames;
  const std::uint32_t nodeCount = tree.nodeCount;
  const Reconstruction r(tree, report.data, report.ancestral);
  std::fprintf(file, "\n---------------------------\n%% Ancestral reconstruction:\n---------------------------\n");
  std::fprintf(file, "information on ancestral reconstruction in individual nodes:\n");
  std::fprintf(file, "\tnode #0 (%s):\n", nodeNames[0].c_str());
  std::fprintf(file, "\t\tnumber of present characters:   %.2f\t\t[Dollo: %lld]\n", r.present[0], r.dolloPresent[0]);
  for (std::uint32_t v = 1; v < nodeCount; ++v) {
    const std::uint32_t p = tree.parent[v];
    std::fprintf(file, "\tnode #%u (%s):\n", static_cast<unsigned>(v), nodeNames[v].c_str());
    std::fprintf(file, "\t\tnumber of present characters:   %.2f\t\t[Dollo: %lld]\n", r.present[v], r.dolloPresent[v]);
    std::fprintf(file, "\t\tnumber of losses:    %.2f (%.2f%%)\t\t[Dollo: %lld (%.2f%%)]\n", r.losses[v],
                 Share(r.losses[v], r.present[p]), r.dolloLosses[v], DolloShare(r.dolloLosses[v], r.dolloPresent[p]));
    std::fprintf(file, "\t\tnumber of gains:     %.2f (%.2f%%)\t\t[Dollo: %lld (%.2f%%)]\n", r.gains[v],
                 Share(r.gains[v], r.present[v]), r.dolloGains[v], DolloShare(r.dolloGains[v], r.dolloPresent[v]));
    std::fprintf(file, "\t\tnumber of retentions: %.2f (%.2f%%)\t\t[Dollo: %lld (%.2f%%)]\n", r.retentions[v],
                 Share(r.retentions[v], r.present[p]), r.dolloRetentions[v],
                 DolloShare(r.dolloRetentions[v], r.dolloPresent[p]));
  }
  std::fprintf(file, "\n");
}

void WriteAncestralDetails(std::FILE* file, const FitReport& report) {
  const PhylogeneticTree& tree = report.tree;
  const AlignmentData& data = report.data;
  const AncestralTables& tables = report.ancestral;
  const std::vector<std::string>& nodeNames = tree.nodeNames;
  const std::uint32_t nodeCount = tree.nodeCount;
  std::fprintf(file, "-----------------------------------\n%% Detailed ancestral reconstruction:\n"
                     "-----------------------------------\n\n");
  const std::vector<std::uint8_t> states = tree.DolloReconstruction(data.patterns.data(), data.patternCount);
  for (std::uint32_t g = 0; g < data.geneCount; ++g) {
    const DolloCounts dollo(tree, states, data, g, g + 1);
    double lost = 0, gained = 0, retained = 0;
    long long dolloLost = 0, dolloGained = 0, dolloRetained = 0;
    for (std::uint32_t v = 1; v < nodeCount; ++v) {
      lost += tables.Value(tables.losses, g, v);
      gained += tables.Value(tables.gains, g, v);
      retained += tables.Value(tables.retentions, g, v);
      dolloLost += dollo.losses[v];
      dolloGained += dollo.gains[v];
      dolloRetained += dollo.retentions[v];
    }
    std::fprintf(file, "Gene #%d (%s): account on the number of present characters\n", static_cast<int>(g),
                 data.genes[g].geneName.c_str());
    for (std::uint32_t v = 0; v < nodeCount; ++v) {
      std::fprintf(file, "\t\tNode #%d (%s): %.2f present characters \t [Dollo: %lld]\n", static_cast<int>(v),
                   nodeNames[v].c_str(), tables.Value(tables.present, g, v), dollo.present[v]);
    }
    std::fprintf(file,
                 "\taccount on events: %.2f losses; %.2f gains; %.2f retentions "
                 "[Dollo: %lld loss(es); %lld gain(s); %lld retention(s)]\n",
                 lost, gained, retained, dolloLost, dolloGained, dolloRetained);
    for (std::uint32_t v = 1; v < nodeCount; ++v) {
      std::fprintf(file,
                   "\t\tBranch #%d (%s): %.2f losses; %.2f gains; %.2f retentions"
                   "\t[Dollo: %lld losses; %lld gains; %lld retentions]\n",
                   static_cast<int>(v), nodeNames[v].c_str(), tables.Value(tables.losses, g, v),
                   tables.Value(tables.gains, g, v), tables.Value(tables.retentions, g, v),
                   dollo.losses[v], dollo.gains[v], dollo.retentions[v]);
    }
    std::fprintf(file, "\n");
  }
}

}  // namespace vorn
