// MT19937.
#include "numerics/mersenne_twister.h"

namespace vorn {
namespace {

constexpr int kMiddle = 397;
constexpr std::uint32_t kMatrixA = 0x9908b0dfU;
constexpr std::uint32_t kUpperMask = 0x80000000U;
constexpr std::uint32_t kLowerMask = 0x7fffffffU;

std::uint32_t standardState = 1;

}  // namespace

void MersenneTwister::Initialize(std::uint32_t seed) {
  state_[0] = seed;
  for (int i = 1; i < kStateSize; ++i) {
    state_[i] = 1812433253U * (state_[i - 1] ^ (state_[i - 1] >> 30)) + static_cast<std::uint32_t>(i);
  }
}

void MersenneTwister::Reload() {
  for (int i = 0; i < kStateSize; ++i) {
    const std::uint32_t following = state_[(i + 1) % kStateSize];
    const std::uint32_t y = (state_[i] & kUpperMask) | (following & kLowerMask);
    state_[i] = state_[(i + kMiddle) % kStateSize] ^ (y >> 1) ^ ((following & 1U) ? kMatrixA : 0U);
  }
  next_ = 0;
  left_ = kStateSize;
}

void MersenneTwister::SeedFromArray(const std::uint32_t* words, std::uint32_t count) {
  Initialize(19650218U);
  int i = 1;
  std::uint32_t j = 0;
  const std::uint32_t rounds = count > kStateSize ? count : kStateSize;
  for (std::uint32_t k = 0; k < rounds; ++k) {
    state_[i] = (state_[i] ^ ((state_[i - 1] ^ (state_[i - 1] >> 30)) * 1664525U)) + words[j] + j;
    ++i;
    ++j;
    if (i >= kStateSize) {
      state_[0] = state_[kStateSize - 1];
      i = 1;
    }
    if (j >= count) j = 0;
  }
  for (int k = 0; k < kStateSize - 1; ++k) {
    state_[i] = (state_[i] ^ ((state_[i - 1] ^ (state_[i - 1] >> 30)) * 1566083941U)) - static_cast<std::uint32_t>(i);
    ++i;
    if (i >= kStateSize) {
      state_[0] = state_[kStateSize - 1];
      i = 1;
    }
  }
  state_[0] = kUpperMask;
  Reload();
}

std::uint32_t MersenneTwister::NextWord() {
  if (left_ == 0) Reload();
  --left_;
  std::uint32_t y = state_[next_++];
  y ^= y >> 11;
  y ^= (y << 7) & 0x9d2c5680U;
  y ^= (y << 15) & 0xefc60000U;
  return y ^ (y >> 18);
}

std::uint32_t MersenneTwister::NextUpTo(std::uint32_t n) {
  std::uint32_t mask = n;
  mask |= mask >> 1;
  mask |= mask >> 2;
  mask |= mask >> 4;
  mask |= mask >> 8;
  mask |= mask >> 16;
  std::uint32_t r;
  do {
    r = NextWord() & mask;
  } while (r > n);
  return r;
}

void SeedStandardRandom(std::uint32_t seed) { standardState = seed; }

int StandardRandom() {
  standardState = 214013U * standardState + 2531011U;
  return static_cast<int>((standardState >> 16) & 32767U);
}

}  // namespace vorn
