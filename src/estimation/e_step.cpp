#include "estimation/e_step.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/evol_model.h"
#include "estimation/rate_categories.h"

namespace vorn {

void PosteriorSums::Resize(std::uint32_t genes, std::uint32_t nodes, std::uint32_t gains, std::uint32_t losses) {
  geneCount = genes;
  nodeCount = nodes;
  gainCount = gains;
  lossCount = losses;
  pairCount = gains * losses;
  transitions.assign(static_cast<std::size_t>(genes) * nodes * 4 * pairCount, 0.0);
  categories.assign(static_cast<std::size_t>(genes) * pairCount, 0.0);
}

void PosteriorSums::Clear() {
  std::fill(transitions.begin(), transitions.end(), 0.0);
  std::fill(categories.begin(), categories.end(), 0.0);
  unobservedSites = 0;
}

EStep::EStep(const EStepOptions& options) : options_(options), pool_(std::make_unique<WorkerPool>(1)) {}

EStep::EStep(const EStep& other)
    : options_(other.options_),
      scratch_(other.scratch_),
      sums_(other.sums_),
      blockLimit_(other.blockLimit_),
      poolThreads_(other.poolThreads_),
      pool_(std::make_unique<WorkerPool>(other.poolThreads_)) {}

EStep& EStep::operator=(const EStep& other) {
  if (this == &other) return *this;
  scratch_ = other.scratch_;
  sums_ = other.sums_;
  blockLimit_ = other.blockLimit_;
  SetOptions(other.options_);
  return *this;
}

EStep::~EStep() = default;

void EStep::SetOptions(const EStepOptions& options) {
  options_ = options;
  StartThreads();
}

void EStep::StartThreads() {
  // Threads beyond the blocks of the data would never get work: the pool starts no more.
  const std::uint32_t threads = std::min(EffectiveThreadCount(options_.threadCount), blockLimit_);
  if (pool_ && threads == poolThreads_) return;
  pool_.reset();  // joins the old threads before the new ones start
  pool_ = std::make_unique<WorkerPool>(threads);
  poolThreads_ = threads;
}

void EStep::Prepare(const AlignmentData& data, const PhylogeneticTree& tree, std::uint32_t k, std::uint32_t m) {
  sums_.Resize(data.geneCount, tree.nodeCount, k, m);
  EStepScratch& s = scratch_;
  s.tiles = (k * m + kWidth - 1) / kWidth;
  s.Layout(tree);
  s.branch.assign(static_cast<std::size_t>(data.geneCount) * s.tiles * tree.nodeCount * kNode + kAlignmentSlack, 0.0);
  s.leafValues.assign(data.geneCount * s.LeafTableSize(tree.leafCount) + kAlignmentSlack, 0.0);
  s.leafPointers.assign(3 * static_cast<std::size_t>(data.geneCount) * tree.leafCount, nullptr);
  s.ones.assign(static_cast<std::size_t>(s.tiles) * kNode + kAlignmentSlack, 1.0);
  s.prior.assign(static_cast<std::size_t>(s.tiles) * kWidth, 0.0);
  // One thread's workspaces and one result; Compute adds those of more threads when it first
  // uses them.
  s.workspaces.assign(2, EStepWorkspace());
  for (EStepWorkspace& work : s.workspaces) work.Resize(tree.nodeCount, s.tiles, s.messageSlots);
  s.results.assign(1, EStepBlockResult());
  s.results[0].Resize(tree.nodeCount, s.tiles, kEStepBlockEntries);
  // The blocks of an E-step conditioned on presence, the most there can be: per gene those of
  // its entries and that of its unobserved sites.
  std::uint32_t blocks = 0;
  for (const Gene& gene : data.genes) {
    blocks += (gene.entryCount + kEStepBlockEntries - 1) / kEStepBlockEntries + 1;
  }
  blockLimit_ = std::max(1U, blocks);
  StartThreads();
}

void EStep::FillBranchTables(const EvolModel& model, const RateCategories& gainCategories,
                             const RateCategories& lossCategories, const PhylogeneticTree& tree, std::uint32_t g) {
  const std::uint32_t m = lossCategories.count, pairs = gainCategories.count * m;
  const std::vector<double>& rg = gainCategories.rates;
  const std::vector<double>& rl = lossCategories.rates;
  const std::size_t stride = static_cast<std::size_t>(scratch_.tiles) * kNode;
  double* branch = Aligned(scratch_.branch) + g * tree.nodeCount * stride;
  auto at = [](std::uint32_t c) { return c / kWidth * kNode + c % kWidth; };
  for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
    const double t = tree.branchLength[v];
    double* node = branch + scratch_.slot[v] * stride;
    for (std::uint32_t c = 0; c < pairs; ++c) {
      // G depends on the gain category alone and R on the loss category: each is computed once.
      node[at(c)] = c % m == 0 ? model.xi[v] * (1 - std::exp(-model.eta[g] * rg[c / m] * t)) : node[at(c - 1)];
      node[at(c) + kWidth] =
          c < m ? (1 - model.phi[v]) * std::exp(-model.theta[g] * rl[c] * t) : node[at(c - m) + kWidth];
    }
  }
  // Every leaf's values when it is absent, 1 - P; a present leaf's are P, the branch's own.
  double* leaves = Aligned(scratch_.leafValues) + g * scratch_.LeafTableSize(tree.leafCount);
  for (std::uint32_t j = 0; j < tree.leafCount; ++j) {
    const double* b = branch + scratch_.slot[tree.leafNodes[j]] * stride;
    double* q = leaves + j * stride;
    for (std::size_t i = 0; i < stride; ++i) q[i] = 1 - b[i];
    const double** pointers = &scratch_.leafPointers[3 * (static_cast<std::size_t>(g) * tree.leafCount + j)];
    pointers[0] = q;
    pointers[1] = b;
    pointers[2] = Aligned(scratch_.ones);
  }
}

