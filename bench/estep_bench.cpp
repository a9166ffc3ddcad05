// Times the estimation's inner loop on synthetic data sets of realistic size and prints the
// figures; not a test. The E-step is timed on three sets: "genes" (32 leaves, 200 genes, 27,059
// gene entries), "sites" (200 leaves, 1 gene, 20,000 distinct patterns simulated on the tree) and
// "small" (12 leaves, 1 gene, 800 simulated patterns: an E-step of a fraction of a millisecond,
// where handing work to threads costs most), each the best of a few runs, in node updates per
// second (entries x category pairs x nodes). "all" is the first two.
//
//   vorn_bench [--threads N] [--repeat R] [--set genes|sites|small|all] [--quick]
//
// --quick skips the parameter draws, M-step and literal-oracle timings. The file also builds
// against older commits (it sets the thread count only where the estimator has one, and reaches
// the E-step through EM before it was an object of its own), so figures can be compared side by
// side: copy it into a worktree of the older commit and build vorn_bench.
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/em.h"
#include "estimation/literal_estep.h"
#include "numerics/mersenne_twister.h"
// The bench also builds against older commits, to measure them side by side: before the run seed
// existed, the trees' generators were seeded through the entropy test seam.
#if __has_include("numerics/run_seed.h")
#include "numerics/run_seed.h"
#define VORN_BENCH_SEED(seed) vorn::SetRunSeed(seed)
#else
#define VORN_BENCH_SEED(seed) vorn::SetEntropySeedForTesting(seed)
#endif

namespace {

using namespace vorn;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Processor time of the whole process, all threads: on a busy machine it shows the work
// without the waits for a core.
double ProcessorSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

long PeakResidentKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

template <typename T, typename = void>
struct HasThreadCount : std::false_type {};
template <typename T>
struct HasThreadCount<T, std::void_t<decltype(std::declval<T&>().threadCount)>> : std::true_type {};
// Since the E-step became an object, its options carry the thread count.
template <typename T, typename = void>
struct HasEStepObject : std::false_type {};
template <typename T>
struct HasEStepObject<T, std::void_t<decltype(std::declval<T&>().eStep.Options())>> : std::true_type {};

// False when the estimator of this commit has no threads and more than one was asked for.
template <typename T>
bool SetThreads(T& em, std::uint32_t threads) {
  if constexpr (HasEStepObject<T>::value) {
    auto options = em.eStep.Options();
    options.threadCount = threads;
    em.eStep.SetOptions(options);
    return true;
  } else if constexpr (HasThreadCount<T>::value) {
    em.threadCount = threads;
    return true;
  } else {
    return threads == 1;
  }
}

// Sizes the E-step for the data and the estimator's category counts.
template <typename T>
void PrepareEStep(T& em, const AlignmentData& data, const PhylogeneticTree& tree) {
  if constexpr (HasEStepObject<T>::value) {
    em.eStep.Prepare(data, tree, em.gainCategories.count, em.lossCategories.count);
  } else {
    em.PrepareExpectations(data, tree);
  }
}

void SetModel(EM& em, const PhylogeneticTree& tree, std::uint32_t genes) {
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
  em.limits.thetaCap = em.limits.etaCap = 153.5;
  em.settings.internalTolerance = 1e-8;
}

// The E-step, best of `repeat` runs, with its rate in node updates per second.
void TimeEStep(const char* name, EM& em, const AlignmentData& data, const PhylogeneticTree& tree, int repeat) {
  std::size_t entries = 0;
  for (const Gene& g : data.genes) entries += g.entryCount;
  PrepareEStep(em, data, tree);
  double best = 0, bestProcessor = 0;
  for (int r = 0; r < repeat; ++r) {
    const auto start = Clock::now();
    const double processorStart = ProcessorSeconds();
    em.ComputeExpectations(data, tree);
    const double seconds = Seconds(start), processor = ProcessorSeconds() - processorStart;
    if (r == 0 || seconds < best) best = seconds;
    if (r == 0 || processor < bestProcessor) bestProcessor = processor;
  }
  const double updates = static_cast<double>(entries) * em.gainCategories.count * em.lossCategories.count * tree.nodeCount;
  std::printf("E-step, %-5s set: %9.6f s  %7.1f million node updates/s; processor time %.6f s  (log-likelihood "
              "%.10g)\n",
              name, best, updates / best / 1e6, bestProcessor, em.logLikelihood);
}

// The set of many genes: 32 leaves, 200 genes, random patterns with 5 % unknown values.
void GenesSet(PhylogeneticTree& tree, AlignmentData& data) {
  const std::uint32_t leaves = 32, genes = 200, distinct = 5000, entriesPerGene = 150;
  std::mt19937 random(2026);
  VORN_BENCH_SEED(1);
  tree.GenerateRandomTree(leaves, 1.0);
  std::vector<std::vector<std::uint8_t>> patterns(distinct, std::vector<std::uint8_t>(leaves));
  for (auto& p : patterns) {
    for (auto& v : p) v = random() % 100 < 5 ? 2 : static_cast<std::uint8_t>(random() % 2);
  }
  data.PrepareForSimulation(leaves, genes);
  for (std::uint32_t p = 0; p < distinct; ++p) data.AddSite(patterns[p].data(), p % genes);  // every pattern used
  for (std::uint32_t g = 0; g < genes; ++g) {
    for (std::uint32_t e = 0; e < entriesPerGene; ++e) {
      const auto& p = patterns[random() % distinct];
      for (std::uint32_t c = random() % 4; c > 0; --c) data.AddSite(p.data(), g);
    }
  }
}

// One gene of distinct patterns simulated on a random tree with the bench's model (one rate
// category, 2 % of the values hidden). The set of many sites: 200 leaves, 20,000 patterns.
void SimulatedSet(PhylogeneticTree& tree, AlignmentData& data, std::uint32_t leaves, std::uint32_t distinct,
                  std::uint32_t seed) {
  std::mt19937 random(2025 + seed);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  VORN_BENCH_SEED(seed);
  tree.GenerateRandomTree(leaves, 1.0);
  data.PrepareForSimulation(leaves, 1);
  std::vector<std::uint8_t> state(tree.nodeCount), values(leaves);
  std::vector<std::uint32_t> order(tree.bottomUpOrder.rbegin(), tree.bottomUpOrder.rend());  // parents first
  while (data.patternCount < distinct) {
    for (std::uint32_t v : order) {
      if (v == 0) {
        state[0] = uniform(random) < 0.6 ? 0 : 1;
        continue;
      }
      const double t = tree.branchLength[v];
      const double present = state[tree.parent[v]] == 0 ? 0.5 * (1 - std::exp(-0.8 * t)) : 0.95 * std::exp(-0.5 * t);
      state[v] = uniform(random) < present ? 1 : 0;
    }
    for (std::uint32_t j = 0; j < leaves; ++j) {
      values[j] = uniform(random) < 0.02 ? 2 : state[tree.leafNodes[j]];
    }
    data.AddSite(values.data(), 0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::uint32_t threads = 1;
  int repeat = 3;
  std::string set = "all";
  bool quick = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--threads" && i + 1 < argc) {
      threads = static_cast<std::uint32_t>(std::atoi(argv[++i]));
    } else if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--set" && i + 1 < argc) {
      set = argv[++i];
    } else if (arg == "--quick") {
      quick = true;
    } else {
      std::fprintf(stderr, "usage: vorn_bench [--threads N] [--repeat R] [--set genes|sites|small|all] [--quick]\n");
      return 1;
    }
  }

