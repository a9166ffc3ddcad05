#pragma once
#include <array>
#include <cstdint>

namespace vorn {

// MT19937 with 32-bit output. Every user owns one instance and seeds it once; the state is
// undefined until one of the seeding operations (each ends with Reload) has run.
class MersenneTwister {
 public:
  static constexpr int kStateSize = 624;

  void Initialize(std::uint32_t seed);
  void Reload();
  void SeedFromArray(const std::uint32_t* words, std::uint32_t count);
  // Seeds from the operating system's entropy, or silently from the clock when none is available.
  // A test may install a deterministic source instead (see SetEntropySeedForTesting).
  void SeedFromEntropy();
  static std::uint32_t TimeClockHash(std::uint32_t time, std::uint32_t clock);

  std::uint32_t NextWord();
  std::uint32_t NextUpTo(std::uint32_t n);
  double NextClosed() { return NextWord() * 2.3283064370807974e-10; }
  double NextHalfOpen() { return NextWord() * 2.3283064365386963e-10; }

 private:
  std::array<std::uint32_t, kStateSize> state_{};
  int next_ = 0;
  int left_ = 0;
};

// Test seam: while enabled, SeedFromEntropy seeds each generator from a deterministic sequence
// (base seed, then base seed + 1, ...) instead of the operating system's entropy, so whole runs
// repeat exactly. Not reachable from the command line.
void SetEntropySeedForTesting(std::uint32_t baseSeed);
void ClearEntropySeedForTesting();

// The process-wide generator with outputs 0 ... 32767 (the linear congruential
// x <- 214013 x + 2531011 mod 2^32, output (x >> 16) & 32767). Seeded once by the driver and
// used only for the simulation's rate multipliers.
constexpr int kStandardRandomMax = 32767;
void SeedStandardRandom(std::uint32_t seed);
int StandardRandom();
// Test seam: while set, the driver's clock seeding is replaced by this seed.
void SetStandardSeedForTesting(std::uint32_t seed);
void ClearStandardSeedForTesting();
// The seed the driver uses: the override when set, else the given clock value.
std::uint32_t StandardSeedOr(std::uint32_t clockSeed);

}  // namespace vorn
