#pragma once
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "estimation/e_step.h"
#include "estimation/evol_model.h"
#include "estimation/rate_categories.h"

namespace vorn {

class AlignmentData;
class PhylogeneticTree;

// Relative changes measured during one EM iteration: entries 0-7 per parameter (p0, theta, phi,
// eta, xi, nu, l-lambda, g-lambda), 8 the largest since the last reset, 9 the relative change of
// the log-likelihood. Comparisons are strict, so a change that is not a number never counts as
// above a tolerance.
class ConvergenceMonitor {
 public:
  static constexpr int kEntries = 10;

  void Reset();
  void RecordP0(double newValue, double oldValue) { RecordSingle(0, Relative(newValue, oldValue)); }
  void RecordTheta(double newValue, double oldValue) { RecordLargest(1, Relative(newValue, oldValue)); }
  void RecordPhi(double newValue, double oldValue) { RecordLargest(2, RelativeToProbability(newValue, oldValue)); }
  void RecordEta(double newValue, double oldValue) { RecordLargest(3, Relative(newValue, oldValue)); }
  void RecordXi(double newValue, double oldValue) { RecordLargest(4, RelativeToProbability(newValue, oldValue)); }
  void RecordNu(double newValue, double oldValue) { RecordSingle(5, Relative(newValue, oldValue)); }
  void RecordLLambda(double newValue, double oldValue) { RecordSingle(6, Relative(newValue, oldValue)); }
  void RecordGLambda(double newValue, double oldValue) { RecordSingle(7, Relative(newValue, oldValue)); }
  // Positive when the (negative) log-likelihood rose.
  void RecordLikelihood(double newValue, double oldValue) { entries[9] = (oldValue - newValue) / oldValue; }
  bool Converged(double likelihoodTolerance, double parameterTolerance) const;
  // 1 (p0) ... 8 (g-lambda) for the first parameter still above the tolerance; 0 for none.
  int FirstUnconverged(double parameterTolerance) const;

  std::array<double, kEntries> entries{};

 private:
  static double Relative(double newValue, double oldValue) { return std::abs(newValue - oldValue) / oldValue; }
  // Probabilities may start at 0; the epsilon keeps the measure finite then.
  static double RelativeToProbability(double newValue, double oldValue) {
    return std::abs(newValue - oldValue) / (oldValue + 2.220446049250313e-16);
  }
  void RecordSingle(int entry, double d);
  void RecordLargest(int entry, double d);
};

// The estimator: control settings read from the control file, which parameters are estimated
// and how they start, the convergence measures, the parameter set estimated in place and the
// gain and loss rate categories. One per run, built with these defaults by the driver.
class EM {
 public:
  virtual ~EM() = default;

  // Sizes the per-gene and per-node flags and the parameter set, once the tree and genes are known.
  void Resize(std::uint32_t nodeCount, std::uint32_t geneCount);

  // The estimation: initial values, then E-steps alternating with one M-step per estimated
  // parameter family until convergence or the iteration limit, with the nine history files.
  // False (after its message) only when a history file cannot be created.
  bool Run(AlignmentData& data, const PhylogeneticTree& tree, const std::string& projectName);

  // The report's fixed and estimated parameters, rate distributions and control settings.
  void WriteParameters(std::FILE* file, const AlignmentData& data, const PhylogeneticTree& tree) const;

  // E-step: sizes the posterior sums and the scratch once per run, then recomputes the sums and
  // the log-likelihood from the current parameters and rate categories.
  void PrepareExpectations(const AlignmentData& data, const PhylogeneticTree& tree);
  void ComputeExpectations(const AlignmentData& data, const PhylogeneticTree& tree);
  // Expected present characters, losses, gains and retentions per gene and node, into the data.
  void AccumulateAncestral(AlignmentData& data, const PhylogeneticTree& tree) const;

  // M-steps; each reads the sums of the latest E-step and records its changes in the monitor.
  void UpdateP0(const PhylogeneticTree& tree);
  void UpdateTheta(const PhylogeneticTree& tree);
  void MaxPhi(const PhylogeneticTree& tree);
  void UpdateEta(const PhylogeneticTree& tree);
  void UpdateXi(const PhylogeneticTree& tree);
  void UpdateNu(const AlignmentData& data);

  // Shape updates: the negated expected log-likelihood of the losses (gains) as a function of the
  // shape alone, minimised by bracketing and Brent's method within [minimal value, 5000].
  double LossRateObjective(double llambdaValue, const PhylogeneticTree& tree) const;
  double GainRateObjective(double glambdaValue, const PhylogeneticTree& tree) const;
  void UpdateLLambda(const PhylogeneticTree& tree);
  void UpdateGLambda(const PhylogeneticTree& tree);

  std::uint32_t maxIterations = 1000;
  std::uint32_t iterations = 0;
  double likelihoodTolerance = 0;
  double parameterTolerance = 0;
  double internalTolerance = 0;
  double logLikelihood = -std::numeric_limits<double>::max();
  double thetaCap = 0;
  double etaCap = 0;
  double minLLambda = 0.05;
  double minGLambda = 0.06;
  bool nuHeldFixed = false;
  std::uint16_t ancestralMode = 0;  // 0 off, 1 on, 2 detailed
  // Threads of the E-step and of the ancestral accumulation: 1 works on the calling thread
  // alone, 0 means one per core that the system reports. The results do not depend on it.
  std::uint32_t threadCount = 1;
  bool thetaPhiInvariant = false;
  bool etaXiInvariant = false;
  EstimationFlags flags;
  InitializationSettings initialization;
  ConvergenceMonitor monitor;
  EvolModel model;
  RateCategories gainCategories;
  RateCategories lossCategories;
  PosteriorSums sums;

 private:
  void FillBranchTables(const PhylogeneticTree& tree, std::uint32_t gene);

  EStepScratch estep;
};

}  // namespace vorn
