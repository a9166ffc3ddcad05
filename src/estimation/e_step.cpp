#include "estimation/e_step.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/em.h"

namespace vorn {
namespace {

// Conditional values of a deep tree shrink by a factor for every level; below 2^-256 a node's
// pair of values is brought back to [0.5, 1) by an exact power of two. The root step multiplies
// three such values, so the products stay far above the smallest normal double (2^-1022).
constexpr double kScalingThreshold = 0x1p-256;
constexpr double kLn2 = 0.6931471805599453;

double& ScalingThreshold() {
  static double threshold = kScalingThreshold;
  return threshold;
}

bool& GenericKernelForced() {
  static bool forced = false;
  return forced;
}

struct BlockTask {
  const PhylogeneticTree* tree;
  const EStepScratch* scratch;
  std::uint32_t gene, first, end;  // entries first ... end - 1 of the scratch's list
  std::uint32_t pairCount;
  double rootAbsent, rootPresent;  // p0, 1 - p0
  double threshold;
};

// Everything below is inlined into the two block functions at the end of this namespace, one
// compiled for the generic target and one for AVX2. The pairs are cut into tiles of kWidth lanes
// and every node array is laid out [tile][node][lane]; the passes walk the tree once per tile, so
// that the work on one node is a loop over the kWidth lanes of a tile. "GCC unroll 1" keeps the
// compiler from unrolling those short loops into scalar code before it vectorises them: each
// becomes a few whole-vector operations (two halves on the generic target). Without FMA
// (-ffp-contract=off, no "fma" target) every lane computes exactly what the scalar loop computes,
// so both targets give the same bits.

// A leaf's values given its parent's state: the chance of its observed value, or 1 when unknown.
[[gnu::always_inline]] inline void LeafValues(std::uint8_t value, const double* __restrict gain,
                                              const double* __restrict keep, double* __restrict q0,
                                              double* __restrict q1) {
  if (value > 1) {
#pragma GCC unroll 1
    for (std::size_t i = 0; i < kWidth; ++i) q0[i] = q1[i] = 1;
    return;
  }
  // (1 - s) + (2s - 1) P: 1 - P for an absent leaf, P for a present one.
  const double s = value;
#pragma GCC unroll 1
  for (std::size_t i = 0; i < kWidth; ++i) {
    q0[i] = (1 - s) + (2 * s - 1) * gain[i];
    q1[i] = (1 - s) + (2 * s - 1) * keep[i];
  }
}

// One inner node of the upward pass. True when some lane fell below the threshold.
[[gnu::always_inline]] inline bool UpwardNode(const double* __restrict gain, const double* __restrict keep,
                                              const double* __restrict q0y, const double* __restrict q1y,
                                              const double* __restrict q0z, const double* __restrict q1z,
                                              double* __restrict q0, double* __restrict q1, double threshold) {
  std::int64_t low = 0;  // as wide as a double, so that the flag vectorises with the values
#pragma GCC unroll 1
  for (std::size_t i = 0; i < kWidth; ++i) {
    const double absentBelow = q0y[i] * q0z[i], presentBelow = q1y[i] * q1z[i];
    const double absent = (1 - gain[i]) * absentBelow + gain[i] * presentBelow;
    const double present = (1 - keep[i]) * absentBelow + keep[i] * presentBelow;
    q0[i] = absent;
    q1[i] = present;
    low |= (absent < threshold) & (present < threshold);
  }
  return low != 0;
}

// h for a leaf first child of the root: p(a) * Q_a(second child) * Q_a(first child).
[[gnu::always_inline]] inline void RootLikelihood(double rootAbsent, double rootPresent,
                                                  const double* __restrict other0, const double* __restrict other1,
                                                  const double* __restrict first0, const double* __restrict first1,
                                                  double* __restrict h) {
#pragma GCC unroll 1
  for (std::size_t i = 0; i < kWidth; ++i) {
    h[i] = rootAbsent * other0[i] * first0[i] + rootPresent * other1[i] * first1[i];
  }
}

// h for an inner first child, whose values are recomputed from its children as in the upward
// pass: the values before any rescaling of its own.
[[gnu::always_inline]] inline void RootLikelihoodFromChildren(
    double rootAbsent, double rootPresent, const double* __restrict other0, const double* __restrict other1,
    const double* __restrict gain, const double* __restrict keep, const double* __restrict q0y,
    const double* __restrict q1y, const double* __restrict q0z, const double* __restrict q1z,
    double* __restrict h) {
#pragma GCC unroll 1
  for (std::size_t i = 0; i < kWidth; ++i) {
    const double absentBelow = q0y[i] * q0z[i], presentBelow = q1y[i] * q1z[i];
    const double absent = (1 - gain[i]) * absentBelow + gain[i] * presentBelow;
    const double present = (1 - keep[i]) * absentBelow + keep[i] * presentBelow;
    h[i] = rootAbsent * other0[i] * absent + rootPresent * other1[i] * present;
  }
}

// The root's messages to its two children: factor * p(a) * Q_a(other child).
[[gnu::always_inline]] inline void RootMessagePair(double rootAbsent, double rootPresent,
                                                   const double* __restrict factor, const double* __restrict q0a,
                                                   const double* __restrict q1a, const double* __restrict q0b,
                                                   const double* __restrict q1b, double* __restrict out0a,
                                                   double* __restrict out1a, double* __restrict out0b,
                                                   double* __restrict out1b) {
#pragma GCC unroll 1
  for (std::size_t i = 0; i < kWidth; ++i) {
    out0a[i] = factor[i] * (rootAbsent * q0b[i]);
    out1a[i] = factor[i] * (rootPresent * q1b[i]);
    out0b[i] = factor[i] * (rootAbsent * q0a[i]);
    out1b[i] = factor[i] * (rootPresent * q1a[i]);
  }
}

// One inner node of the downward pass. With out_a(v) the weighted probability of the leaves
// outside the subtree of v and of state a of its parent, and B_b = q_b(y) q_b(z) the leaves below
// v given its state b, the weighted transition posterior is out_a(v) P(a -> b) B_b; the messages
// to the children are d_b q_b(sibling), with d_b = sum over a of out_a(v) P(a -> b). Products
// only: no division, so no conditional value, however small, can make them overflow.
[[gnu::always_inline]] inline void DownwardNode(const double* __restrict gain, const double* __restrict keep,
                                                const double* __restrict q0y, const double* __restrict q1y,
                                                const double* __restrict q0z, const double* __restrict q1z,
                                                const double* __restrict out0, const double* __restrict out1,
                                                double* __restrict out0y, double* __restrict out1y,
                                                double* __restrict out0z, double* __restrict out1z,
                                                double* __restrict sums) {
#pragma GCC unroll 1
  for (std::size_t i = 0; i < kWidth; ++i) {
    const double absentBelow = q0y[i] * q0z[i], presentBelow = q1y[i] * q1z[i];
    const double stay = out0[i] * (1 - gain[i]), gained = out0[i] * gain[i];
    const double lost = out1[i] * (1 - keep[i]), kept = out1[i] * keep[i];
    sums[i] += stay * absentBelow;
    sums[kWidth + i] += gained * presentBelow;
    sums[2 * kWidth + i] += lost * absentBelow;
    sums[3 * kWidth + i] += kept * presentBelow;
    const double toAbsent = stay + lost, toPresent = gained + kept;
    out0y[i] = toAbsent * q0z[i];
    out1y[i] = toPresent * q1z[i];
    out0z[i] = toAbsent * q0y[i];
    out1z[i] = toPresent * q1y[i];
  }
}

// A leaf's weighted transition posteriors: out_a P(a -> b) for the states its value allows.
[[gnu::always_inline]] inline void LeafPosterior(std::uint8_t value, const double* __restrict gain,
                                                 const double* __restrict keep, const double* __restrict q0,
                                                 const double* __restrict q1, const double* __restrict out0,
                                                 const double* __restrict out1, double* __restrict sums) {
  if (value <= 1) {
    // q0 and q1 are the chances of the value, P(0 -> value) and P(1 -> value).
    double* __restrict toValue = sums + value * kWidth;
#pragma GCC unroll 1
    for (std::size_t i = 0; i < kWidth; ++i) {
      toValue[i] += out0[i] * q0[i];
      toValue[2 * kWidth + i] += out1[i] * q1[i];
    }
    return;
  }
#pragma GCC unroll 1
  for (std::size_t i = 0; i < kWidth; ++i) {
    sums[i] += out0[i] * (1 - gain[i]);
    sums[kWidth + i] += out0[i] * gain[i];
    sums[2 * kWidth + i] += out1[i] * (1 - keep[i]);
    sums[3 * kWidth + i] += out1[i] * keep[i];
  }
}

// Brings the lanes of node v of one tile whose two values are both below the threshold to
// [0.5, 1), exactly, and records the exponents: the node's own, and per pair the total and those
// of the root's two children.
void Rescale(EStepWorkspace& work, const PhylogeneticTree& tree, std::uint32_t tile, std::uint32_t v,
             double threshold) {
  if (!work.scaled) {
    work.scaled = true;
    std::fill(work.exponent.begin(), work.exponent.end(), 0);
    std::fill(work.firstChildExponent.begin(), work.firstChildExponent.end(), 0);
    std::fill(work.secondChildExponent.begin(), work.secondChildExponent.end(), 0);
  }
  const std::size_t node = static_cast<std::size_t>(tile) * tree.nodeCount + v;
  work.rescaled[node] = 1;
  double* q0 = &work.q0[node * kWidth];
  double* q1 = &work.q1[node * kWidth];
  int* own = &work.ownExponent[node * kWidth];
  for (std::size_t i = 0; i < kWidth; ++i) {
    own[i] = 0;
    const double largest = std::max(q0[i], q1[i]);
    if (!(largest < threshold) || largest == 0) continue;
    int e;
    std::frexp(largest, &e);
    q0[i] = std::ldexp(q0[i], -e);
    q1[i] = std::ldexp(q1[i], -e);
    own[i] = -e;
    const std::size_t c = tile * kWidth + i;
    work.exponent[c] -= e;
    if (v == tree.firstChild[0]) work.firstChildExponent[c] = -e;
    if (v == tree.secondChild[0]) work.secondChildExponent[c] = -e;
  }
}

// The upward pruning pass of one tile: q0, q1 of every node but the root.
[[gnu::always_inline]] inline void ConditionalLikelihoods(const PhylogeneticTree& tree, std::uint32_t tile,
                                                          const double* gain, const double* keep,
                                                          const std::uint8_t* pattern, double threshold,
                                                          EStepWorkspace& work) {
  const std::size_t at = static_cast<std::size_t>(tile) * tree.nodeCount * kWidth;
  double* q0 = work.q0.data() + at;
  double* q1 = work.q1.data() + at;
  for (std::uint32_t j = 0; j < tree.leafCount; ++j) {
    const std::size_t u = tree.leafNodes[j] * kWidth;
    LeafValues(pattern[j], gain + u, keep + u, q0 + u, q1 + u);
  }
  for (std::uint32_t v : tree.innerNodes) {
    const std::size_t n = v * kWidth, y = tree.firstChild[v] * kWidth, z = tree.secondChild[v] * kWidth;
    if (UpwardNode(gain + n, keep + n, q0 + y, q1 + y, q0 + z, q1 + z, q0 + n, q1 + n, threshold)) {
      Rescale(work, tree, tile, v, threshold);
    }
  }
}

// The root step of one tile: h = sum over the root's state a of p(a) * Q_a(second child) *
// Q_a(first child). At most three scaled values meet in one product, so it needs no logarithms.
[[gnu::always_inline]] inline void PatternLikelihood(const PhylogeneticTree& tree, std::uint32_t tile,
                                                     const double* gain, const double* keep, double rootAbsent,
                                                     double rootPresent, EStepWorkspace& work) {
  const std::size_t at = static_cast<std::size_t>(tile) * tree.nodeCount * kWidth;
  const double* q0 = work.q0.data() + at;
  const double* q1 = work.q1.data() + at;
  const std::uint32_t r1 = tree.firstChild[0];
  const std::size_t a = r1 * kWidth, b = tree.secondChild[0] * kWidth;
  double* h = &work.likelihood[tile * kWidth];
  if (tree.IsLeaf(r1)) {
    RootLikelihood(rootAbsent, rootPresent, q0 + b, q1 + b, q0 + a, q1 + a, h);
  } else {
    const std::size_t y = tree.firstChild[r1] * kWidth, z = tree.secondChild[r1] * kWidth;
    RootLikelihoodFromChildren(rootAbsent, rootPresent, q0 + b, q1 + b, gain + a, keep + a, q0 + y, q1 + y, q0 + z,
                               q1 + z, h);
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
void ApplyOwnExponent(const int* own, double* out0, double* out1) {
  for (std::size_t i = 0; i < kWidth; ++i) {
    out0[i] = ShiftedMessage(out0[i], own[i]);
    out1[i] = ShiftedMessage(out1[i], own[i]);
  }
}

// The downward pass of one tile, folding the weighted transition posteriors into the block's
// sums: the root's messages to its children, then every inner node parents first, then the
// leaves.
[[gnu::always_inline]] inline void PatternPosterior(const BlockTask& task, std::uint32_t tile, const double* gain,
                                                    const double* keep, const std::uint8_t* pattern,
                                                    EStepWorkspace& work) {
  const PhylogeneticTree& tree = *task.tree;
  const std::size_t nodes = tree.nodeCount;
  const std::size_t at = tile * nodes * kWidth;
  const double* q0 = work.q0.data() + at;
  const double* q1 = work.q1.data() + at;
  double* out0 = work.out0.data();
  double* out1 = work.out1.data();
  double* sums = work.transitions.data() + 4 * at;
  const std::uint32_t r1 = tree.firstChild[0], r2 = tree.secondChild[0];
  const std::size_t a = r1 * kWidth, b = r2 * kWidth;
  RootMessagePair(task.rootAbsent, task.rootPresent, &work.factor[tile * kWidth], q0 + a, q1 + a, q0 + b, q1 + b,
                  out0 + a, out1 + a, out0 + b, out1 + b);
  if (work.scaled || work.logScale != 0) {
    for (std::size_t i = 0; i < kWidth; ++i) {
      const std::size_t c = tile * kWidth + i;
      const std::int64_t total = work.scaled ? work.exponent[c] : 0;
      const std::int64_t first = work.scaled ? total - work.firstChildExponent[c] : 0;
      const std::int64_t second = work.scaled ? total - work.secondChildExponent[c] : 0;
      out0[a + i] = ShiftedMessage(out0[a + i], -first - work.logScale);
      out1[a + i] = ShiftedMessage(out1[a + i], -first - work.logScale);
      out0[b + i] = ShiftedMessage(out0[b + i], -second - work.logScale);
      out1[b + i] = ShiftedMessage(out1[b + i], -second - work.logScale);
    }
  }
  const std::uint8_t* rescaled = &work.rescaled[tile * nodes];
  const int* own = &work.ownExponent[at];
  auto down = [&](std::uint32_t v) __attribute__((always_inline)) {
    const std::uint32_t y = tree.firstChild[v], z = tree.secondChild[v];
    const std::size_t n = v * kWidth, yn = y * kWidth, zn = z * kWidth;
    DownwardNode(gain + n, keep + n, q0 + yn, q1 + yn, q0 + zn, q1 + zn, out0 + n, out1 + n, out0 + yn, out1 + yn,
                 out0 + zn, out1 + zn, sums + 4 * n);
    if (work.scaled) {
      if (rescaled[y]) ApplyOwnExponent(own + yn, out0 + yn, out1 + yn);
      if (rescaled[z]) ApplyOwnExponent(own + zn, out0 + zn, out1 + zn);
    }
  };
  if (!tree.IsLeaf(r1)) down(r1);
  if (!tree.IsLeaf(r2)) down(r2);
  for (std::uint32_t i = 0; i < tree.deepInnerCount; ++i) down(tree.deepInnerNodes[i]);
  for (std::uint32_t j = 0; j < tree.leafCount; ++j) {
    const std::size_t n = tree.leafNodes[j] * kWidth;
    LeafPosterior(pattern[j], gain + n, keep + n, q0 + n, q1 + n, out0 + n, out1 + n, sums + 4 * n);
  }
}

// A block of entries of one gene into the workspace: the partial transition sums, and each
// entry's log-likelihood term and category weights for the ordered merge.
[[gnu::always_inline]] inline void RunBlockBody(const BlockTask& task, EStepWorkspace& work) {
  const PhylogeneticTree& tree = *task.tree;
  const EStepScratch& scratch = *task.scratch;
  const std::uint32_t pairs = task.pairCount, tiles = scratch.tiles;
  const std::size_t tileSize = static_cast<std::size_t>(tree.nodeCount) * kWidth;
  const double* gain = scratch.gain.data() + task.gene * tiles * tileSize;
  const double* keep = scratch.keep.data() + task.gene * tiles * tileSize;
  const double* prior = scratch.prior.data();
  std::fill(work.transitions.begin(), work.transitions.end(), 0.0);
  for (std::uint32_t e = task.first; e < task.end; ++e) {
    const std::uint8_t* pattern = scratch.entries[e].pattern;
    const double n = scratch.entries[e].weight;
    double* categories = &work.entryCategories[static_cast<std::size_t>(e - task.first) * pairs];
    if (work.scaled) std::fill(work.rescaled.begin(), work.rescaled.end(), 0);
    work.scaled = false;
    for (std::uint32_t t = 0; t < tiles; ++t) {
      ConditionalLikelihoods(tree, t, gain + t * tileSize, keep + t * tileSize, pattern, task.threshold, work);
    }
    for (std::uint32_t t = 0; t < tiles; ++t) {
      PatternLikelihood(tree, t, gain + t * tileSize, keep + t * tileSize, task.rootAbsent, task.rootPresent, work);
    }
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
    work.entryLogLikelihood[e - task.first] =
        normalized ? n * (std::log(mixture) + static_cast<double>(work.logScale) * kLn2) : n * std::log(mixture);
    // A pattern the model cannot produce makes the likelihood 0; its undefined category
    // weights must not spill not-a-number values into the other patterns' sums.
    if (!(mixture > 0)) {
      std::fill(categories, categories + pairs, 0.0);
      continue;
    }
    const double inverse = 1 / mixture;
    for (std::uint32_t c = 0; c < pairs; ++c) {
      categories[c] = n * (prior[c] * work.likelihood[c] * inverse);
      work.factor[c] = n * prior[c] * inverse;
    }
    for (std::uint32_t t = 0; t < tiles; ++t) {
      PatternPosterior(task, t, gain + t * tileSize, keep + t * tileSize, pattern, work);
    }
  }
}

void RunBlockGeneric(const BlockTask& task, EStepWorkspace& work) { RunBlockBody(task, work); }

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) void RunBlockAvx2(const BlockTask& task, EStepWorkspace& work) {
  RunBlockBody(task, work);
}

bool CpuHasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

using BlockFunction = void (*)(const BlockTask&, EStepWorkspace&);

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

std::uint32_t EffectiveThreadCount(std::uint32_t threadCount) {
  if (threadCount != 0) return threadCount;
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

void SetScalingThresholdForTesting(double threshold) { ScalingThreshold() = threshold; }
void ClearScalingThresholdForTesting() { ScalingThreshold() = kScalingThreshold; }
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
}

void EStepWorkspace::Resize(std::uint32_t nodeCount, std::uint32_t tiles, std::uint32_t blockEntries) {
  const std::size_t lanes = static_cast<std::size_t>(tiles) * kWidth;
  const std::size_t cells = nodeCount * lanes;
  q0.assign(cells, 0.0);
  q1.assign(cells, 0.0);
  out0.assign(static_cast<std::size_t>(nodeCount) * kWidth, 0.0);
  out1.assign(static_cast<std::size_t>(nodeCount) * kWidth, 0.0);
  likelihood.assign(lanes, 0.0);
  factor.assign(lanes, 0.0);
  scaled = false;
  logScale = 0;
  exponent.assign(lanes, 0);
  firstChildExponent.assign(lanes, 0);
  secondChildExponent.assign(lanes, 0);
  rescaled.assign(static_cast<std::size_t>(nodeCount) * tiles, 0);
  ownExponent.assign(cells, 0);
  transitions.assign(4 * cells, 0.0);
  entryLogLikelihood.assign(blockEntries, 0.0);
  entryCategories.assign(blockEntries * lanes, 0.0);
}

void EM::FillBranchTables(const PhylogeneticTree& tree, std::uint32_t g) {
  const std::uint32_t m = lossCategories.count, pairs = gainCategories.count * m;
  const std::vector<double>& rg = gainCategories.rates;
  const std::vector<double>& rl = lossCategories.rates;
  const std::size_t tileSize = static_cast<std::size_t>(tree.nodeCount) * kWidth;
  double* gain = &estep.gain[g * estep.tiles * tileSize];
  double* keep = &estep.keep[g * estep.tiles * tileSize];
  for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
    const double t = tree.branchLength[v];
    for (std::uint32_t c = 0; c < pairs; ++c) {
      const std::size_t at = c / kWidth * tileSize + v * kWidth + c % kWidth;
      // Each value depends on one category only; it is computed once and copied to its pairs.
      if (c % m == 0) {
        gain[at] = model.xi[v] * (1 - std::exp(-model.eta[g] * rg[c / m] * t));
      } else {
        gain[at] = gain[(c - 1) / kWidth * tileSize + v * kWidth + (c - 1) % kWidth];
      }
      if (c < m) {
        keep[at] = (1 - model.phi[v]) * std::exp(-model.theta[g] * rl[c] * t);
      } else {
        keep[at] = keep[(c - m) / kWidth * tileSize + v * kWidth + (c - m) % kWidth];
      }
    }
  }
}

void EM::PrepareExpectations(const AlignmentData& data, const PhylogeneticTree& tree) {
  const std::uint32_t k = gainCategories.count, m = lossCategories.count;
  sums.Resize(data.geneCount, tree.nodeCount, k, m);
  estep.tiles = (k * m + kWidth - 1) / kWidth;
  const std::size_t tables = static_cast<std::size_t>(data.geneCount) * estep.tiles * tree.nodeCount * kWidth;
  estep.gain.assign(tables, 0.0);
  estep.keep.assign(tables, 0.0);
  estep.prior.assign(static_cast<std::size_t>(estep.tiles) * kWidth, 0.0);
  estep.workspaces.assign(1, EStepWorkspace());
  estep.workspaces[0].Resize(tree.nodeCount, estep.tiles, kEStepBlockEntries);
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
  }

