// The true model and the track of a simulation.
#include "output/simulation_files.h"

#include <algorithm>
#include <vector>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/evol_model.h"
#include "simulation/simulation.h"

namespace vorn {
namespace {

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

}  // namespace

void WriteTrueModel(std::FILE* file, const EvolModel& model) {
  std::fprintf(file, "pv = struct('p0',[%lg %lg]','theta',[%lg", model.p0, 1 - model.p0, model.theta[0]);
  for (std::uint32_t g = 1; g < model.geneCount; ++g) std::fprintf(file, ",%lg", model.theta[g]);
  std::fprintf(file, "],'phi',[0");
  for (std::uint32_t v = 1; v < model.nodeCount; ++v) std::fprintf(file, ",%lg", model.phi[v]);
  std::fprintf(file, "],'eta',[%lg", model.eta[0]);
  for (std::uint32_t g = 1; g < model.geneCount; ++g) std::fprintf(file, ",%lg", model.eta[g]);
  std::fprintf(file, "],'xi',[0");
  for (std::uint32_t v = 1; v < model.nodeCount; ++v) std::fprintf(file, ",%lg", model.xi[v]);
  std::fprintf(file, "],'nu',%lg,'llambda',%lg,'glambda',%lg);", model.nu, model.llambda, model.glambda);
}

void WriteTrack(std::FILE* file, const PhylogeneticTree& tree, const SimulatedHistory& history) {
  for (std::size_t g = 0; g < history.genes.size(); ++g) {
    std::fprintf(file, "information on ancestral reconstruction for gene #%d:\n", static_cast<int>(g));
    WriteHistoryBlock(file, tree, history.genes[g]);
  }
  std::fprintf(file, "overall information on the ancestral reconstruction:\n");
  WriteHistoryBlock(file, tree, history.total);
  std::fprintf(file, "\n");
}

void WriteSiteTrack(std::FILE* file, const PhylogeneticTree& tree, const AlignmentData& data,
                    const SimulatedHistory& history) {
  std::fprintf(file, "id\tgene\tpattern");
  for (std::uint32_t v = 0; v < tree.nodeCount; ++v) std::fprintf(file, "\t%s", tree.nodeNames[v].c_str());
  std::fprintf(file, "\n");
  // The counts file lists a gene's sites pattern by pattern: a stable sort puts the drawn sites
  // in that order, those the filter removed left out.
  std::vector<std::size_t> order;
  for (std::size_t s = 0; s < history.sites.size(); ++s) {
    if (history.sites[s].pattern != kNoPattern) order.push_back(s);
  }
  std::stable_sort(order.begin(), order.end(), [&history](std::size_t a, std::size_t b) {
    const SiteRecord &x = history.sites[a], &y = history.sites[b];
    return x.gene != y.gene ? x.gene < y.gene : x.pattern < y.pattern;
  });
  static const char* const kBranch[4] = {"absent", "gain", "loss", "kept"};
  std::uint32_t gene = 0;
  unsigned long long number = 0;
  for (std::size_t s : order) {
    const SiteRecord& site = history.sites[s];
    number = site.gene == gene && number > 0 ? number + 1 : 1;
    gene = site.gene;
    const std::uint8_t* state = &history.siteStates[s * tree.nodeCount];
    std::fprintf(file, "%llu\t%s\t%u\t%d", number, data.genes[gene].geneName.c_str(),
                 static_cast<unsigned>(site.pattern + 1), static_cast<int>(state[0]));
    for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
      std::fprintf(file, "\t%s", kBranch[2 * state[tree.parent[v]] + state[v]]);
    }
    std::fprintf(file, "\n");
  }
}

}  // namespace vorn