void EStep::SizeWorkspaces(std::uint32_t threads, std::uint32_t resultCount, std::uint32_t nodeCount) {
  EStepScratch& scratch = scratch_;
  for (std::size_t w = scratch.workspaces.size(); w < 2 * threads; ++w) {
    scratch.workspaces.emplace_back();
    scratch.workspaces.back().Resize(nodeCount, scratch.tiles, scratch.messageSlots);
  }
  for (std::size_t r = scratch.results.size(); r < resultCount; ++r) {
    scratch.results.emplace_back();
    scratch.results.back().Resize(nodeCount, scratch.tiles, kEStepBlockEntries);
  }
}

void EStep::ListBlocks(const AlignmentData& data, bool conditionOnPresence, std::uint32_t leafCount) {
  // The entries in the genes' order, cut into blocks of at most kEStepBlockEntries per gene.
  scratch_.entries.clear();
  scratch_.blocks.clear();
  for (std::uint32_t g = 0; g < data.geneCount; ++g) {
    const Gene& gene = data.genes[g];
    const std::uint32_t first = static_cast<std::uint32_t>(scratch_.entries.size());
    for (std::uint32_t e = 0; e < gene.entryCount; ++e) {
      const std::uint8_t* pattern = data.patterns[gene.patternIndices[e]].values.data();
      scratch_.entries.push_back({pattern, static_cast<double>(gene.counts[e])});
    }
    const std::uint32_t end = static_cast<std::uint32_t>(scratch_.entries.size());
    for (std::uint32_t b = first; b < end; b += kEStepBlockEntries) {
      scratch_.blocks.push_back({g, b, std::min(end, b + kEStepBlockEntries)});
    }
    if (conditionOnPresence) {
      scratch_.absentPattern.assign(leafCount, 0);
      scratch_.entries.push_back({scratch_.absentPattern.data(), 1.0});
      scratch_.blocks.push_back({g, end, end + 1, true});
    }
  }
}

