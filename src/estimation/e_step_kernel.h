// The E-step's kernel: one block of entries of one gene through the upward pass, the likelihood
// and the downward pass, into a block result for the ordered merge. Built twice, for the generic
// target and for AVX2, without FMA in either, so that every machine computes the same bits; the
// build that runs is chosen once, by what the processor supports.
#pragma once
#include <cstdint>

#include "estimation/e_step_layout.h"

namespace vorn {

// Conditional values of a deep tree shrink by a factor for every level; below 2^-256 a node's
// pair of values is brought back to [0.5, 1) by an exact power of two. The root step multiplies
// three such values, so the products stay far above the smallest normal double (2^-1022).
//
// A power of two, where the E-step once kept logarithms of the joint values and brought them back
// through safeexp, the exponential guarded against overflow: multiplying by 2^k changes no bit of
// a mantissa, so every rescaled value is exactly 2^k times the one an unbounded exponent would
// hold. The posteriors, ratios of such values, come out as the same bits whether or not, and
// wherever, a node was rescaled (the tests check it); only the logarithm of a rescaled entry is
// taken as ln(m) + k ln 2, which may round its last bit differently. And it is cheap: a
// comparison per node, and frexp and ldexp on the rare node that falls below the threshold, where
// the logarithms cost a log and a guarded exp per value, pair and entry.
constexpr double kScalingThreshold = 0x1p-256;

// A block and what it reads: the E-step's scratch, the gene's tables, the root's prior.
struct BlockTask {
  const EStepScratch* scratch;
  const double* branch;               // the gene's branch probabilities: [slot][tile]
  const double* const* leafPointers;  // the gene's leaf j's values when it shows x (2: unknown) at 3 j + x
  std::uint32_t nodeCount;
  std::uint32_t gene, first, end;  // entries first ... end - 1 of the scratch's list
  std::uint32_t pairCount;
  double rootAbsent, rootPresent;  // p0, 1 - p0
  double threshold;                // the scaling threshold, kScalingThreshold but in tests
};

// Works a block into `result` (whose transition sums must be 0) with the thread's two workspaces.
using BlockFunction = void (*)(const BlockTask& task, EStepWorkspace* works, EStepBlockResult& result);

// The AVX2 build where the processor has AVX2 and generic is false, else the generic build. Both
// give the same bits.
BlockFunction ChooseBlockFunction(bool generic);

}  // namespace vorn