  const std::uint32_t blockCount = static_cast<std::uint32_t>(scratch.blocks.size());
  const std::uint32_t threads = std::max(1U, std::min(EffectiveThreadCount(threadCount), blockCount));
  if (scratch.workspaces.size() < threads) {
    const std::size_t had = scratch.workspaces.size();
    scratch.workspaces.resize(threads);
    for (std::size_t w = had; w < threads; ++w) {
      scratch.workspaces[w].Resize(tree.nodeCount, scratch.tiles, kEStepBlockEntries);
    }
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
    return BlockTask{&tree, &scratch, block.gene, block.first, block.end, pairs, model.p0, 1 - model.p0,
                     ScalingThreshold()};
  };
  // Blocks join the sums in their order, whichever thread computed them: the transitions block
  // by block, the log-likelihood and the category weights entry by entry.
  auto merge = [&](std::uint32_t b, const EStepWorkspace& work) {
    const EStepBlock& block = scratch.blocks[b];
    const std::size_t tileSize = static_cast<std::size_t>(tree.nodeCount) * kWidth;
    for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
      for (int ab = 0; ab < 4; ++ab) {
        double* sum = &sums.transitions[sums.TransitionOffset(block.gene, v, ab / 2, ab % 2)];
        for (std::uint32_t c = 0; c < pairs; ++c) {
          sum[c] += work.transitions[4 * (c / kWidth * tileSize) + (4 * static_cast<std::size_t>(v) + ab) * kWidth +
                                     c % kWidth];
        }
      }
    }
    double* categories = &sums.categories[static_cast<std::size_t>(block.gene) * pairs];
    for (std::uint32_t e = 0; e < block.end - block.first; ++e) {
      for (std::uint32_t c = 0; c < pairs; ++c) categories[c] += work.entryCategories[e * pairs + c];
      logLikelihoodSum += work.entryLogLikelihood[e];
    }
  };

