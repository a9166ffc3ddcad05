// How a fit judges its progress and its end: the relative changes of one iteration, the
// estimated parameters with their derivatives and ranges, the first-order optimality check, and
// what an iteration limit found unmet.
#pragma once
#include <array>
#include <cstdint>

#include "estimation/parameter_families.h"

namespace vorn {

// Relative changes measured during one EM iteration: an entry per parameter family (the largest
// over its genes or nodes), then the largest since the last reset, then the relative change of
// the log-likelihood. Comparisons are strict, so a change that is not a number never counts as
// above a tolerance.
class ConvergenceMonitor {
 public:
  static constexpr int kLargest = kFamilyCount;
  static constexpr int kLikelihood = kFamilyCount + 1;
  static constexpr int kEntries = kFamilyCount + 2;

  void Reset();
  // A new value of one entry of the family: a model-wide family's change replaces the last, a
  // per-gene or per-node family keeps the largest of its entries.
  void Record(ParameterFamily family, double newValue, double oldValue);
  void RecordP0(double newValue, double oldValue) { Record(kP0, newValue, oldValue); }
  void RecordTheta(double newValue, double oldValue) { Record(kTheta, newValue, oldValue); }
  void RecordPhi(double newValue, double oldValue) { Record(kPhi, newValue, oldValue); }
  void RecordEta(double newValue, double oldValue) { Record(kEta, newValue, oldValue); }
  void RecordXi(double newValue, double oldValue) { Record(kXi, newValue, oldValue); }
  void RecordNu(double newValue, double oldValue) { Record(kNu, newValue, oldValue); }
  void RecordLLambda(double newValue, double oldValue) { Record(kLLambda, newValue, oldValue); }
  void RecordGLambda(double newValue, double oldValue) { Record(kGLambda, newValue, oldValue); }
  // Positive when the (negative) log-likelihood rose.
  void RecordLikelihood(double newValue, double oldValue) { entries[kLikelihood] = (oldValue - newValue) / oldValue; }
  bool Converged(double likelihoodTolerance, double parameterTolerance) const;
  // The first family still above the tolerance, kNoFamily for none.
  ParameterFamily FirstUnconverged(double parameterTolerance) const;

  std::array<double, kEntries> entries{};
};

// One estimated parameter at the current point: the derivative of the log-likelihood in it, its
// range, and whether it is a rate (judged per relative change) or a probability (per unit).
struct FreeParameter {
  ParameterFamily family = kP0;
  std::uint32_t index = 0;  // gene or node; 0 for the model-wide families
  double value = 0, gradient = 0, lower = 0, upper = 0;
  // The second derivative of Q in it at the current point (the complete-data information,
  // negated): a scale for steps in this parameter alone; 0 where unknown.
  double curvature = 0;
  bool rate = false;
};

// First-order optimality at the end of a fit: the largest derivative of the log-likelihood over
// the estimated parameters, projected on their ranges (0 at a bound the gradient points out of,
// or so close to it that going there could not gain what the likelihood tolerance resolves), per
// unit of a probability and per relative change of a rate.
struct OptimalityCheck {
  bool passed = false;
  double largest = 0, threshold = 0;
  ParameterFamily family = kNoFamily;  // where the largest one is; kNoFamily when nothing is estimated
  std::uint32_t index = 0;
};

// What the iteration limit found unmet when it ended a fit: a relative change of the
// log-likelihood or of a parameter family above its tolerance, or a derivative above the
// optimality threshold.
struct UnmetCriterion {
  enum Kind { kLikelihoodChange, kParameterChange, kOptimality } kind = kLikelihoodChange;
  ParameterFamily family = kNoFamily;  // kNoFamily for the log-likelihood
  double value = 0, threshold = 0;
};

}  // namespace vorn
