// The E-step: from the model at a point, the log-likelihood of the data and the posterior sums
// that every M-step and the ancestral reconstruction read. An EStep owns its scratch, its sums and
// its threads; the kernel that works a block of entries is in e_step_kernel.h, the memory layout
// and the walks over the tree in e_step_layout.h.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "estimation/e_step_communicator.h"
#include "estimation/e_step_kernel.h"
#include "estimation/e_step_layout.h"
#include "estimation/worker_pool.h"

namespace vorn {

class AlignmentData;
class EvolModel;
class PhylogeneticTree;
class RateCategories;

// The E-step's results, folded per gene: for gene g, category pair c = k * M + l (gain category
// k of K, loss category l of M), node v >= 1 and state pair (a, b) of (parent of v, v),
//   transitions = sum over the gene's entries (pattern, n) of n * x[c] * T[a][b][v]
//   categories  = sum over the gene's entries of n * x[c]
// with x the category posterior and T the transition posterior of the entry. Every M-step and
// the ancestral reconstruction read the posteriors only through these sums, so memory stays
// O(G K M N) however many patterns there are. Entries of node 0 are unused.
class PosteriorSums {
 public:
  void Resize(std::uint32_t geneCount, std::uint32_t nodeCount, std::uint32_t gainCount, std::uint32_t lossCount);
  void Clear();

  // Offset of the pair block [c] of gene g, node v, states (a, b); the block holds pairCount doubles.
  std::size_t TransitionOffset(std::uint32_t g, std::uint32_t v, int a, int b) const {
    return ((static_cast<std::size_t>(g) * nodeCount + v) * 4 + static_cast<std::size_t>(2 * a + b)) * pairCount;
  }
  double Transition(std::uint32_t g, std::uint32_t v, int a, int b, std::uint32_t k, std::uint32_t l) const {
    return transitions[TransitionOffset(g, v, a, b) + k * lossCount + l];
  }
  double Category(std::uint32_t g, std::uint32_t k, std::uint32_t l) const {
    return categories[static_cast<std::size_t>(g) * pairCount + k * lossCount + l];
  }

  std::uint32_t geneCount = 0, nodeCount = 0, gainCount = 0, lossCount = 0, pairCount = 0;
  std::vector<double> transitions;  // [g][v][a][b][c]
  std::vector<double> categories;   // [g][c]
  // Conditioned on presence: the expected number of unobserved sites (absent at every leaf) over
  // all genes, included in the sums above; 0 otherwise.
  double unobservedSites = 0;
};

// One entry of one gene: the entry-th distinct pattern of gene gene.
struct EntryRef {
  std::uint32_t gene, entry;
};

// The posteriors of single entries, each as if it were one site: per entry i, node v >= 1 and
// state pair (a, b) of (parent of v, v), the chance of (a, b) given the entry's pattern, summed
// over the category pairs, at transitions[(i * nodeCount + v) * 4 + 2 a + b]; and per entry the
// chance that no branch gains the character, given the pattern.
struct EntryPosteriors {
  std::uint32_t nodeCount = 0;
  std::vector<double> transitions;
  std::vector<double> noGain;
};

// How an E-step runs. Only the scaling threshold can move a bit of its results (and then only
// the last bit of a log-likelihood term); the thread count and the kernel build never do. The
// fit sets the thread count; tests set the rest.
struct EStepOptions {
  // 1 works on the calling thread alone, 0 means one per core that the system reports.
  std::uint32_t threadCount = 1;
  // Below it a node's conditional values are rescaled: tests raise it to rescale everywhere, or
  // set 0 never to rescale.
  double scalingThreshold = kScalingThreshold;
  // The generic kernel even where the processor has AVX2.
  bool genericKernel = false;
  // The ranks that share each E-step's blocks, or nullptr for this process alone. Not owned; every
  // rank must then call Compute at the same points of its run.
  EStepCommunicator* communicator = nullptr;
};

// The E-step at the model's current point. Its results are bit-exact, whatever the thread count
// and the processor: the reports, the histories and results.json of one control file are
// compared byte for byte across thread counts and builds (bench/same_outputs.sh, the pipeline
// stress test), and a fit's path, each update reading the sums of the E-step before, would drift
// apart from a single differing bit. So the entries go in blocks of a fixed size whatever the
// thread count, and the blocks join the sums in their order, however they were shared out (the
// ordered merge of RunInOrder).
//
// A copy has the same options, scratch and sums, and as many threads of its own.
class EStep {
 public:
  explicit EStep(const EStepOptions& options = EStepOptions());
  EStep(const EStep& other);
  EStep& operator=(const EStep& other);
  EStep(EStep&&) = default;
  EStep& operator=(EStep&&) = default;
  ~EStep();

