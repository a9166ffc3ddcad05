#pragma once

namespace vorn {

// The estimator: control settings of the EM run. The maximum number of iterations decides whether
// a run estimates at all (0: read, and simulate when asked, then stop).
class EM {
 public:
  virtual ~EM() = default;

  int maxIterations = 1000;
};

}  // namespace vorn
