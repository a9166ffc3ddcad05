#include "estimation/em.h"

namespace vorn {

void ConvergenceMonitor::Reset() {
  for (int i = 0; i < 9; ++i) entries[i] = 0;
}

void ConvergenceMonitor::RecordSingle(int entry, double d) {
  entries[entry] = d;
  if (d > entries[8]) entries[8] = d;
}

void ConvergenceMonitor::RecordLargest(int entry, double d) {
  if (d > entries[entry]) {
    entries[entry] = d;
    if (d > entries[8]) entries[8] = d;
  }
}

bool ConvergenceMonitor::Converged(double likelihoodTolerance, double parameterTolerance) const {
  if (entries[8] > parameterTolerance) return false;
  if (entries[9] > likelihoodTolerance) return false;
  return true;
}

int ConvergenceMonitor::FirstUnconverged(double parameterTolerance) const {
  for (int i = 0; i < 8; ++i) {
    if (entries[i] > parameterTolerance) return i + 1;
  }
  return 0;
}

void EM::Resize(std::uint32_t nodeCount, std::uint32_t geneCount) {
  flags.theta.assign(geneCount, 0);
  flags.eta.assign(geneCount, 0);
  flags.phi.assign(nodeCount, 0);
  flags.xi.assign(nodeCount, 0);
  model.Resize(nodeCount, geneCount);
}

}  // namespace vorn