// Blocks join the sums in their order, whichever thread computed them: the transitions block by
// block, the log-likelihood and the category weights entry by entry.
void EStep::Merge(const EStepBlock& block, EStepBlockResult& result, const AlignmentData& data,
                  const PhylogeneticTree& tree, double& logLikelihood) {
  const std::uint32_t pairs = sums_.pairCount;
  // Truncated data (Dempster, Laird and Rubin 1977): a gene's n observed sites stand for n / (1 - P)
  // drawn ones, P the chance of absence at every leaf; the unobserved n P / (1 - P) are missing data
  // whose posteriors join the sums, and the likelihood of the observed ones is divided by (1 - P)^n.
  double scale = 1;
  if (block.unobserved) {
    const double logAbsent = result.entryLogLikelihood[0];
    const double observed = data.genes[block.gene].filteredSites;
    const double present = -std::expm1(logAbsent);  // 1 - P to full precision
    // P = 1 leaves the observed sites impossible: their own terms make the likelihood 0.
    scale = present > 0 ? observed * std::exp(logAbsent) / present : 0.0;
    result.entryLogLikelihood[0] = present > 0 ? -observed * std::log(present) : 0.0;
    for (std::uint32_t c = 0; c < pairs; ++c) result.entryCategories[c] *= scale;
    sums_.unobservedSites += scale;
  }
  // The block's sums are set back to 0 as they are taken, ready for the next block.
  const std::size_t sumStride = static_cast<std::size_t>(scratch_.tiles) * kSums;
  double* part = Aligned(result.transitions);
  for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
    double* node = part + scratch_.slot[v] * sumStride;
    for (int ab = 0; ab < 4; ++ab) {
      double* sum = &sums_.transitions[sums_.TransitionOffset(block.gene, v, ab / 2, ab % 2)];
      for (std::uint32_t first = 0; first < pairs; first += kWidth) {
        double* from = node + first / kWidth * kSums + (2 * (ab % 2) + ab / 2) * kWidth;
        for (std::uint32_t i = 0; i < kWidth && first + i < pairs; ++i) sum[first + i] += scale * from[i];
        for (std::uint32_t i = 0; i < kWidth; ++i) from[i] = 0;
      }
    }
  }
  double* categories = &sums_.categories[static_cast<std::size_t>(block.gene) * pairs];
  for (std::uint32_t e = 0; e < block.end - block.first; ++e) {
    for (std::uint32_t c = 0; c < pairs; ++c) categories[c] += result.entryCategories[e * pairs + c];
    logLikelihood += result.entryLogLikelihood[e];
  }
}

// A block's results travel packed as the transition sums of the aligned region, then the entries'
// log-likelihood terms and category weights, in a record of one size for every block.
template <typename Work>
void EStep::ComputeShared(std::uint32_t threads, std::uint32_t resultCount, const Work& workBlock,
                          const AlignmentData& data, const PhylogeneticTree& tree, double& logLikelihood) {
  EStepScratch& scratch = scratch_;
  EStepCommunicator& communicator = *options_.communicator;
  const std::uint32_t blockCount = static_cast<std::uint32_t>(scratch.blocks.size());
  const std::uint32_t ranks = communicator.Size();
  const std::size_t transitions = 4 * static_cast<std::size_t>(tree.nodeCount) * scratch.tiles * kWidth;
  const std::size_t entries = scratch.results[0].entryLogLikelihood.size();
  const std::size_t categories = scratch.results[0].entryCategories.size();
  const std::size_t record = transitions + entries + categories;
  // One buffer per thread, not per E-step: it holds every block's sums (92 MB for 1,000 leaves and
  // 18,000 patterns), and a fit keeps an E-step per start, whose shared E-steps run one at a time.
  // (The pool's threads write into it through this reference: they have buffers of their own.)
  static thread_local std::vector<double> buffer;
  std::vector<double>& exchange = buffer;
  exchange.resize(record * blockCount);
  std::vector<std::size_t> counts(ranks);
  for (std::uint32_t r = 0; r < ranks; ++r) {
    const BlockShare share = ShareOfBlocks(blockCount, r, ranks);
    counts[r] = record * (share.end - share.first);
  }
  const BlockShare mine = ShareOfBlocks(blockCount, communicator.Rank(), ranks);
  auto work = [&](std::uint32_t i, std::uint32_t participant, std::uint32_t slot) {
    workBlock(mine.first + i, participant, slot);
  };
  // The kernel adds into a result's transition sums, which must be 0 again for its next block.
  auto pack = [&](std::uint32_t i, std::uint32_t slot) {
    EStepBlockResult& result = scratch.results[slot];
    double* to = exchange.data() + record * (mine.first + i);
    double* from = Aligned(result.transitions);
    std::copy(from, from + transitions, to);
    std::fill(from, from + transitions, 0.0);
    std::copy(result.entryLogLikelihood.begin(), result.entryLogLikelihood.end(), to + transitions);
    std::copy(result.entryCategories.begin(), result.entryCategories.end(), to + transitions + entries);
  };
  RunInOrder(*pool_, std::max(1U, std::min(threads, mine.end - mine.first)), mine.end - mine.first, resultCount, work,
             pack);
  communicator.AllGather(exchange, counts);
  EStepBlockResult& result = scratch.results[0];
  for (std::uint32_t b = 0; b < blockCount; ++b) {
    const double* from = exchange.data() + record * b;
    std::copy(from, from + transitions, Aligned(result.transitions));
    std::copy(from + transitions, from + transitions + entries, result.entryLogLikelihood.begin());
    std::copy(from + transitions + entries, from + record, result.entryCategories.begin());
    Merge(scratch.blocks[b], result, data, tree, logLikelihood);
  }
}

