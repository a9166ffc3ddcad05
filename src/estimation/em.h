#pragma once
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "estimation/e_step.h"
#include "estimation/evol_model.h"
#include "estimation/rate_categories.h"

namespace vorn {

class AlignmentData;
class HistoryFiles;
class MersenneTwister;
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

// One estimated parameter at the current point: the derivative of the log-likelihood in it, its
// range, and whether it is a rate (judged per relative change) or a probability (per unit).
struct FreeParameter {
  int family = 0;  // 0 p0, 1 theta, 2 phi, 3 eta, 4 xi, 5 nu, 6 l-lambda, 7 g-lambda
  std::uint32_t index = 0;  // gene or node; 0 for the single parameters
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
  int family = -1;  // where the largest one is, as in FreeParameter; -1 when nothing is estimated
  std::uint32_t index = 0;
};

// What the iteration limit found unmet when it ended a fit: a relative change of the
// log-likelihood or of a parameter family above its tolerance, or a derivative above the
// optimality threshold.
struct UnmetCriterion {
  enum Kind { kLikelihoodChange, kParameterChange, kOptimality } kind = kLikelihoodChange;
  int family = -1;  // as in FreeParameter; -1 for the log-likelihood
  double value = 0, threshold = 0;
};

// The parameter families as printed: "p0", "theta", "phi", "eta", "xi", "nu", "l-lambda", "g-lambda".
extern const char* const kFamilyNames[8];

// How the estimation climbs: the classic EM (one parameter family at a time, each update followed by
// an E-step), or a quasi-Newton search on the log-likelihood with EM sweeps as its safe fallback.
enum class Optimizer { kEm, kFast };

// The line after the iteration-limit warning that names what did not converge: 0 nobody in
// particular, 1 ... 8 p0 ... g-lambda.
extern const char* const kUnconvergedLines[9];

// Most starts one fit may ask for.
constexpr std::uint32_t kMaxStarts = 1000;

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
  // The derivatives of the log-likelihood in every estimated parameter, which equal those of Q at
  // the current point, from the sums of the latest E-step.
  void ForEachFreeParameter(const AlignmentData& data, const PhylogeneticTree& tree,
                            const std::function<void(const FreeParameter&)>& visit) const;
  OptimalityCheck CheckOptimality(const AlignmentData& data, const PhylogeneticTree& tree) const;
  // The largest relative change since `start` of a parameter that still matters: a probability
  // sliding towards 0 whose whole way there could not gain what the likelihood tolerance resolves
  // is judged by that effect instead, so that a geometric decay does not keep a fit running.
  double LargestMeaningfulChange(const EvolModel& start, const AlignmentData& data, const PhylogeneticTree& tree) const;

  double LossRateObjective(double llambdaValue, const PhylogeneticTree& tree) const;
  double GainRateObjective(double glambdaValue, const PhylogeneticTree& tree) const;
  void UpdateLLambda(const PhylogeneticTree& tree);
  void UpdateGLambda(const PhylogeneticTree& tree);

  static constexpr double kThetaFloor = 0.0001;
  static constexpr double kEtaFloor = 1.1920928955078125e-07;  // 2^-23
  static constexpr double kPhiCeiling = 0.9999;
  // xi never goes below 2^-23: at 0 a branch could never gain again (the E-step would give its
  // gains no weight), and the likelihood lost by the floor is below what any tolerance resolves.
  static constexpr double kXiFloor = 1.1920928955078125e-07;

  std::uint32_t maxIterations = 1000;
  std::uint32_t iterations = 0;
  std::uint64_t eSteps = 0;  // of the fit (over all starts once it has ended)
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
  Optimizer optimizer = Optimizer::kEm;
  std::uint32_t starts = 1;  // the control file's start and starts - 1 random ones
  // Threads of the E-step and of the ancestral accumulation: 1 works on the calling thread
  // alone, 0 means one per core that the system reports. The results do not depend on it.
  std::uint32_t threadCount = 1;
  // The data hold only characters present at some leaf: each gene's likelihood is conditioned on
  // that (divided by 1 - P(absent everywhere)), and the unobserved all-absent sites are estimated
  // as missing data in every E-step.
  bool conditionOnPresence = false;
  bool thetaPhiInvariant = false;
  bool etaXiInvariant = false;
  EstimationFlags flags;
  InitializationSettings initialization;
  ConvergenceMonitor monitor;
  EvolModel model;
  RateCategories gainCategories;
  RateCategories lossCategories;
  PosteriorSums sums;
  OptimalityCheck optimality;  // of the last iteration, once the run has ended
  bool converged = false;      // the fit ended before the iteration limit
  UnmetCriterion unmet;        // what the limit found unmet, when it ended the fit
  // Every estimated parameter at the end of the run, with its range and derivative.
  std::vector<FreeParameter> estimates;

 private:
  void EStep(const AlignmentData& data, const PhylogeneticTree& tree);
  // The warning lines of a fit that the iteration limit ends, which is then not converged;
  // unconverged as kUnconvergedLines.
  void ReportIterationLimit(int unconverged);
  UnmetCriterion CriterionNotMet(int unconverged) const;
  // The iterations of one start, from the first E-step to convergence or the iteration limit.
  void IterateEm(const AlignmentData& data, const PhylogeneticTree& tree, HistoryFiles& history);
  void IterateFast(const AlignmentData& data, const PhylogeneticTree& tree, HistoryFiles& history);
  // Random starting values of the estimated parameters for a further start.
  void DrawRandomStart(MersenneTwister& random, const PhylogeneticTree& tree);
  void FillBranchTables(const PhylogeneticTree& tree, std::uint32_t gene);

  EStepScratch estep;
};

}  // namespace vorn