  if (!quick) {
    // Every drawn value reseeds its own generator from the system's entropy: one value per node.
    PhylogeneticTree large;
    large.GenerateRandomTree(1000, 1.0);
    EvolModel drawn;
    drawn.Resize(large.nodeCount, 1);
    const auto start = Clock::now();
    drawn.DrawPhi(0.4, large, 1.0);
    drawn.DrawXi(0.4, large, 1.5);
    std::printf("phi and xi drawn for a 1000-leaf tree (3998 reseeded values): %.3f s\n", Seconds(start));
  }

  if (set == "genes" || set == "all") {
    PhylogeneticTree tree;
    AlignmentData data;
    GenesSet(tree, data);
    std::size_t entries = 0;
    for (const Gene& g : data.genes) entries += g.entryCount;
    EM em;
    SetModel(em, tree, data.geneCount);
    if (!SetThreads(em, threads)) {
      std::fprintf(stderr, "this estimator has no threads\n");
      return 1;
    }
    std::printf("genes set: %u leaves, %u genes, %u distinct patterns, %zu gene entries, %u sites; 4 loss x 5 gain "
                "categories; %u thread(s)\n",
                tree.leafCount, data.geneCount, data.patternCount, entries, data.filteredSites, threads);
    TimeEStep("genes", em, data, tree, repeat);
    if (!quick) {
      auto start = Clock::now();
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

      // The literal evaluation keeps every entry's tables; time it on the first genes only and scale.
      const std::uint32_t sampleGenes = 5;
      AlignmentData sample;
      sample.PrepareForSimulation(tree.leafCount, sampleGenes);
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
      PrepareEStep(em, sample, tree);
      start = Clock::now();
      em.ComputeExpectations(sample, tree);
      const double productionSample = Seconds(start);
      std::printf("on %zu entries: literal E-step %.3f s, production %.4f s (%.0f times faster)\n", sampleEntries,
                  literalTime, productionSample, literalTime / productionSample);
    }
  }

  if (set == "sites" || set == "small" || set == "all") {
    const bool small = set == "small";
    PhylogeneticTree tree;
    AlignmentData data;
    SimulatedSet(tree, data, small ? 12 : 200, small ? 800 : 20000, small ? 3 : 2);
    EM em;
    SetModel(em, tree, 1);
    if (!SetThreads(em, threads)) {
      std::fprintf(stderr, "this estimator has no threads\n");
      return 1;
    }
    std::printf("%s set: %u leaves, 1 gene, %u distinct patterns, %u sites; 4 loss x 5 gain categories; "
                "%u thread(s)\n",
                small ? "small" : "sites", tree.leafCount, data.patternCount, data.filteredSites, threads);
    TimeEStep(small ? "small" : "sites", em, data, tree, repeat);
  }
  std::printf("peak resident memory: %.1f MB\n", PeakResidentKilobytes() / 1024.0);
  return 0;
}
