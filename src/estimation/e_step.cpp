#include "estimation/e_step.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <type_traits>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/ancestral.h"
#include "estimation/em.h"

namespace vorn {
namespace {

// Conditional values of a deep tree shrink by a factor for every level; below 2^-256 a node's
// pair of values is brought back to [0.5, 1) by an exact power of two. The root step multiplies
// three such values, so the products stay far above the smallest normal double (2^-1022).
constexpr double kScalingThreshold = 0x1p-256;
constexpr double kLn2 = 0.6931471805599453;

// Doubles per node and tile: both states' lanes (one cache line), and the four state pairs' sums.
constexpr std::size_t kNode = 2 * kWidth;
constexpr std::size_t kSums = 4 * kWidth;

double& ScalingThreshold() {
  static double threshold = kScalingThreshold;
  return threshold;
}

// The node updates (entries x category pairs x nodes) below which one more thread does not pay.
constexpr double kWorkPerThread = 2e6;

double& WorkPerThread() {
  static double work = kWorkPerThread;
  return work;
}

bool& GenericKernelForced() {
  static bool forced = false;
  return forced;
}

// The first element of a vector that lies on a cache line boundary; every vector read this way
// is sized with kAlignmentSlack extra elements.
template <typename T>
T* Aligned(std::vector<T>& values) {
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(values.data());
  return values.data() + (64 - address % 64) % 64 / sizeof(T);
}
template <typename T>
const T* Aligned(const std::vector<T>& values) {
  return Aligned(const_cast<std::vector<T>&>(values));
}
constexpr std::size_t kAlignmentSlack = 8;

struct BlockTask {
  const EStepScratch* scratch;
  const double* branch;               // the gene's branch probabilities: [slot][tile]
  const double* const* leafPointers;  // the gene's leaf j's values when it shows x (2: unknown) at 3 j + x
  std::uint32_t nodeCount;
  std::uint32_t gene, first, end;  // entries first ... end - 1 of the scratch's list
  std::uint32_t pairCount;
  double rootAbsent, rootPresent;  // p0, 1 - p0
  double threshold;
};

// Everything below is inlined into the two block functions at the end of this namespace, one
// compiled for the generic target and one for AVX2. The pairs are cut into tiles of kWidth lanes;
// node arrays are laid out [slot][tile][state][lane], and the passes walk the tree once, each
// node tile by tile, so that the work on one node and tile is a loop over kWidth lanes. "GCC
// unroll 1" keeps the compiler from unrolling those short loops into scalar code before it
// vectorises them: each becomes a few whole-vector operations (two halves on the generic
// target). Without FMA (-ffp-contract=off, no "fma" target) every lane computes exactly what the
// scalar loop computes, so both targets give the same bits.
//
// A node's tile holds lanes [0, kWidth) for the absent state and [kWidth, 2 kWidth) for the
// present state: q (the leaves below v given the state of the parent of v), the branch
// probabilities (G, R), and the downward messages out (the weighted probability of the leaves
// outside the subtree of v and of each state of the parent of v). Its sums hold the four state
// pairs (a, b) of the branch above v in the order 00, 10, 01, 11, so that the two that a leaf
// observed as b adds to share one cache line.

// One inner node of the upward pass; with Check, low[i] becomes nonzero when lane i fell below
// the threshold.
template <bool Check>
[[gnu::always_inline]] inline void UpwardNode(const double* __restrict branch, const double* __restrict qy,
                                              const double* __restrict qz, double* __restrict q, double threshold,
                                              std::int64_t* __restrict low) {
#pragma GCC unroll 1
  for (std::size_t i = 0; i < kWidth; ++i) {
    const double absentBelow = qy[i] * qz[i], presentBelow = qy[kWidth + i] * qz[kWidth + i];
    const double gain = branch[i], keep = branch[kWidth + i];
    const double absent = (1 - gain) * absentBelow + gain * presentBelow;
    const double present = (1 - keep) * absentBelow + keep * presentBelow;
    q[i] = absent;
    q[kWidth + i] = present;
    if constexpr (Check) low[i] |= (absent < threshold) & (present < threshold);  // 64-bit: vectorises
  }
}

// UpwardNode<false> for two entries side by side, a and b, loading the branch probabilities once.
[[gnu::always_inline]] inline void UpwardNodes(const double* __restrict branch, const double* __restrict qya,
                                               const double* __restrict qza, double* __restrict qa,
                                               const double* __restrict qyb, const double* __restrict qzb,
                                               double* __restrict qb) {
#pragma GCC unroll 1
  for (std::size_t i = 0; i < kWidth; ++i) {
    const double gain = branch[i], keep = branch[kWidth + i];
    const double absentBelowA = qya[i] * qza[i], presentBelowA = qya[kWidth + i] * qza[kWidth + i];
    const double absentBelowB = qyb[i] * qzb[i], presentBelowB = qyb[kWidth + i] * qzb[kWidth + i];
    qa[i] = (1 - gain) * absentBelowA + gain * presentBelowA;
    qa[kWidth + i] = (1 - keep) * absentBelowA + keep * presentBelowA;
    qb[i] = (1 - gain) * absentBelowB + gain * presentBelowB;
    qb[kWidth + i] = (1 - keep) * absentBelowB + keep * presentBelowB;
  }
}

// h = sum over the root's state a of p(a) * Q_a(second child) * Q_a(first child), with the first
// child's values from its children as in the upward pass (before any rescaling of its own), or a
// leaf's values (child0 a leaf, child1 null).
[[gnu::always_inline]] inline void RootLikelihood(double rootAbsent, double rootPresent,
                                                  const double* __restrict other, const double* __restrict branch,
                                                  const double* __restrict child0, const double* __restrict child1,
                                                  double* __restrict h) {
  if (!child1) {
#pragma GCC unroll 1
    for (std::size_t i = 0; i < kWidth; ++i) {
      h[i] = rootAbsent * other[i] * child0[i] + rootPresent * other[kWidth + i] * child0[kWidth + i];
    }
    return;
  }
#pragma GCC unroll 1
  for (std::size_t i = 0; i < kWidth; ++i) {
    const double absentBelow = child0[i] * child1[i], presentBelow = child0[kWidth + i] * child1[kWidth + i];
    const double absent = (1 - branch[i]) * absentBelow + branch[i] * presentBelow;
    const double present = (1 - branch[kWidth + i]) * absentBelow + branch[kWidth + i] * presentBelow;
    h[i] = rootAbsent * other[i] * absent + rootPresent * other[kWidth + i] * present;
  }
}

// The root's messages to its two children: factor * p(a) * Q_a(other child).
[[gnu::always_inline]] inline void RootMessages(double rootAbsent, double rootPresent, const double* __restrict factor,
                                                const double* __restrict q1, const double* __restrict q2,
                                                double* __restrict out1, double* __restrict out2) {
#pragma GCC unroll 1
  for (std::size_t i = 0; i < kWidth; ++i) {
    out1[i] = factor[i] * (rootAbsent * q2[i]);
    out1[kWidth + i] = factor[i] * (rootPresent * q2[kWidth + i]);
    out2[i] = factor[i] * (rootAbsent * q1[i]);
    out2[kWidth + i] = factor[i] * (rootPresent * q1[kWidth + i]);
  }
}

// One inner node v of the downward pass. With B_b = q_b(y) q_b(z) the leaves below v given its
// state b, the weighted transition posterior of the branch above v is out_a(v) P(a -> b) B_b; the
// messages to the children are d_b q_b(sibling), with d_b = sum over a of out_a(v) P(a -> b).
// Products only: no division, so no conditional value, however small, can make them overflow.
[[gnu::always_inline]] inline void DownwardNode(const double* __restrict branch, const double* __restrict qy,
                                                const double* __restrict qz, const double* __restrict out,
                                                double* __restrict outy, double* __restrict outz,
                                                double* __restrict sums) {
#pragma GCC unroll 1
  for (std::size_t i = 0; i < kWidth; ++i) {
    const double absentBelow = qy[i] * qz[i], presentBelow = qy[kWidth + i] * qz[kWidth + i];
    const double gain = branch[i], keep = branch[kWidth + i];
    const double stay = out[i] * (1 - gain), gained = out[i] * gain;
    const double lost = out[kWidth + i] * (1 - keep), kept = out[kWidth + i] * keep;
    sums[i] += stay * absentBelow;
    sums[kWidth + i] += lost * absentBelow;
    sums[2 * kWidth + i] += gained * presentBelow;
    sums[3 * kWidth + i] += kept * presentBelow;
    const double toAbsent = stay + lost, toPresent = gained + kept;
    outy[i] = toAbsent * qz[i];
    outy[kWidth + i] = toPresent * qz[kWidth + i];
    outz[i] = toAbsent * qy[i];
    outz[kWidth + i] = toPresent * qy[kWidth + i];
  }
}

// DownwardNode for two entries side by side, a and b: the branch probabilities are loaded once,
// and every sum takes a's term and then b's.
[[gnu::always_inline]] inline void DownwardNodes(const double* __restrict branch, const double* __restrict qya,
                                                 const double* __restrict qza, const double* __restrict outa,
                                                 double* __restrict outya, double* __restrict outza,
                                                 const double* __restrict qyb, const double* __restrict qzb,
                                                 const double* __restrict outb, double* __restrict outyb,
                                                 double* __restrict outzb, double* __restrict sums) {
#pragma GCC unroll 1
  for (std::size_t i = 0; i < kWidth; ++i) {
    const double gain = branch[i], keep = branch[kWidth + i];
    const double absentBelowA = qya[i] * qza[i], presentBelowA = qya[kWidth + i] * qza[kWidth + i];
    const double stayA = outa[i] * (1 - gain), gainedA = outa[i] * gain;
    const double lostA = outa[kWidth + i] * (1 - keep), keptA = outa[kWidth + i] * keep;
    const double absentBelowB = qyb[i] * qzb[i], presentBelowB = qyb[kWidth + i] * qzb[kWidth + i];
    const double stayB = outb[i] * (1 - gain), gainedB = outb[i] * gain;
    const double lostB = outb[kWidth + i] * (1 - keep), keptB = outb[kWidth + i] * keep;
    sums[i] = sums[i] + stayA * absentBelowA + stayB * absentBelowB;
    sums[kWidth + i] = sums[kWidth + i] + lostA * absentBelowA + lostB * absentBelowB;
    sums[2 * kWidth + i] = sums[2 * kWidth + i] + gainedA * presentBelowA + gainedB * presentBelowB;
    sums[3 * kWidth + i] = sums[3 * kWidth + i] + keptA * presentBelowA + keptB * presentBelowB;
    const double toAbsentA = stayA + lostA, toPresentA = gainedA + keptA;
    outya[i] = toAbsentA * qza[i];
    outya[kWidth + i] = toPresentA * qza[kWidth + i];
    outza[i] = toAbsentA * qya[i];
    outza[kWidth + i] = toPresentA * qya[kWidth + i];
    const double toAbsentB = stayB + lostB, toPresentB = gainedB + keptB;
    outyb[i] = toAbsentB * qzb[i];
    outyb[kWidth + i] = toPresentB * qzb[kWidth + i];
    outzb[i] = toAbsentB * qyb[i];
    outzb[kWidth + i] = toPresentB * qyb[kWidth + i];
  }
}

// A leaf's weighted transition posteriors, tile by tile: out_a P(a -> b) for the states its
// value allows.
[[gnu::always_inline]] inline void LeafPosterior(std::uint8_t value, std::size_t tiles, const double* __restrict branch,
                                                 const double* __restrict q, const double* __restrict out,
                                                 double* __restrict sums) {
  if (value <= 1) {
    // q holds the chances of the value, P(0 -> value) and P(1 -> value).
    double* __restrict toValue = sums + 2 * value * kWidth;
    for (std::size_t t = 0; t < tiles; ++t) {
#pragma GCC unroll 1
      for (std::size_t i = 0; i < kWidth; ++i) {
        toValue[t * kSums + i] += out[t * kNode + i] * q[t * kNode + i];
        toValue[t * kSums + kWidth + i] += out[t * kNode + kWidth + i] * q[t * kNode + kWidth + i];
      }
    }
    return;
  }
  for (std::size_t t = 0; t < tiles; ++t) {
#pragma GCC unroll 1
    for (std::size_t i = 0; i < kWidth; ++i) {
      const double gain = branch[t * kNode + i], keep = branch[t * kNode + kWidth + i];
      const double absent = out[t * kNode + i], present = out[t * kNode + kWidth + i];
      sums[t * kSums + i] += absent * (1 - gain);
      sums[t * kSums + kWidth + i] += present * (1 - keep);
      sums[t * kSums + 2 * kWidth + i] += absent * gain;
      sums[t * kSums + 3 * kWidth + i] += present * keep;
    }
  }
}

bool Any(const std::int64_t* low) {
  std::int64_t any = 0;
  for (std::size_t i = 0; i < kWidth; ++i) any |= low[i];
  return any != 0;
}

// Brings the lanes of the node in `slot` whose two values are both below the threshold to
// [0.5, 1), exactly, and records the exponents: the node's own, and per pair the total and those
// of the root's two children.
void Rescale(EStepWorkspace& work, const EStepScratch& scratch, std::uint32_t slot, double* q, double threshold) {
  if (!work.scaled) {
    work.scaled = true;
    std::fill(work.exponent.begin(), work.exponent.end(), 0);
    std::fill(work.firstChildExponent.begin(), work.firstChildExponent.end(), 0);
    std::fill(work.secondChildExponent.begin(), work.secondChildExponent.end(), 0);
  }
  work.rescaled[slot] = 1;
  const std::size_t lanes = static_cast<std::size_t>(scratch.tiles) * kWidth;
  int* own = &work.ownExponent[slot * lanes];
  for (std::size_t c = 0; c < lanes; ++c) {
    own[c] = 0;
    double* absent = &q[c / kWidth * kNode + c % kWidth];
    double* present = absent + kWidth;
    const double largest = std::max(*absent, *present);
    if (!(largest < threshold) || largest == 0) continue;
    int e;
    std::frexp(largest, &e);
    *absent = std::ldexp(*absent, -e);
    *present = std::ldexp(*present, -e);
    own[c] = -e;
    work.exponent[c] -= e;
    if (slot == scratch.rootChildren[0]) work.firstChildExponent[c] = -e;
    if (slot == scratch.rootChildren[1]) work.secondChildExponent[c] = -e;
  }
}

// The values of a node given its parent's state: an inner node's from the entry's array; a
// leaf's, the chance of its observed value, are 1 - P for an absent leaf (from the gene's table,
// made once per E-step), P for a present one (the branch's own values) and 1 for an unknown one.
// The choice is an index into the gene's leaf pointers, not a jump that the data would make hard
// to predict.
[[gnu::always_inline]] inline const double* Values(const BlockTask& task, const double* q, const std::uint8_t* pattern,
                                                   std::uint32_t slot, std::uint32_t position, std::size_t stride) {
  if (position == kInner) return q + slot * stride;
  const std::uint8_t value = pattern[position];
  return task.leafPointers[3 * position + (value < 2 ? value : 2)];
}

// The root step: at most three scaled values meet in one product, so it needs no logarithms.
[[gnu::always_inline]] inline void RootLikelihoods(const BlockTask& task, const double* branch, const double* q,
                                                   const std::uint8_t* pattern, EStepWorkspace& work) {
  const EStepScratch& scratch = *task.scratch;
  const std::size_t tiles = scratch.tiles, stride = tiles * kNode;
  const double* other = Values(task, q, pattern, scratch.rootChildren[1], scratch.rootLeaves[1], stride);
  const double* child0 = scratch.rootLeaves[0] != kInner
                             ? Values(task, q, pattern, scratch.rootChildren[0], scratch.rootLeaves[0], stride)
                             : Values(task, q, pattern, scratch.firstChildren[0], scratch.firstChildLeaves[0], stride);
  const double* child1 = scratch.rootLeaves[0] != kInner
                             ? nullptr
                             : Values(task, q, pattern, scratch.firstChildren[1], scratch.firstChildLeaves[1], stride);
  const double* b = branch + scratch.rootChildren[0] * stride;
  for (std::size_t t = 0; t < tiles; ++t) {
    RootLikelihood(task.rootAbsent, task.rootPresent, other + t * kNode, b + t * kNode, child0 + t * kNode,
                   child1 ? child1 + t * kNode : nullptr, &work.likelihood[t * kWidth]);
  }
}

// The upward pruning pass: q of every node but the root, and h of every pair. The likelihood
// of the leaves below any node is at least h, and it is at most the larger of the node's two
// values: so when every pair's h is at least twice the threshold, no node can have fallen below
// it, and a first walk that does not look is exact. Otherwise (or at once, while entries keep
// needing it) a careful walk rescales node by node. Two entries that expect no rescaling take
// the first walk side by side, sharing the loads of the branch probabilities.
template <bool Two>
[[gnu::always_inline]] inline void ConditionalLikelihoods(const BlockTask& task, const double* branch,
                                                          const std::uint8_t* const* patterns,
                                                          EStepWorkspace* const* works) {
  const EStepScratch& scratch = *task.scratch;
  const std::size_t tiles = scratch.tiles, stride = tiles * kNode;
  const std::uint32_t* step = scratch.upSteps.data();
  const std::size_t steps = scratch.upSteps.size();
  auto careful = [&](const std::uint8_t* pattern, EStepWorkspace& work) __attribute__((always_inline)) {
    double* q = Aligned(work.conditional);
    for (std::size_t s = 0; s < steps; s += 5) {
      const double* b = branch + step[s] * stride;
      const double* y = Values(task, q, pattern, step[s + 1], step[s + 3], stride);
      const double* z = Values(task, q, pattern, step[s + 2], step[s + 4], stride);
      double* v = q + step[s] * stride;
      std::int64_t low[kWidth] = {};
      for (std::size_t t = 0; t < tiles; ++t) {
        UpwardNode<true>(b + t * kNode, y + t * kNode, z + t * kNode, v + t * kNode, task.threshold, low);
      }
      if (Any(low)) Rescale(work, scratch, step[s], v, task.threshold);
    }
    RootLikelihoods(task, branch, q, pattern, work);
    work.expectRescaling = work.scaled;
  };
  auto safe = [&](const EStepWorkspace& work) {
    bool safe = true;
    for (std::uint32_t c = 0; c < task.pairCount; ++c) safe &= work.likelihood[c] >= 2 * task.threshold;
    return safe;
  };
  constexpr int kEntries = Two ? 2 : 1;
  bool fast = true;
  for (int k = 0; k < kEntries; ++k) fast &= !works[k]->expectRescaling;
  if (!fast) {
    for (int k = 0; k < kEntries; ++k) careful(patterns[k], *works[k]);
    return;
  }
  double* q[2] = {Aligned(works[0]->conditional), Two ? Aligned(works[1]->conditional) : nullptr};
  for (std::size_t s = 0; s < steps; s += 5) {
    const double* b = branch + step[s] * stride;
    const double* y = Values(task, q[0], patterns[0], step[s + 1], step[s + 3], stride);
    const double* z = Values(task, q[0], patterns[0], step[s + 2], step[s + 4], stride);
    double* v = q[0] + step[s] * stride;
    if constexpr (Two) {
      const double* yb = Values(task, q[1], patterns[1], step[s + 1], step[s + 3], stride);
      const double* zb = Values(task, q[1], patterns[1], step[s + 2], step[s + 4], stride);
      double* vb = q[1] + step[s] * stride;
      for (std::size_t t = 0; t < tiles; ++t) {
        const std::size_t tt = t * kNode;
        UpwardNodes(b + tt, y + tt, z + tt, v + tt, yb + tt, zb + tt, vb + tt);
      }
    } else {
      std::int64_t low[kWidth] = {};
      for (std::size_t t = 0; t < tiles; ++t) {
        UpwardNode<false>(b + t * kNode, y + t * kNode, z + t * kNode, v + t * kNode, task.threshold, low);
      }
    }
  }
  for (int k = 0; k < kEntries; ++k) {
    RootLikelihoods(task, branch, q[k], patterns[k], *works[k]);
    if (!safe(*works[k])) careful(patterns[k], *works[k]);
  }
}

// For an entry with rescaled values (or a likelihood too small to divide by safely): brings the
// likelihoods of all pairs to one scale, the largest in [1, 2), keeps that scale's binary
// exponent in work.logScale, and returns false when no pair can produce the pattern.
bool Normalize(EStepWorkspace& work, std::uint32_t pairs) {
  std::int64_t largest = 0;
  bool any = false;
  for (std::uint32_t c = 0; c < pairs; ++c) {
    if (!(work.likelihood[c] > 0)) continue;
    const std::int64_t exponent = work.scaled ? work.exponent[c] - work.firstChildExponent[c] : 0;
    const std::int64_t e = std::ilogb(work.likelihood[c]) - exponent;
    if (!any || e > largest) largest = e;
    any = true;
  }
  work.logScale = largest;
  if (!any) return false;
  for (std::uint32_t c = 0; c < pairs; ++c) {
    const std::int64_t exponent = work.scaled ? work.exponent[c] - work.firstChildExponent[c] : 0;
    // Shifts beyond the double range give 0, so they are clamped to fit an int.
    work.likelihood[c] = std::ldexp(work.likelihood[c],
                                    static_cast<int>(std::clamp<std::int64_t>(-exponent - largest, -4096, 4096)));
  }
  return true;
}

// A downward message times 2^shift; one that overflows (only for a pair of negligible weight
// whose own likelihood is subnormal) is held at the largest double, so that a 0 still gives 0.
double ShiftedMessage(double message, std::int64_t shift) {
  const double shifted = std::ldexp(message, static_cast<int>(std::clamp<std::int64_t>(shift, -4096, 4096)));
  return shifted <= DBL_MAX ? shifted : DBL_MAX;
}

// The messages of a rescaled child carry its own exponent: the values below it are 2^e times
// too large, so the message from above must be 2^e times larger to give the true posterior.
void ApplyOwnExponent(const int* own, std::size_t lanes, double* out) {
  for (std::size_t c = 0; c < lanes; ++c) {
    double* absent = &out[c / kWidth * kNode + c % kWidth];
    *absent = ShiftedMessage(*absent, own[c]);
    absent[kWidth] = ShiftedMessage(absent[kWidth], own[c]);
  }
}

// The root's messages to its children, and for an entry with rescaled values the exponents that
// bring them to the scale of the values below each child.
[[gnu::always_inline]] inline void StartDownward(const BlockTask& task, const double* q, const std::uint8_t* pattern,
                                                 double* out, const EStepWorkspace& work) {
  const EStepScratch& scratch = *task.scratch;
  const std::size_t tiles = scratch.tiles, lanes = tiles * kWidth, stride = tiles * kNode;
  const std::size_t r1 = scratch.rootMessages[0], r2 = scratch.rootMessages[1];
  const double* q1 = Values(task, q, pattern, scratch.rootChildren[0], scratch.rootLeaves[0], stride);
  const double* q2 = Values(task, q, pattern, scratch.rootChildren[1], scratch.rootLeaves[1], stride);
  for (std::size_t t = 0; t < tiles; ++t) {
    RootMessages(task.rootAbsent, task.rootPresent, &work.factor[t * kWidth], q1 + t * kNode, q2 + t * kNode,
                 out + r1 * stride + t * kNode, out + r2 * stride + t * kNode);
  }
  if (!work.scaled && work.logScale == 0) return;
  for (std::size_t c = 0; c < lanes; ++c) {
    const std::int64_t total = work.scaled ? work.exponent[c] : 0;
    const std::int64_t first = work.scaled ? total - work.firstChildExponent[c] : 0;
    const std::int64_t second = work.scaled ? total - work.secondChildExponent[c] : 0;
    const std::size_t at = c / kWidth * kNode + c % kWidth;
    for (std::size_t state = 0; state < 2; ++state) {
      double& message1 = out[r1 * stride + at + state * kWidth];
      double& message2 = out[r2 * stride + at + state * kWidth];
      message1 = ShiftedMessage(message1, -first - work.logScale);
      message2 = ShiftedMessage(message2, -second - work.logScale);
    }
  }
}

// The downward pass of one entry, or of two side by side (Two), folding the weighted transition
// posteriors into the block's sums: the root's messages to its children, then every inner node
// parents first, each leaf right after its parent while both are in the nearest cache. Two
// entries share the loads of the branch probabilities and of the sums, and every sum takes the
// first entry's term and then the second's, exactly as one entry after the other would.
template <bool Two>
[[gnu::always_inline]] inline void PatternPosterior(const BlockTask& task, const double* branch, double* sums,
                                                    const std::uint8_t* const* patterns, EStepWorkspace* const* works) {
  const EStepScratch& scratch = *task.scratch;
  const std::size_t tiles = scratch.tiles, lanes = tiles * kWidth, stride = tiles * kNode;
  const std::size_t sumStride = tiles * kSums;
  constexpr int kEntries = Two ? 2 : 1;
  const double* q[2];
  double* out[2];
  for (int k = 0; k < kEntries; ++k) {
    q[k] = Aligned(works[k]->conditional);
    out[k] = Aligned(works[k]->messages);
    StartDownward(task, q[k], patterns[k], out[k], *works[k]);
  }
  // The leaf in slot u, with each entry's values of it as its parent's step found them.
  auto leafPosterior = [&](std::size_t u, std::uint32_t position, std::size_t message,
                           const double* const* values) __attribute__((always_inline)) {
    for (int k = 0; k < kEntries; ++k) {
      LeafPosterior(patterns[k][position], tiles, branch + u * stride, values[k], out[k] + message * stride,
                    sums + u * sumStride);
    }
  };
  for (int c = 0; c < 2; ++c) {
    if (scratch.rootLeaves[c] == kInner) continue;
    const double* values[2];
    for (int k = 0; k < kEntries; ++k) {
      values[k] = Values(task, q[k], patterns[k], scratch.rootChildren[c], scratch.rootLeaves[c], stride);
    }
    leafPosterior(scratch.rootChildren[c], scratch.rootLeaves[c], scratch.rootMessages[c], values);
  }
  const std::uint32_t* step = scratch.downSteps.data();
  for (std::size_t s = 0; s < scratch.downSteps.size(); s += kDownStep) {
    const std::size_t v = step[s] * stride;
    const std::size_t mv = step[s + 5] * stride, y = step[s + 6] * stride, z = step[s + 7] * stride;
    double* sv = sums + step[s] * sumStride;
    const double* qy[2];
    const double* qz[2];
    for (int k = 0; k < kEntries; ++k) {
      qy[k] = Values(task, q[k], patterns[k], step[s + 1], step[s + 3], stride);
      qz[k] = Values(task, q[k], patterns[k], step[s + 2], step[s + 4], stride);
    }
    for (std::size_t t = 0; t < tiles; ++t) {
      const std::size_t tv = v + t * kNode, tm = mv + t * kNode, ty = y + t * kNode, tz = z + t * kNode;
      const std::size_t tt = t * kNode;
      if constexpr (Two) {
        DownwardNodes(branch + tv, qy[0] + tt, qz[0] + tt, out[0] + tm, out[0] + ty, out[0] + tz, qy[1] + tt,
                      qz[1] + tt, out[1] + tm, out[1] + ty, out[1] + tz, sv + t * kSums);
      } else {
        DownwardNode(branch + tv, qy[0] + tt, qz[0] + tt, out[0] + tm, out[0] + ty, out[0] + tz, sv + t * kSums);
      }
    }
    for (int k = 0; k < kEntries; ++k) {
      const EStepWorkspace& work = *works[k];
      if (!work.scaled) continue;
      if (work.rescaled[step[s + 1]]) ApplyOwnExponent(&work.ownExponent[step[s + 1] * lanes], lanes, out[k] + y);
      if (work.rescaled[step[s + 2]]) ApplyOwnExponent(&work.ownExponent[step[s + 2] * lanes], lanes, out[k] + z);
    }
    if (step[s + 3] != kInner) leafPosterior(step[s + 1], step[s + 3], step[s + 6], qy);
    if (step[s + 4] != kInner) leafPosterior(step[s + 2], step[s + 4], step[s + 7], qz);
  }
}

// One entry's likelihood after the upward pass: its log-likelihood term, its category weights,
// and the factors n * prior / mixture of its posteriors. False when no pair can produce its
// pattern.
[[gnu::always_inline]] inline bool EntryLikelihood(const BlockTask& task, std::uint32_t e, EStepWorkspace& work,
                                                   EStepBlockResult& result) {
  const EStepScratch& scratch = *task.scratch;
  const std::uint32_t pairs = task.pairCount;
  const double* prior = scratch.prior.data();
  const double n = scratch.entries[e].weight;
  double* categories = &result.entryCategories[static_cast<std::size_t>(e - task.first) * pairs];
  double mixture = 0;
  for (std::uint32_t c = 0; c < pairs; ++c) mixture += prior[c] * work.likelihood[c];
  // Without rescaling, the likelihoods are products of values above 2^-256 and the mixture is
  // far above 2^-768; below that, dividing by it could overflow, so it takes the careful way.
  const bool normalized = work.scaled || !(mixture >= 0x1p-768);
  work.logScale = 0;
  if (normalized) {
    mixture = 0;
    if (Normalize(work, pairs)) {
      for (std::uint32_t c = 0; c < pairs; ++c) mixture += prior[c] * work.likelihood[c];
    }
  }
  result.entryLogLikelihood[e - task.first] =
      normalized ? n * (std::log(mixture) + static_cast<double>(work.logScale) * kLn2) : n * std::log(mixture);
  // A pattern the model cannot produce makes the likelihood 0; its undefined category weights
  // must not spill not-a-number values into the other patterns' sums: its terms are all 0.
  if (!(mixture > 0)) {
    std::fill(categories, categories + pairs, 0.0);
    std::fill(work.factor.begin(), work.factor.end(), 0.0);
    return false;
  }
  const double inverse = 1 / mixture;
  for (std::uint32_t c = 0; c < pairs; ++c) {
    categories[c] = n * (prior[c] * work.likelihood[c] * inverse);
    work.factor[c] = n * prior[c] * inverse;
  }
  return true;
}

// A block of entries of one gene into the workspaces: the partial transition sums, and each
// entry's log-likelihood term and category weights for the ordered merge. Entries go two by two
// through the downward pass.
[[gnu::always_inline]] inline void RunBlockBody(const BlockTask& task, EStepWorkspace* works, EStepBlockResult& result) {
  const EStepScratch& scratch = *task.scratch;
  const double* branch = task.branch;
  double* sums = Aligned(result.transitions);  // all 0: the merge leaves them so
  for (std::uint32_t e = task.first; e < task.end; e += 2) {
    const bool two = e + 1 < task.end;
    const std::uint8_t* patterns[2] = {scratch.entries[e].pattern, two ? scratch.entries[e + 1].pattern : nullptr};
    EStepWorkspace* pair[2] = {&works[0], &works[1]};
    for (int k = 0; k < (two ? 2 : 1); ++k) {
      if (works[k].scaled) std::fill(works[k].rescaled.begin(), works[k].rescaled.end(), 0);
      works[k].scaled = false;
    }
    if (two) {
      ConditionalLikelihoods<true>(task, branch, patterns, pair);
    } else {
      ConditionalLikelihoods<false>(task, branch, patterns, pair);
    }
    const bool first = EntryLikelihood(task, e, works[0], result);
    const bool second = two && EntryLikelihood(task, e + 1, works[1], result);
    if (!first && !second) continue;
    if (two) {
      PatternPosterior<true>(task, branch, sums, patterns, pair);
    } else {
      PatternPosterior<false>(task, branch, sums, patterns, pair);
    }
  }
}

void RunBlockGeneric(const BlockTask& task, EStepWorkspace* works, EStepBlockResult& result) {
  RunBlockBody(task, works, result);
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) void RunBlockAvx2(const BlockTask& task, EStepWorkspace* works,
                                                   EStepBlockResult& result) {
  RunBlockBody(task, works, result);
}

bool CpuHasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

using BlockFunction = void (*)(const BlockTask&, EStepWorkspace*, EStepBlockResult&);

BlockFunction ChooseBlockFunction() {
#if defined(__x86_64__) || defined(__i386__)
  if (!GenericKernelForced() && CpuHasAvx2()) return RunBlockAvx2;
#endif
  return RunBlockGeneric;
}

// Runs work(worker) for worker = 0 ... threads - 1, worker 0 on the calling thread.
template <typename Work>
void RunOnThreads(std::uint32_t threads, const Work& work) {
  if (threads <= 1) {
    work(0U);
    return;
  }
  std::vector<std::thread> pool;
  pool.reserve(threads - 1);
  for (std::uint32_t t = 1; t < threads; ++t) pool.emplace_back([&work, t] { work(t); });
  work(0U);
  for (std::thread& thread : pool) thread.join();
}

}  // namespace

std::size_t EStepScratch::LeafTableSize(std::uint32_t leafCount) const {
  return static_cast<std::size_t>(leafCount) * tiles * kNode;
}

std::uint32_t EffectiveThreadCount(std::uint32_t threadCount) {
  if (threadCount != 0) return threadCount;
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

void SetScalingThresholdForTesting(double threshold) { ScalingThreshold() = threshold; }
void ClearScalingThresholdForTesting() { ScalingThreshold() = kScalingThreshold; }
void SetWorkPerThreadForTesting(double work) { WorkPerThread() = work; }
void ClearWorkPerThreadForTesting() { WorkPerThread() = kWorkPerThread; }
void UseGenericKernelForTesting(bool generic) { GenericKernelForced() = generic; }

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

void EStepWorkspace::Resize(std::uint32_t nodeCount, std::uint32_t tiles, std::uint32_t messageSlots) {
  const std::size_t lanes = static_cast<std::size_t>(tiles) * kWidth;
  const std::size_t cells = nodeCount * lanes;
  conditional.assign(2 * cells + kAlignmentSlack, 0.0);
  messages.assign(2 * messageSlots * lanes + kAlignmentSlack, 0.0);
  likelihood.assign(lanes, 0.0);
  factor.assign(lanes, 0.0);
  scaled = false;
  expectRescaling = false;
  exponent.assign(lanes, 0);
  firstChildExponent.assign(lanes, 0);
  secondChildExponent.assign(lanes, 0);
  rescaled.assign(nodeCount, 0);
  ownExponent.assign(cells, 0);
  logScale = 0;
}

void EStepBlockResult::Resize(std::uint32_t nodeCount, std::uint32_t tiles, std::uint32_t blockEntries) {
  const std::size_t lanes = static_cast<std::size_t>(tiles) * kWidth;
  transitions.assign(4 * nodeCount * lanes + kAlignmentSlack, 0.0);
  entryLogLikelihood.assign(blockEntries, 0.0);
  entryCategories.assign(blockEntries * lanes, 0.0);
}

void EStepScratch::Layout(const PhylogeneticTree& tree) {
  const std::uint32_t nodes = tree.nodeCount;
  // The nodes in post-order, each node's children in the order that `later` (true when the
  // second child's subtree goes after the first's) gives.
  auto postOrder = [&](auto later) {
    std::vector<std::uint32_t> order, stack(1, 0);
    std::vector<std::uint8_t> expanded(nodes, 0);
    order.reserve(nodes);
    while (!stack.empty()) {
      const std::uint32_t v = stack.back();
      if (tree.IsLeaf(v) || expanded[v]) {
        stack.pop_back();
        order.push_back(v);
        continue;
      }
      expanded[v] = 1;
      const bool swap = !later(v);
      stack.push_back(swap ? tree.firstChild[v] : tree.secondChild[v]);
      stack.push_back(swap ? tree.secondChild[v] : tree.firstChild[v]);
    }
    return order;
  };
  // The downward pass walks the tree depth first and keeps the messages waiting for their node in
  // a stack of slots: a node's message slot passes to the child visited last, and the child
  // visited first takes the next one. Visiting first the child whose subtree needs fewer slots
  // keeps the stack to about log2 of the leaf count, so the messages stay in the nearest cache
  // however large the tree. The order of the nodes does not touch the sums: each node's sums
  // take the entries in the same order whatever it is.
  std::vector<std::uint32_t> need(nodes, 1);
  for (std::uint32_t v : postOrder([](std::uint32_t) { return true; })) {
    if (tree.IsLeaf(v)) continue;
    const std::uint32_t a = need[tree.firstChild[v]], b = need[tree.secondChild[v]];
    need[v] = std::max(std::min(a, b) + 1, std::max(a, b));
  }
  messageSlots = need[0];
  // Slots in post-order, with the subtree visited first by the downward pass placed last, so that
  // the upward pass walks memory forwards and the downward pass backwards.
  const std::vector<std::uint32_t> order =
      postOrder([&](std::uint32_t v) { return need[tree.secondChild[v]] < need[tree.firstChild[v]]; });
  slot.assign(nodes, 0);
  for (std::uint32_t s = 0; s < nodes; ++s) slot[order[s]] = s;
  upSteps.clear();
  downSteps.clear();
  auto position = [&](std::uint32_t v) { return tree.IsLeaf(v) ? v - (tree.leafCount - 1) : kInner; };
  for (std::uint32_t v : order) {
    if (tree.IsLeaf(v) || v == 0) continue;
    const std::uint32_t y = tree.firstChild[v], z = tree.secondChild[v];
    for (std::uint32_t u : {slot[v], slot[y], slot[z], position(y), position(z)}) upSteps.push_back(u);
  }
  // The child visited last by the downward pass, and the one visited first.
  auto children = [&](std::uint32_t v) {
    const std::uint32_t y = tree.firstChild[v], z = tree.secondChild[v];
    return need[z] < need[y] ? std::make_pair(y, z) : std::make_pair(z, y);
  };
  std::vector<std::uint32_t> message(nodes, 0);
  const auto [last, first] = children(0);
  message[first] = 1;
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    const std::uint32_t v = *it;
    if (tree.IsLeaf(v) || v == 0) continue;
    const auto [y, z] = children(v);
    message[y] = message[v];
    message[z] = message[v] + 1;
    for (std::uint32_t u : {slot[v], slot[y], slot[z], position(y), position(z), message[v], message[y], message[z]}) {
      downSteps.push_back(u);
    }
  }
  const std::uint32_t r1 = tree.firstChild[0], r2 = tree.secondChild[0];
  rootLeaves[0] = position(r1);
  rootLeaves[1] = position(r2);
  rootChildren[0] = slot[r1];
  rootChildren[1] = slot[r2];
  rootMessages[0] = message[r1];
  rootMessages[1] = message[r2];
  const bool leaf = tree.IsLeaf(r1);
  firstChildren[0] = leaf ? 0 : slot[tree.firstChild[r1]];
  firstChildren[1] = leaf ? 0 : slot[tree.secondChild[r1]];
  firstChildLeaves[0] = leaf ? kInner : position(tree.firstChild[r1]);
  firstChildLeaves[1] = leaf ? kInner : position(tree.secondChild[r1]);
}

void EM::FillBranchTables(const PhylogeneticTree& tree, std::uint32_t g) {
  const std::uint32_t m = lossCategories.count, pairs = gainCategories.count * m;
  const std::vector<double>& rg = gainCategories.rates;
  const std::vector<double>& rl = lossCategories.rates;
  const std::size_t stride = static_cast<std::size_t>(estep.tiles) * kNode;
  double* branch = Aligned(estep.branch) + g * tree.nodeCount * stride;
  auto at = [](std::uint32_t c) { return c / kWidth * kNode + c % kWidth; };
  for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
    const double t = tree.branchLength[v];
    double* node = branch + estep.slot[v] * stride;
    for (std::uint32_t c = 0; c < pairs; ++c) {
      // G depends on the gain category alone and R on the loss category: each is computed once.
      node[at(c)] = c % m == 0 ? model.xi[v] * (1 - std::exp(-model.eta[g] * rg[c / m] * t)) : node[at(c - 1)];
      node[at(c) + kWidth] =
          c < m ? (1 - model.phi[v]) * std::exp(-model.theta[g] * rl[c] * t) : node[at(c - m) + kWidth];
    }
  }
  // Every leaf's values when it is absent, 1 - P; a present leaf's are P, the branch's own.
  double* leaves = Aligned(estep.leafValues) + g * estep.LeafTableSize(tree.leafCount);
  for (std::uint32_t j = 0; j < tree.leafCount; ++j) {
    const double* b = branch + estep.slot[tree.leafNodes[j]] * stride;
    double* q = leaves + j * stride;
    for (std::size_t i = 0; i < stride; ++i) q[i] = 1 - b[i];
    const double** pointers = &estep.leafPointers[3 * (static_cast<std::size_t>(g) * tree.leafCount + j)];
    pointers[0] = q;
    pointers[1] = b;
    pointers[2] = Aligned(estep.ones);
  }
}

