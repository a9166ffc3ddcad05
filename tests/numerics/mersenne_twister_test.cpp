#include "numerics/mersenne_twister.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

namespace vorn {

TEST(MersenneTwisterTest, ArraySeedingMatchesPublishedOutputs) {
  const std::uint32_t seed[] = {0x123, 0x234, 0x345, 0x456};
  const std::uint32_t expected[] = {1067595299U, 955945823U,  477289528U, 4107218783U, 4228976476U,
                                    3344332714U, 3355579695U, 227628506U, 810200273U,  2591290167U};
  MersenneTwister mt;
  mt.SeedFromArray(seed, 4);
  for (std::uint32_t word : expected) EXPECT_EQ(mt.NextWord(), word);
}

TEST(MersenneTwisterTest, SingleSeedMatchesStdMt19937AndTheDrawsStayInTheirRanges) {
  // Far past the first regeneration, against the standard library's MT19937.
  std::mt19937 reference(20261206U);
  MersenneTwister mt;
  mt.Initialize(20261206U);
  mt.Reload();
  for (int i = 0; i < 3000; ++i) ASSERT_EQ(mt.NextWord(), reference()) << "word " << i;
  std::set<std::uint32_t> seen;
  for (int i = 0; i < 2000; ++i) {
    EXPECT_EQ(mt.NextUpTo(0), 0U);
    const std::uint32_t r = mt.NextUpTo(5);
    ASSERT_LE(r, 5U);
    seen.insert(r);
    const double u = mt.NextHalfOpen();
    ASSERT_GE(u, 0.0);
    ASSERT_LT(u, 1.0);
  }
  EXPECT_EQ(seen.size(), 6U);  // both ends are reachable
}

TEST(MersenneTwisterTest, StandardGeneratorIsTheLinearCongruentialOne) {
  // x1 = 214013 + 2531011 = 2745024 -> 2745024 >> 16 = 41; the next values follow the same recurrence.
  SeedStandardRandom(1);
  EXPECT_EQ(StandardRandom(), 41);
  std::uint32_t x = 2745024U;
  for (int i = 0; i < 1000; ++i) {
    x = 214013U * x + 2531011U;
    ASSERT_EQ(StandardRandom(), static_cast<int>((x >> 16) & 32767U));
  }
}

}  // namespace vorn
