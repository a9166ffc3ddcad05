// Generators derived from the run's seed.
#include "numerics/run_seed.h"

#include <map>

namespace vorn {
namespace {

std::uint32_t runSeed = 0;
std::map<RandomPurpose, std::uint32_t> nextIndex;

}  // namespace

void SetRunSeed(std::uint32_t seed) {
  runSeed = seed;
  nextIndex.clear();
  SeedStandardRandom(seed);
}

std::uint32_t RunSeed() { return runSeed; }

MersenneTwister DerivedGenerator(RandomPurpose purpose, std::uint32_t index) {
  const std::uint32_t words[] = {runSeed, static_cast<std::uint32_t>(purpose), index};
  MersenneTwister random;
  random.SeedFromArray(words, 3);
  return random;
}

MersenneTwister NextGenerator(RandomPurpose purpose) { return DerivedGenerator(purpose, nextIndex[purpose]++); }

}  // namespace vorn
