// Convergence measures per parameter family and the optimality check.
#include "estimation/convergence.h"

namespace vorn {

void ConvergenceMonitor::Reset() {
  for (int i = 0; i <= kLargest; ++i) entries[i] = 0;
}

void ConvergenceMonitor::Record(ParameterFamily family, double newValue, double oldValue) {
  const double d = RelativeChange(newValue, oldValue, family);
  if (Family(family).extent == Extent::kModel) {
    entries[family] = d;
  } else if (d > entries[family]) {
    entries[family] = d;
  } else {
    return;
  }
  if (d > entries[kLargest]) entries[kLargest] = d;
}

bool ConvergenceMonitor::Converged(double likelihoodTolerance, double parameterTolerance) const {
  if (entries[kLargest] > parameterTolerance) return false;
  if (entries[kLikelihood] > likelihoodTolerance) return false;
  return true;
}

ParameterFamily ConvergenceMonitor::FirstUnconverged(double parameterTolerance) const {
  for (int i = 0; i < kFamilyCount; ++i) {
    if (entries[i] > parameterTolerance) return static_cast<ParameterFamily>(i);
  }
  return kNoFamily;
}

}  // namespace vorn