void EM::PrepareExpectations(const AlignmentData& data, const PhylogeneticTree& tree) {
  const std::uint32_t k = gainCategories.count, m = lossCategories.count;
  sums.Resize(data.geneCount, tree.nodeCount, k, m);
  estep.tiles = (k * m + kWidth - 1) / kWidth;
  estep.Layout(tree);
  estep.branch.assign(static_cast<std::size_t>(data.geneCount) * estep.tiles * tree.nodeCount * kNode + kAlignmentSlack,
                      0.0);
  estep.leafValues.assign(data.geneCount * estep.LeafTableSize(tree.leafCount) + kAlignmentSlack, 0.0);
  estep.leafPointers.assign(3 * static_cast<std::size_t>(data.geneCount) * tree.leafCount, nullptr);
  estep.ones.assign(static_cast<std::size_t>(estep.tiles) * kNode + kAlignmentSlack, 1.0);
  estep.prior.assign(static_cast<std::size_t>(estep.tiles) * kWidth, 0.0);
  estep.workspaces.assign(2, EStepWorkspace());
  for (EStepWorkspace& work : estep.workspaces) work.Resize(tree.nodeCount, estep.tiles, estep.messageSlots);
  estep.results.assign(1, EStepBlockResult());
  estep.results[0].Resize(tree.nodeCount, estep.tiles, kEStepBlockEntries);
}