void EStep::SetPrior(const RateCategories& gainCategories, const RateCategories& lossCategories) {
  const std::uint32_t k = gainCategories.count, m = lossCategories.count;
  for (std::uint32_t a = 0; a < k; ++a) {
    for (std::uint32_t b = 0; b < m; ++b) {
      scratch_.prior[a * m + b] = lossCategories.weights[b] * gainCategories.weights[a];
    }
  }
}

BlockTask EStep::Task(const EvolModel& model, const PhylogeneticTree& tree, std::uint32_t g, std::uint32_t first,
                      std::uint32_t end, std::uint32_t pairs) const {
  const std::size_t geneBranches = static_cast<std::size_t>(tree.nodeCount) * scratch_.tiles * kNode;
  return BlockTask{&scratch_,    Aligned(scratch_.branch) + g * geneBranches,
                   &scratch_.leafPointers[3 * static_cast<std::size_t>(g) * tree.leafCount],
                   tree.nodeCount, g, first, end, pairs, model.p0, 1 - model.p0, options_.scalingThreshold};
}

double EStep::Compute(const EvolModel& model, const RateCategories& gainCategories,
                      const RateCategories& lossCategories, bool conditionOnPresence, const AlignmentData& data,
                      const PhylogeneticTree& tree) {
  EStepScratch& scratch = scratch_;
  const std::uint32_t pairs = gainCategories.count * lossCategories.count;
  SetPrior(gainCategories, lossCategories);
  ListBlocks(data, conditionOnPresence, tree.leafCount);

  const std::uint32_t blockCount = static_cast<std::uint32_t>(scratch.blocks.size());
  // Every thread asked for, however small the E-step: the pool's threads are waiting already, and
  // handing one a block costs a few microseconds, where a block takes a hundred or more (two
  // threads take a third off an E-step of four blocks). Only more threads than blocks would idle.
  const std::uint32_t threads = std::max(1U, std::min(pool_->Size(), blockCount));
  // Each thread works one block at a time; a finished block waits for its turn to join the sums
  // in one of the spare results, so that threads seldom wait for each other.
  const std::uint32_t resultCount = threads == 1 ? 1 : 2 * threads;
  SizeWorkspaces(threads, resultCount, tree.nodeCount);

  std::atomic<std::uint32_t> nextGene{0};
  auto fill = [&](std::uint32_t) {
    for (std::uint32_t g; (g = nextGene.fetch_add(1)) < data.geneCount;) {
      FillBranchTables(model, gainCategories, lossCategories, tree, g);
    }
  };
  pool_->Share(std::min(threads, data.geneCount), fill);

  sums_.Clear();
  double logLikelihood = 0;
  const BlockFunction run = ChooseBlockFunction(options_.genericKernel);
  auto workBlock = [&](std::uint32_t b, std::uint32_t participant, std::uint32_t slot) {
    const EStepBlock& block = scratch.blocks[b];
    run(Task(model, tree, block.gene, block.first, block.end, pairs), &scratch.workspaces[2 * participant],
        scratch.results[slot]);
  };
  auto merge = [&](std::uint32_t b, std::uint32_t slot) {
    Merge(scratch.blocks[b], scratch.results[slot], data, tree, logLikelihood);
  };
  if (options_.communicator != nullptr && options_.communicator->Size() > 1) {
    ComputeShared(threads, resultCount, workBlock, data, tree, logLikelihood);
  } else {
    RunInOrder(*pool_, threads, blockCount, resultCount, workBlock, merge);
  }
  return logLikelihood;
}

}  // namespace vorn
