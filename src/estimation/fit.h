// The estimator's one call: settings, the tree and the data in, the fitted model and how the fit
// went out. The driver makes one Estimator per run; its E-step, and the threads it works on,
// serve the fit and everything computed afterwards at the result.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "estimation/ancestral.h"
#include "estimation/convergence.h"
#include "estimation/evol_model.h"
#include "estimation/fit_settings.h"
#include "estimation/e_step.h"
#include "estimation/rate_categories.h"

namespace vorn {

class AlignmentData;
class EM;
class HistorySink;
class PhylogeneticTree;
struct Uncertainty;

// How one start ended.
struct StartOutcome {
  bool skipped = false;    // its initial log-likelihood was not finite
  bool continued = true;   // climbed to its end; false for a start the screening left behind
  double logLikelihood = 0;
  std::uint32_t iterations = 0;
  std::uint64_t eSteps = 0;
  bool converged = false;
  OptimalityCheck optimality;
  UnmetCriterion unmet;
};

// The fit at its best point: the model and the rate categories it implies, the flags it ended
// with (a nu held fixed after its first estimate is no longer estimated), its log-likelihood and
// how it got there, every estimated parameter with its range and derivative, and the posterior
// sums of the E-step at that point.
struct FitResult {
  EvolModel model;
  EstimationFlags flags;
  FitLimits limits;
  RateCategories lossCategories, gainCategories;
  double logLikelihood = 0;
  std::uint32_t iterations = 0;
  std::uint64_t eSteps = 0;  // over all starts
  bool converged = false;    // the fit ended before the iteration limit
  UnmetCriterion unmet;      // what the limit found unmet, when it ended the fit
  OptimalityCheck optimality;
  std::vector<FreeParameter> estimates;
  std::vector<StartOutcome> starts;
  // Of the starts climbed to their end, those within kSameMaximum of the best (screened search
  // only; 0 otherwise).
  std::uint32_t startsAtBest = 0;
  PosteriorSums sums;
};

class Estimator {
 public:
  // The tree and the data must outlive the estimator.
  Estimator(const FitSettings& settings, const PhylogeneticTree& tree, const AlignmentData& data);
  ~Estimator();
  Estimator(const Estimator&) = delete;
  Estimator& operator=(const Estimator&) = delete;

  // Fits from the given values (the fixed values and the starting values of the estimated ones)
  // and then from the random starts the settings ask for, and keeps the best. False, after its
  // message, when there is nothing to fit or the given start is impossible.
  bool Fit(const EvolModel& given, HistorySink& history, FitResult* result);
  // The expected present characters, losses, gains and retentions per gene and node at the
  // result, over the observed sites.
  void Reconstruct(const FitResult& result, AncestralTables* tables);
  // The posteriors of single entries (distinct patterns of one gene) at the result, each as if it
  // were one site: what the per-site files are made of.
  void ComputeEntryPosteriors(const FitResult& result, const std::vector<EntryRef>& entries,
                              EntryPosteriors* posteriors);
  // The standard errors, intervals and undetermined directions at the result (uncertainty.h).
  void MeasureUncertainty(const FitResult& result, Uncertainty* uncertainty);

 private:
  std::unique_ptr<EM> em_;
  const FitSettings settings_;
  const PhylogeneticTree& tree_;
  const AlignmentData& data_;
};

}  // namespace vorn
