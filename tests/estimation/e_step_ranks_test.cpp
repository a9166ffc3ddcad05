// The E-step shared among ranks gives the sums and log-likelihood of the E-step alone, bit for bit,
// for any number of ranks and threads per rank. The ranks here are threads of the test, each with an
// E-step of its own, joined by an exchange in shared memory: what a message-passing build does
// between processes, without the library.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/e_step.h"
#include "estimation/evol_model.h"
#include "estimation/rate_categories.h"
#include "numerics/run_seed.h"

namespace vorn {
namespace {

// Ranks in one process: each copies its part into a common buffer, waits for all, copies them back.
class SharedMemoryRanks {
 public:
  explicit SharedMemoryRanks(std::uint32_t ranks) : ranks_(ranks) {
    for (std::uint32_t r = 0; r < ranks; ++r) views_.emplace_back(this, r);
  }
  EStepCommunicator* View(std::uint32_t rank) { return &views_[rank]; }

 private:
  class RankView final : public EStepCommunicator {
   public:
    RankView(SharedMemoryRanks* all, std::uint32_t rank) : all_(all), rank_(rank) {}
    std::uint32_t Rank() const override { return rank_; }
    std::uint32_t Size() const override { return all_->ranks_; }
    void AllGather(std::vector<double>& buffer, const std::vector<std::size_t>& counts) override {
      all_->Gather(buffer, counts, rank_);
    }

   private:
    SharedMemoryRanks* all_;
    std::uint32_t rank_;
  };

  void Gather(std::vector<double>& buffer, const std::vector<std::size_t>& counts, std::uint32_t rank) {
    std::size_t offset = 0;
    for (std::uint32_t r = 0; r < rank; ++r) offset += counts[r];
    std::unique_lock<std::mutex> lock(mutex_);
    if (common_.size() != buffer.size()) common_.assign(buffer.size(), 0.0);
    std::copy(buffer.begin() + offset, buffer.begin() + offset + counts[rank], common_.begin() + offset);
    Wait(lock);
    std::copy(common_.begin(), common_.end(), buffer.begin());
    Wait(lock);  // nobody may refill the buffer before every rank has read it
  }
  void Wait(std::unique_lock<std::mutex>& lock) {
    const std::uint64_t generation = generation_;
    if (++arrived_ == ranks_) {
      arrived_ = 0;
      ++generation_;
      all_.notify_all();
    } else {
      all_.wait(lock, [&] { return generation_ != generation; });
    }
  }

  std::uint32_t ranks_, arrived_ = 0;
  std::uint64_t generation_ = 0;
  std::mutex mutex_;
  std::condition_variable all_;
  std::vector<double> common_;
  std::vector<RankView> views_;
};

struct Problem {
  PhylogeneticTree tree;
  AlignmentData data;
  EvolModel model;
  RateCategories gain, loss;
};

// Two genes of several blocks each (blocks hold 256 entries), so that the shares cut through genes.
void MakeProblem(std::uint32_t seed, Problem& p) {
  std::mt19937 random(seed);
  auto uniform = [&random](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(random); };
  const std::uint32_t leaves = 12, genes = 2;
  SetRunSeed(seed);
  p.tree.GenerateRandomTree(leaves, 1.0);
  p.data.PrepareForSimulation(leaves, genes);
  std::vector<std::uint8_t> values(leaves);
  for (std::uint32_t g = 0; g < genes; ++g) {
    for (int s = 0; s < 700 + 300 * static_cast<int>(g); ++s) {
      for (auto& v : values) v = static_cast<std::uint8_t>(random() % 7 == 0 ? 2 : random() % 2);
      p.data.AddSite(values.data(), g);
    }
  }
  p.model.Resize(p.tree.nodeCount, genes);
  p.model.p0 = uniform(0.2, 0.8);
  for (std::uint32_t g = 0; g < genes; ++g) {
    p.model.theta[g] = uniform(0.1, 2);
    p.model.eta[g] = uniform(0.1, 2);
  }
  for (std::uint32_t v = 1; v < p.tree.nodeCount; ++v) {
    p.model.phi[v] = uniform(0, 0.3);
    p.model.xi[v] = uniform(0.2, 1);
  }
  p.loss.InitLossCategories(3);
  p.loss.SetLossRates(1.5);
  p.gain.InitGainCategories(4);
  p.gain.SetGainRates(0.8, 0.2);
}

struct Outcome {
  double logLikelihood = 0;
  PosteriorSums sums;
};

Outcome RunEStep(const Problem& p, bool conditioned, std::uint32_t threads, EStepCommunicator* communicator) {
  EStepOptions options;
  options.threadCount = threads;
  options.communicator = communicator;
  EStep eStep(options);
  eStep.Prepare(p.data, p.tree, p.gain.count, p.loss.count);
  Outcome outcome;
  // Twice, so that a second E-step finds the scratch as the first left it.
  for (int round = 0; round < 2; ++round) {
    outcome.logLikelihood = eStep.Compute(p.model, p.gain, p.loss, conditioned, p.data, p.tree);
  }
  outcome.sums = eStep.Sums();
  return outcome;
}

TEST(EStepRanksTest, ShareOfBlocksCoversEveryBlockOnceInOrder) {
  // 7 blocks over 3 ranks: 3, 2, 2; 2 blocks over 3 ranks: 1, 1, 0.
  EXPECT_EQ(ShareOfBlocks(7, 0, 3).first, 0U);
  EXPECT_EQ(ShareOfBlocks(7, 0, 3).end, 3U);
  EXPECT_EQ(ShareOfBlocks(7, 1, 3).end, 5U);
  EXPECT_EQ(ShareOfBlocks(7, 2, 3).first, 5U);
  EXPECT_EQ(ShareOfBlocks(7, 2, 3).end, 7U);
  EXPECT_EQ(ShareOfBlocks(2, 2, 3).first, 2U);
  EXPECT_EQ(ShareOfBlocks(2, 2, 3).end, 2U);
}

TEST(EStepRanksTest, AnyRanksAndThreadsGiveTheSingleProcessResultsBitForBit) {
  Problem p;
  MakeProblem(31, p);
  ASSERT_GT(p.data.genes[0].entryCount, 256U);  // more than one block per gene
  for (bool conditioned : {false, true}) {
    SCOPED_TRACE(conditioned ? "conditioned on presence" : "unconditioned");
    const Outcome alone = RunEStep(p, conditioned, 1, nullptr);
    ASSERT_TRUE(std::isfinite(alone.logLikelihood));
    for (std::uint32_t ranks : {1U, 2U, 3U, 5U}) {
      for (std::uint32_t threads : {1U, 2U}) {
        SCOPED_TRACE(testing::Message() << ranks << " ranks of " << threads << " threads");
        SharedMemoryRanks shared(ranks);
        std::vector<Outcome> outcomes(ranks);
        std::vector<std::thread> rankThreads;
        for (std::uint32_t r = 0; r < ranks; ++r) {
          rankThreads.emplace_back([&, r] { outcomes[r] = RunEStep(p, conditioned, threads, shared.View(r)); });
        }
        for (std::thread& t : rankThreads) t.join();
        for (const Outcome& outcome : outcomes) {
          EXPECT_EQ(outcome.logLikelihood, alone.logLikelihood);
          EXPECT_EQ(outcome.sums.transitions, alone.sums.transitions);
          EXPECT_EQ(outcome.sums.categories, alone.sums.categories);
          EXPECT_EQ(outcome.sums.unobservedSites, alone.sums.unobservedSites);
        }
      }
    }
  }
}

}  // namespace
}  // namespace vorn