  const EStepOptions& Options() const { return options_; }
  // A new thread count restarts the threads (once per run: a fit sets it before Prepare).
  void SetOptions(const EStepOptions& options);
  // Sizes the sums and the scratch for the data, the tree and the category counts, and starts the
  // threads, no more than the data has blocks: once per run, before the first Compute.
  void Prepare(const AlignmentData& data, const PhylogeneticTree& tree, std::uint32_t gainCount,
               std::uint32_t lossCount);
  // Recomputes the sums at the model and rate categories (whose counts Prepare was given) and
  // returns the log-likelihood. Conditioned on presence, each gene's likelihood is divided by
  // (1 - P)^n, P the chance of a site absent at every leaf, and its unobserved sites join the sums.
  double Compute(const EvolModel& model, const RateCategories& gainCategories, const RateCategories& lossCategories,
                 bool conditionOnPresence, const AlignmentData& data, const PhylogeneticTree& tree);

  // The posteriors of the listed entries at the model, one entry at a time (e_step_entries.cpp).
  // They are those of the sums' entries, unweighted and unconditioned: a pattern that shows the
  // character somewhere says as much already. The sums are left as they were.
  void ComputeEntryPosteriors(const EvolModel& model, const RateCategories& gainCategories,
                              const RateCategories& lossCategories, const AlignmentData& data,
                              const PhylogeneticTree& tree, const std::vector<EntryRef>& entries,
                              EntryPosteriors* posteriors);

  const PosteriorSums& Sums() const { return sums_; }
  PosteriorSums& Sums() { return sums_; }  // to restore a saved point, or to make one in tests
  // The threads, for other work shared out by genes (the reconstruction).
  WorkerPool& Pool() const { return *pool_; }

 private:
  void StartThreads();
  void ListBlocks(const AlignmentData& data, bool conditionOnPresence, std::uint32_t leafCount);
  void FillBranchTables(const EvolModel& model, const RateCategories& gainCategories,
                        const RateCategories& lossCategories, const PhylogeneticTree& tree, std::uint32_t gene);
  void SizeWorkspaces(std::uint32_t threads, std::uint32_t resultCount, std::uint32_t nodeCount);
  // The kernel's task for entries first ... end - 1 of gene g, over the branch tables filled last.
  BlockTask Task(const EvolModel& model, const PhylogeneticTree& tree, std::uint32_t g, std::uint32_t first,
                 std::uint32_t end, std::uint32_t pairs) const;
  // Each pair's prior weight, the product of its gain and loss categories' weights.
  void SetPrior(const RateCategories& gainCategories, const RateCategories& lossCategories);
  void Merge(const EStepBlock& block, EStepBlockResult& result, const AlignmentData& data,
             const PhylogeneticTree& tree, double& logLikelihood);
  // The blocks shared among the ranks of the communicator: this rank works its share into the
  // exchange buffer, the ranks swap their shares, and every rank merges every block in the blocks' order.
  template <typename Work>
  void ComputeShared(std::uint32_t threads, std::uint32_t resultCount, const Work& workBlock,
                     const AlignmentData& data, const PhylogeneticTree& tree, double& logLikelihood);

  EStepOptions options_;
  EStepScratch scratch_;
  PosteriorSums sums_;
  std::uint32_t blockLimit_ = 1;   // the most blocks an E-step of the prepared data has
  std::uint32_t poolThreads_ = 1;  // the threads the pool was started with (it may hold fewer)
  std::unique_ptr<WorkerPool> pool_;
};

}  // namespace vorn