void EM::ComputeExpectations(const AlignmentData& data, const PhylogeneticTree& tree) {
  EStepScratch& scratch = estep;
  const std::uint32_t k = gainCategories.count, m = lossCategories.count, pairs = k * m;
  for (std::uint32_t a = 0; a < k; ++a) {
    for (std::uint32_t b = 0; b < m; ++b) scratch.prior[a * m + b] = lossCategories.weights[b] * gainCategories.weights[a];
  }

  // The entries in the genes' order, cut into blocks of at most kEStepBlockEntries per gene.
  scratch.entries.clear();
  scratch.blocks.clear();
  for (std::uint32_t g = 0; g < data.geneCount; ++g) {
    const Gene& gene = data.genes[g];
    const std::uint32_t first = static_cast<std::uint32_t>(scratch.entries.size());
    for (std::uint32_t e = 0; e < gene.entryCount; ++e) {
      scratch.entries.push_back({data.patterns[gene.patternIndices[e]].values.data(), static_cast<double>(gene.counts[e])});
    }
    const std::uint32_t end = static_cast<std::uint32_t>(scratch.entries.size());
    for (std::uint32_t b = first; b < end; b += kEStepBlockEntries) {
      scratch.blocks.push_back({g, b, std::min(end, b + kEStepBlockEntries)});
    }
    if (conditionOnPresence) {
      scratch.absentPattern.assign(tree.leafCount, 0);
      scratch.entries.push_back({scratch.absentPattern.data(), 1.0});
      scratch.blocks.push_back({g, end, end + 1, true});
    }
  }

  const std::uint32_t blockCount = static_cast<std::uint32_t>(scratch.blocks.size());
  // A thread must have kWorkPerThread node updates to pay for its start and the handing over of
  // blocks: a small E-step runs on fewer threads (the sums do not depend on how many).
  const double work = static_cast<double>(scratch.entries.size()) * scratch.tiles * kWidth * tree.nodeCount;
  const std::uint32_t worthwhile = static_cast<std::uint32_t>(std::min(work / WorkPerThread(), 1e6));
  const std::uint32_t threads =
      std::max(1U, std::min({EffectiveThreadCount(threadCount), blockCount, worthwhile}));
  // Each thread works one block at a time; a finished block waits for its turn to join the sums
  // in one of the spare results, so that threads seldom wait for each other.
  const std::uint32_t resultCount = threads == 1 ? 1 : 2 * threads;
  for (std::size_t w = scratch.workspaces.size(); w < 2 * threads; ++w) {
    scratch.workspaces.emplace_back();
    scratch.workspaces.back().Resize(tree.nodeCount, scratch.tiles, scratch.messageSlots);
  }
  for (std::size_t r = scratch.results.size(); r < resultCount; ++r) {
    scratch.results.emplace_back();
    scratch.results.back().Resize(tree.nodeCount, scratch.tiles, kEStepBlockEntries);
  }

  std::atomic<std::uint32_t> nextGene{0};
  RunOnThreads(std::max(1U, std::min(threads, data.geneCount)), [&](std::uint32_t) {
    for (std::uint32_t g; (g = nextGene.fetch_add(1)) < data.geneCount;) FillBranchTables(tree, g);
  });

  sums.Clear();
  double logLikelihoodSum = 0;
  const BlockFunction run = ChooseBlockFunction();
  auto task = [&](std::uint32_t b) {
    const EStepBlock& block = scratch.blocks[b];
    const double* branch = Aligned(scratch.branch) + block.gene * tree.nodeCount * scratch.tiles * kNode;
    const double* const* leaves = &scratch.leafPointers[3 * static_cast<std::size_t>(block.gene) * tree.leafCount];
    return BlockTask{&scratch, branch, leaves, tree.nodeCount, block.gene, block.first, block.end, pairs, model.p0,
                     1 - model.p0, ScalingThreshold()};
  };
  // Blocks join the sums in their order, whichever thread computed them: the transitions block
  // by block, the log-likelihood and the category weights entry by entry.
  auto merge = [&](std::uint32_t b, EStepBlockResult& result) {
    const EStepBlock& block = scratch.blocks[b];
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
      sums.unobservedSites += scale;
    }
    // The block's sums are set back to 0 as they are taken, ready for the next block.
    const std::size_t sumStride = static_cast<std::size_t>(scratch.tiles) * kSums;
    double* part = Aligned(result.transitions);
    for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
      double* node = part + scratch.slot[v] * sumStride;
      for (int ab = 0; ab < 4; ++ab) {
        double* sum = &sums.transitions[sums.TransitionOffset(block.gene, v, ab / 2, ab % 2)];
        for (std::uint32_t first = 0; first < pairs; first += kWidth) {
          double* from = node + first / kWidth * kSums + (2 * (ab % 2) + ab / 2) * kWidth;
          for (std::uint32_t i = 0; i < kWidth && first + i < pairs; ++i) sum[first + i] += scale * from[i];
          for (std::uint32_t i = 0; i < kWidth; ++i) from[i] = 0;
        }
      }
    }
    double* categories = &sums.categories[static_cast<std::size_t>(block.gene) * pairs];
    for (std::uint32_t e = 0; e < block.end - block.first; ++e) {
      for (std::uint32_t c = 0; c < pairs; ++c) categories[c] += result.entryCategories[e * pairs + c];
      logLikelihoodSum += result.entryLogLikelihood[e];
    }
  };

  if (threads == 1) {
    for (std::uint32_t b = 0; b < blockCount; ++b) {
      run(task(b), scratch.workspaces.data(), scratch.results[0]);
      merge(b, scratch.results[0]);
    }
  } else {
    std::mutex mutex;
    std::condition_variable freed;
    std::vector<std::uint32_t> spare(resultCount);
    for (std::uint32_t r = 0; r < resultCount; ++r) spare[r] = r;
    std::vector<std::uint32_t> finished(blockCount, resultCount);  // result holding each block, if done
    std::uint32_t nextBlock = 0, nextMerge = 0;
    RunOnThreads(threads, [&](std::uint32_t worker) {
      std::unique_lock<std::mutex> lock(mutex);
      for (;;) {
        // The earliest unmerged block is always being worked, so a spare result turns up.
        freed.wait(lock, [&] { return !spare.empty() || nextBlock == blockCount; });
        if (nextBlock == blockCount) return;
        const std::uint32_t b = nextBlock++, r = spare.back();
        spare.pop_back();
        lock.unlock();
        run(task(b), &scratch.workspaces[2 * worker], scratch.results[r]);
        lock.lock();
        finished[b] = r;
        const std::uint32_t before = nextMerge;
        for (; nextMerge < blockCount && finished[nextMerge] < resultCount; ++nextMerge) {
          merge(nextMerge, scratch.results[finished[nextMerge]]);
          spare.push_back(finished[nextMerge]);
        }
        if (nextMerge != before) freed.notify_all();
      }
    });
  }
  logLikelihood = logLikelihoodSum;
}

