#include "numerics/run_seed.h"

#include <gtest/gtest.h>

#include <set>

namespace vorn {

TEST(RunSeedTest, DerivationIsArraySeedingOfSeedPurposeAndIndex) {
  // Python's random.Random(20261206 + (5 << 32) + (2 << 64)) seeds MT19937 from the same three
  // words (its init_by_array takes an integer seed's 32-bit digits, lowest first); its first
  // getrandbits(32) values:
  const std::uint32_t expected[] = {222583717U, 4107632414U, 2717718469U};
  SetRunSeed(20261206);
  EXPECT_EQ(RunSeed(), 20261206U);
  MersenneTwister random = DerivedGenerator(RandomPurpose::kSimulation, 2);
  for (std::uint32_t word : expected) EXPECT_EQ(random.NextWord(), word);
}

TEST(RunSeedTest, PurposesNeverShiftEachOther) {
  SetRunSeed(5);
  const std::uint32_t alone[] = {NextGenerator(RandomPurpose::kSimulation).NextWord(),
                                 NextGenerator(RandomPurpose::kSimulation).NextWord()};
  SetRunSeed(5);  // restarts the counts: the same run again, now with other draws in between
  for (int i = 0; i < 3; ++i) NextGenerator(RandomPurpose::kInitialization);
  EXPECT_EQ(NextGenerator(RandomPurpose::kSimulation).NextWord(), alone[0]);
  NextGenerator(RandomPurpose::kParameterDraws);
  EXPECT_EQ(NextGenerator(RandomPurpose::kSimulation).NextWord(), alone[1]);
  EXPECT_EQ(DerivedGenerator(RandomPurpose::kSimulation, 1).NextWord(), alone[1]);  // the count's index
}

TEST(RunSeedTest, EverySeedPurposeAndIndexStartsElsewhere) {
  std::set<std::uint32_t> firstWords;
  for (std::uint32_t seed : {0U, 1U, 4294967295U}) {
    SetRunSeed(seed);
    for (RandomPurpose purpose : {RandomPurpose::kSiteCounts, RandomPurpose::kRandomTree,
                                  RandomPurpose::kParameterDraws, RandomPurpose::kInitialization,
                                  RandomPurpose::kSimulation}) {
      for (std::uint32_t index = 0; index < 4; ++index) firstWords.insert(DerivedGenerator(purpose, index).NextWord());
    }
  }
  EXPECT_EQ(firstWords.size(), 60U);  // a coincidence among 60 words has a chance below 1e-6
}

TEST(RunSeedTest, TheSeedAlsoSeedsTheStandardGenerator) {
  SetRunSeed(1);
  EXPECT_EQ(StandardRandom(), 41);  // (214013 * 1 + 2531011) >> 16
}

}  // namespace vorn
