// Times the estimation's inner loop on a synthetic data set of realistic size and prints the
// figures; not a test. Usage: vorn_bench [genes] [patterns]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/em.h"
#include "estimation/literal_estep.h"
#include "numerics/run_seed.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

long PeakResidentKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vorn;
  const std::uint32_t leaves = 32, genes = argc > 1 ? std::atoi(argv[1]) : 200;
  const std::uint32_t distinct = argc > 2 ? std::atoi(argv[2]) : 5000;
  const std::uint32_t entriesPerGene = 150;
  std::mt19937 random(2026);

  {
    // Every drawn value seeds a generator of its own from the run seed: one value per node.
    PhylogeneticTree large;
    large.GenerateRandomTree(1000, 1.0);
    EvolModel drawn;
    drawn.Resize(large.nodeCount, 1);
    const auto start = Clock::now();
    drawn.DrawPhi(0.4, large, 1.0);
    drawn.DrawXi(0.4, large, 1.5);
    std::printf("phi and xi drawn for a 1000-leaf tree (3998 reseeded values): %.3f s\n", Seconds(start));
  }
  SetRunSeed(1);
  PhylogeneticTree tree;
  tree.GenerateRandomTree(leaves, 1.0);

  std::vector<std::vector<std::uint8_t>> patterns(distinct, std::vector<std::uint8_t>(leaves));
  for (auto& p : patterns) {
    for (auto& v : p) v = random() % 100 < 5 ? 2 : static_cast<std::uint8_t>(random() % 2);
  }
  AlignmentData data;
  data.PrepareForSimulation(leaves, genes);
  for (std::uint32_t p = 0; p < distinct; ++p) data.AddSite(patterns[p].data(), p % genes);  // every pattern used
  for (std::uint32_t g = 0; g < genes; ++g) {
    for (std::uint32_t e = 0; e < entriesPerGene; ++e) {
      const auto& p = patterns[random() % distinct];
      for (std::uint32_t c = random() % 4; c > 0; --c) data.AddSite(p.data(), g);
    }
  }
  std::size_t entries = 0;
  for (const Gene& g : data.genes) entries += g.entryCount;

  EM em;
  em.Resize(tree.nodeCount, genes);
  for (std::uint32_t g = 0; g < genes; ++g) {
    em.model.theta[g] = 0.5 + 0.001 * g;
    em.model.eta[g] = 0.8;
    em.flags.theta[g] = em.flags.eta[g] = 1;
  }
  for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
    em.model.phi[v] = 0.05;
    em.model.xi[v] = 0.5;
    em.flags.phi[v] = em.flags.xi[v] = 1;
  }
  em.model.p0 = 0.6;
  em.model.nu = 0.3;
  em.model.llambda = 1.2;
  em.model.glambda = 0.8;
  em.lossCategories.InitLossCategories(4);
  em.gainCategories.InitGainCategories(5);
  em.lossCategories.SetLossRates(em.model.llambda);
  em.gainCategories.SetGainRates(em.model.glambda, em.model.nu);
  em.thetaCap = em.etaCap = 153.5;
  em.internalTolerance = 1e-8;

  std::printf("data: %u leaves, %u genes, %u distinct patterns, %zu gene entries, %u sites; 4 loss x 5 gain "
              "categories\n",
              leaves, genes, data.patternCount, entries, data.filteredSites);
  em.PrepareExpectations(data, tree);
  auto start = Clock::now();
  em.ComputeExpectations(data, tree);
  const double eStep = Seconds(start);
  std::printf("E-step:                      %8.3f s  (log-likelihood %.10g)\n", eStep, em.logLikelihood);

  start = Clock::now();
  em.UpdateP0(tree);
  em.UpdateTheta(tree);
  em.MaxPhi(tree);
  em.UpdateEta(tree);
  em.UpdateXi(tree);
  em.UpdateNu(data);
  std::printf("M-steps p0 .. nu (one round): %8.3f s\n", Seconds(start));
  start = Clock::now();
  const double loss = em.LossRateObjective(1.3, tree);
  const double gain = em.GainRateObjective(0.7, tree);
  std::printf("lambda objectives (one each): %8.4f s  (%.6g, %.6g)\n", Seconds(start), loss, gain);
  start = Clock::now();
  em.UpdateLLambda(tree);
  em.UpdateGLambda(tree);
  std::printf("lambda updates (both):       %8.3f s\n", Seconds(start));
  std::printf("peak resident memory:        %8.1f MB\n", PeakResidentKilobytes() / 1024.0);

  // The literal evaluation keeps every entry's tables; time it on the first genes only and scale.
  const std::uint32_t sampleGenes = genes < 5 ? genes : 5;
  AlignmentData sample;
  sample.PrepareForSimulation(leaves, sampleGenes);
  std::size_t sampleEntries = 0;
  for (std::uint32_t g = 0; g < sampleGenes; ++g) {
    const Gene& gene = data.genes[g];
    sampleEntries += gene.entryCount;
    for (std::uint32_t e = 0; e < gene.entryCount; ++e) {
      for (std::uint32_t c = 0; c < gene.counts[e]; ++c) {
        sample.AddSite(data.patterns[gene.patternIndices[e]].values.data(), g);
      }
    }
  }
  start = Clock::now();
  testing_support::LiteralEStep literal(em, sample, tree);
  const double literalTime = Seconds(start);
  em.PrepareExpectations(sample, tree);
  start = Clock::now();
  em.ComputeExpectations(sample, tree);
  const double productionSample = Seconds(start);
  std::printf("on %zu entries: literal E-step %.3f s, production %.4f s (%.0f times faster); literal "
              "scaled to all entries: %.1f s\n",
              sampleEntries, literalTime, productionSample, literalTime / productionSample,
              literalTime * entries / sampleEntries);
  return 0;
}