  if (threads == 1) {
    for (std::uint32_t b = 0; b < blockCount; ++b) {
      run(task(b), scratch.workspaces[0]);
      merge(b, scratch.workspaces[0]);
    }
  } else {
    std::atomic<std::uint32_t> nextBlock{0};
    std::mutex mutex;
    std::condition_variable turn;
    std::uint32_t merged = 0;
    RunOnThreads(threads, [&](std::uint32_t worker) {
      EStepWorkspace& work = scratch.workspaces[worker];
      for (std::uint32_t b; (b = nextBlock.fetch_add(1)) < blockCount;) {
        run(task(b), work);
        std::unique_lock<std::mutex> lock(mutex);
        turn.wait(lock, [&] { return merged == b; });
        merge(b, work);
        ++merged;
        lock.unlock();
        turn.notify_all();
      }
    });
  }
  logLikelihood = logLikelihoodSum;
}

void EM::AccumulateAncestral(AlignmentData& data, const PhylogeneticTree& tree) const {
  data.AllocateWorkTables();
  const std::uint32_t r1 = tree.firstChild[0];
  std::atomic<std::uint32_t> nextGene{0};
  RunOnThreads(std::max(1U, std::min(EffectiveThreadCount(threadCount), data.geneCount)), [&](std::uint32_t) {
    for (std::uint32_t g; (g = nextGene.fetch_add(1)) < data.geneCount;) {
      auto total = [this, g](std::uint32_t v, int a, int b) {
        const double* block = &sums.transitions[sums.TransitionOffset(g, v, a, b)];
        double s = 0;
        for (std::uint32_t c = 0; c < sums.pairCount; ++c) s += block[c];
        return s;
      };
      data.expectedPresent[data.WorkIndex(g, 0)] = total(r1, 1, 0) + total(r1, 1, 1);
      for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
        const std::size_t at = data.WorkIndex(g, v);
        const double retained = total(v, 1, 1);
        data.expectedPresent[at] = total(v, 0, 1) + retained;
        data.expectedLosses[at] = total(v, 1, 0);
        data.expectedGains[at] = total(v, 0, 1);
        data.expectedRetentions[at] = retained;
      }
    }
  });
}

}  // namespace vorn
