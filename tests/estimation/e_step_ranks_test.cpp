// The E-step shared among ranks gives the sums and log-likelihood of the E-step alone, bit for bit,
// for any number of ranks and threads per rank. The ranks here are threads of the test, each with an
// E-step of its own, joined by an exchange in shared memory: what a message-passing build does
// between processes, without the library.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/e_step.h"
#include "estimation/evol_model.h"
#include "estimation/rate_categories.h"
#include "numerics/run_seed.h"
#include "support/shared_memory_ranks.h"

namespace vorn {
namespace {

using testing_support::SharedMemoryRanks;

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
