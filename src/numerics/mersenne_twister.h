// The random number generator every draw of a run uses.
#pragma once
#include <array>
#include <cstdint>

namespace vorn {

// MT19937 with 32-bit output. Every user owns one instance, seeded once (a run's users get theirs
// from NextGenerator or DerivedGenerator, numerics/run_seed.h); the state is undefined until
// Initialize and Reload, or SeedFromArray, has run.
class MersenneTwister {
 public:
  static constexpr int kStateSize = 624;

  void Initialize(std::uint32_t seed);
  void Reload();
  void SeedFromArray(const std::uint32_t* words, std::uint32_t count);

  std::uint32_t NextWord();
  std::uint32_t NextUpTo(std::uint32_t n);
  double NextClosed() { return NextWord() * 2.3283064370807974e-10; }
  double NextHalfOpen() { return NextWord() * 2.3283064365386963e-10; }

 private:
  std::array<std::uint32_t, kStateSize> state_{};
  int next_ = 0;
  int left_ = 0;
};

// The process-wide generator with outputs 0 ... 32767 (the linear congruential
// x <- 214013 x + 2531011 mod 2^32, output (x >> 16) & 32767). Seeded with the run's seed
// (SetRunSeed) and used only for the simulation's rate multipliers.
constexpr int kStandardRandomMax = 32767;
void SeedStandardRandom(std::uint32_t seed);
int StandardRandom();

}  // namespace vorn