void EM::AccumulateAncestral(AncestralTables* tables, const PhylogeneticTree& tree) const {
  tables->Resize(sums.geneCount, tree.nodeCount);
  const std::uint32_t r1 = tree.firstChild[0];
  std::atomic<std::uint32_t> nextGene{0};
  RunOnThreads(std::max(1U, std::min(EffectiveThreadCount(threadCount), sums.geneCount)), [&](std::uint32_t) {
    for (std::uint32_t g; (g = nextGene.fetch_add(1)) < sums.geneCount;) {
      auto total = [this, g](std::uint32_t v, int a, int b) {
        const double* block = &sums.transitions[sums.TransitionOffset(g, v, a, b)];
        double s = 0;
        for (std::uint32_t c = 0; c < sums.pairCount; ++c) s += block[c];
        return s;
      };
      tables->present[tables->Index(g, 0)] = total(r1, 1, 0) + total(r1, 1, 1);
      for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
        const std::size_t at = tables->Index(g, v);
        const double retained = total(v, 1, 1);
        tables->present[at] = total(v, 0, 1) + retained;
        tables->losses[at] = total(v, 1, 0);
        tables->gains[at] = total(v, 0, 1);
        tables->retentions[at] = retained;
      }
    }
  });
}

}  // namespace vorn
