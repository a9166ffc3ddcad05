// The E-step's work on one node and one tile of kWidth category pairs: the upward step, the
// root's likelihood and messages, the downward step, and a leaf's posteriors; for one entry or
// for two side by side. Included by e_step_kernel.cpp alone, where every function here is inlined
// into the two block functions, one compiled for the generic target and one for AVX2.
//
// The pairs are cut into tiles of kWidth lanes; node arrays are laid out [slot][tile][state][lane],
// and the passes walk the tree once, each node tile by tile, so that the work on one node and tile
// is a loop over kWidth lanes. "GCC unroll 1" keeps the compiler from unrolling those short loops
// into scalar code before it vectorises them: each becomes a few whole-vector operations (two
// halves on the generic target). Without FMA (-ffp-contract=off, no "fma" target) every lane
// computes exactly what the scalar loop computes, so both targets give the same bits.
//
// A node's tile holds lanes [0, kWidth) for the absent state and [kWidth, 2 kWidth) for the
// present state: q (the leaves below v given the state of the parent of v), the branch
// probabilities (G, R), and the downward messages out (the weighted probability of the leaves
// outside the subtree of v and of each state of the parent of v). Its sums hold the four state
// pairs (a, b) of the branch above v in the order 00, 10, 01, 11, so that the two that a leaf
// observed as b adds to share one cache line.
#pragma once
#include <cstddef>
#include <cstdint>

#include "estimation/e_step_layout.h"

namespace vorn {

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

}  // namespace vorn
