// The estimator's working state during one fit: the settings it was given and the limits derived
// from them, the current model with its rate categories, the E-step's sums and scratch at that
// point, the convergence measures, and the updates that move the point. Internal to the
// estimation; the driver and the writers see the Estimator and its FitResult (fit.h).
#pragma once
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "estimation/convergence.h"
#include "estimation/e_step.h"
#include "estimation/evol_model.h"
#include "estimation/fit_settings.h"
#include "estimation/rate_categories.h"

namespace vorn {

class AlignmentData;
class HistorySink;
class MersenneTwister;
class PhylogeneticTree;
struct AncestralTables;
struct FitResult;
struct StartOutcome;

// The iterations of one start by one optimizer, which may stop on the way and go on later: the
// screened search climbs many starts a little, then the best ones to their end.
class Climber {
 public:
  virtual ~Climber() = default;
  // Climbs until the start ends (true: converged, stuck or at the iteration limit) or until its
  // iteration count reaches pauseAt (false; the next call goes on from there).
  virtual bool Advance(std::uint32_t pauseAt) = 0;
};

class EM {
 public:
  virtual ~EM() = default;

  // Takes the settings, derives the limits from them, the given values and the tree, sizes the
  // flags, the model and the rate categories, and starts from the given values.
  void Configure(const FitSettings& fitSettings, const EvolModel& given, const PhylogeneticTree& tree);
  // Sizes the per-gene and per-node flags and the parameter set (for tests that set them by hand).
  void Resize(std::uint32_t nodeCount, std::uint32_t geneCount);

  // The estimation from the given values and the further random starts: initial values, then
  // E-steps alternating with the M-steps of the optimizer until convergence or the iteration
  // limit; the best start stays in the state and in the result. False (after its message) when
  // nothing can be fitted.
  bool Run(const AlignmentData& data, const PhylogeneticTree& tree, HistorySink& history, FitResult* result);

  // The start's initial values: those the data and the settings give, then for a further start a
  // random point (spread: from the regimes real data take, see DrawSpreadStart); false after its
  // message when the data cannot give them. Draws from the run's generators, so starts are begun
  // one after another, in their order.
  bool BeginStart(std::uint32_t start, bool spread, const AlignmentData& data, const PhylogeneticTree& tree);
  // The start's first E-step and history line; false when its likelihood is 0 (or not a number).
  bool FirstEStep(const AlignmentData& data, const PhylogeneticTree& tree, HistorySink& history);
  // Climbs by the optimizer of the settings until the start ends (true) or its iteration count
  // reaches pauseAt (false; a later call goes on where it stopped).
  bool Climb(const AlignmentData& data, const PhylogeneticTree& tree, HistorySink& history, std::uint32_t pauseAt);
  // The current start's summary.
  StartOutcome Outcome() const;
  // The error of a first start under which some pattern cannot occur.
  void PrintImpossibleStart() const;
  // The current start's line: skipped (ending null), or its iterations and E-steps and then ending.
  void PrintStartLine(std::uint32_t start, const char* ending) const;
  // The result of the fit from the current point (the best start's), after its optimality line;
  // totalESteps over all starts.
  void Finish(const AlignmentData& data, const PhylogeneticTree& tree, std::uint64_t totalESteps, FitResult* result);

  // The rate categories of the current shapes and nu.
  void SetRates();
  // The E-step at the current parameters and rate categories (eStep prepared for their counts):
  // new sums and log-likelihood.
  void ComputeExpectations(const AlignmentData& data, const PhylogeneticTree& tree);
  // The sums of the latest E-step.
  const PosteriorSums& Sums() const { return eStep.Sums(); }
  // Expected present characters, losses, gains and retentions per gene and node, from the sums
  // (in ancestral.cpp).
  void AccumulateAncestral(AncestralTables* tables, const PhylogeneticTree& tree) const;

  // ComputeExpectations, counted among the start's E-steps.
  void RunEStep(const AlignmentData& data, const PhylogeneticTree& tree);

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
  // One family's update from the latest sums, with the rate categories it moves.
  void Update(ParameterFamily family, const AlignmentData& data, const PhylogeneticTree& tree);
  // Every estimated family's update from the sums of one E-step, then the E-step: each raises
  // the expected complete-data log-likelihood, so together they raise the likelihood.
  void Sweep(const AlignmentData& data, const PhylogeneticTree& tree);

