#include "estimation/e_step_kernel.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>

#include "estimation/e_step_nodes.h"

namespace vorn {
namespace {

constexpr double kLn2 = 0.6931471805599453;

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

}  // namespace

BlockFunction ChooseBlockFunction([[maybe_unused]] bool generic) {
#if defined(__x86_64__) || defined(__i386__)
  if (!generic && CpuHasAvx2()) return RunBlockAvx2;
#endif
  return RunBlockGeneric;
}

}  // namespace vorn