  // The derivatives of the log-likelihood in every estimated parameter, which equal those of Q at
  // the current point, from the sums of the latest E-step.
  void ForEachFreeParameter(const AlignmentData& data, const PhylogeneticTree& tree,
                            const std::function<void(const FreeParameter&)>& visit) const;
  OptimalityCheck CheckOptimality(const AlignmentData& data, const PhylogeneticTree& tree) const;
  // The largest derivative the optimality check lets pass (see CheckOptimality).
  double OptimalityThreshold(const AlignmentData& data) const;
  // The largest relative change since `start` of a parameter that still matters: a probability
  // sliding towards 0 whose whole way there could not gain what the likelihood tolerance resolves
  // is judged by that effect instead, so that a geometric decay does not keep a fit running.
  double LargestMeaningfulChange(const EvolModel& start, const AlignmentData& data, const PhylogeneticTree& tree) const;
  // The range of an estimated entry of the family at the current rate categories.
  Range RangeOf(ParameterFamily family) const;

  // The warning lines of a start that the iteration limit ends, which is then not converged;
  // unconverged names the family that kept it going, or kNoFamily for nobody in particular.
  void ReportIterationLimit(ParameterFamily unconverged);
  void PrintIterationLimit(ParameterFamily unconverged) const;
  UnmetCriterion CriterionNotMet(ParameterFamily unconverged) const;
  // A point to come back to: the model, its sums and log-likelihood.
  struct Saved {
    EvolModel model;
    PosteriorSums sums;
    double logLikelihood;
  };
  Saved Save() const { return {model, eStep.Sums(), logLikelihood}; }
  void Restore(const Saved& point);

  FitSettings settings;
  FitLimits limits;
  // Neither progress nor the iteration-limit warning: starts that run side by side report
  // afterwards, in their order (ended, unconverged: what the limit found).
  bool quiet = false;
  bool hitLimit = false;
  ParameterFamily unconverged = kNoFamily;
  std::uint32_t iterations = 0;
  std::uint64_t eSteps = 0;  // of the current start
  double logLikelihood = -std::numeric_limits<double>::max();
  // The E-step reads it; the reconstruction turns it off for a moment.
  bool conditionOnPresence = false;
  EstimationFlags flags;  // of the current start: the initialization may clear nu's
  ConvergenceMonitor monitor;
  EvolModel model;
  RateCategories gainCategories;
  RateCategories lossCategories;
  // The E-step, with its sums at the current point and the run's threads.
  EStep eStep;
  OptimalityCheck optimality;  // of the last iteration, once the start has ended
  bool converged = false;      // the start ended before the iteration limit
  UnmetCriterion unmet;        // what the limit found unmet, when it ended the start

 private:
  // One start from the given values (start 0) or a random point: false (after its message) when
  // the fit cannot go on; a start whose likelihood is 0 is skipped.
  bool RunStart(std::uint32_t start, const AlignmentData& data, const PhylogeneticTree& tree, HistorySink& history,
                StartOutcome* outcome);
  // Back to the best start's point and its E-step, once several starts have run.
  void ReturnToBestStart(const AlignmentData& data, const PhylogeneticTree& tree, const FitResult& result);

  bool prepared_ = false;
  // A copy of the state (tests take them) starts without a climb in progress: the climber holds
  // references to the state it climbs.
  struct ClimberSlot {
    ClimberSlot() = default;
    ClimberSlot(const ClimberSlot&) {}
    ClimberSlot& operator=(const ClimberSlot&) {
      climber.reset();
      return *this;
    }
    std::unique_ptr<Climber> climber;
  } climber_;
};

// Every update divides by what the sites say: with none left (a filter that removes them all) the
// estimates would be 0/0. False after the error.
bool SitesToFitFrom(const AlignmentData& data, bool conditionOnPresence);

// The climbers of the two optimizers, on the given state (which must outlive them).
std::unique_ptr<Climber> MakeEmIteration(EM& em, const AlignmentData& data, const PhylogeneticTree& tree,
                                         HistorySink& history);
std::unique_ptr<Climber> MakeFastSearch(EM& em, const AlignmentData& data, const PhylogeneticTree& tree,
                                        HistorySink& history);

}  // namespace vorn
