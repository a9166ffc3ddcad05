// The starts of a fit and the EM iteration of each.
#include "estimation/em.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

#include "data/alignment_data.h"
#include "data/diagnostics.h"
#include "data/phylogenetic_tree.h"
#include "data/progress.h"
#include "estimation/fit.h"
#include "estimation/history_sink.h"
#include "estimation/initialization.h"
#include "numerics/mersenne_twister.h"
#include "numerics/run_seed.h"

namespace vorn {

void EM::Resize(std::uint32_t nodeCount, std::uint32_t geneCount) {
  flags.Resize(nodeCount, geneCount);
  model.Resize(nodeCount, geneCount);
}

void EM::Configure(const FitSettings& fitSettings, const EvolModel& given, const PhylogeneticTree& tree) {
  settings = fitSettings;
  limits = DeriveLimits(settings, given, tree);
  flags = settings.flags;
  model = given;
  conditionOnPresence = settings.conditionOnPresence;
  EStepOptions options = eStep.Options();
  options.threadCount = settings.threadCount;
  options.communicator = settings.communicator;
  eStep.SetOptions(options);
  lossCategories.InitLossCategories(settings.lossCategories);
  gainCategories.InitGainCategories(settings.gainCategories);
}

void EM::SetRates() {
  lossCategories.SetLossRates(model.llambda);
  gainCategories.SetGainRates(model.glambda, model.nu);
}

void EM::Restore(const Saved& point) {
  model = point.model;
  eStep.Sums() = point.sums;
  logLikelihood = point.logLikelihood;
  SetRates();
}

Range EM::RangeOf(ParameterFamily family) const {
  return FamilyRange(family, settings, limits, lossCategories, gainCategories);
}

void EM::ComputeExpectations(const AlignmentData& data, const PhylogeneticTree& tree) {
  logLikelihood = eStep.Compute(model, gainCategories, lossCategories, conditionOnPresence, data, tree);
}

void EM::RunEStep(const AlignmentData& data, const PhylogeneticTree& tree) {
  ComputeExpectations(data, tree);
  ++eSteps;
}

void EM::Update(ParameterFamily family, const AlignmentData& data, const PhylogeneticTree& tree) {
  switch (family) {
    case kP0: UpdateP0(tree); break;
    case kTheta: UpdateTheta(tree); break;
    case kPhi: MaxPhi(tree); break;
    case kEta: UpdateEta(tree); break;
    case kXi: UpdateXi(tree); break;
    case kNu:
      UpdateNu(data);
      gainCategories.SetGainRates(model.glambda, model.nu);
      break;
    case kLLambda:
      UpdateLLambda(tree);
      lossCategories.SetLossRates(model.llambda);
      break;
    default:
      UpdateGLambda(tree);
      gainCategories.SetGainRates(model.glambda, model.nu);
  }
}

void EM::Sweep(const AlignmentData& data, const PhylogeneticTree& tree) {
  for (int f = 0; f < kFamilyCount; ++f) {
    const ParameterFamily family = static_cast<ParameterFamily>(f);
    if (Estimated(flags, family)) Update(family, data, tree);
  }
  RunEStep(data, tree);
}

namespace {

// A derivative pointing out of the range at a point from which the whole way to the bound could
// gain no more than `negligible`: the parameter is at its bound for the likelihood's purposes.
bool PointsOutAtBound(const FreeParameter& f, double negligible) {
  if (f.gradient < 0) return (f.value - f.lower) * -f.gradient <= negligible;
  if (f.gradient > 0) return (f.upper - f.value) * f.gradient <= negligible;
  return false;
}

}  // namespace

// Near a maximum the log-likelihood still to gain is about gradient^2 / (2 curvature), and both
// the curvature and the log-likelihood grow with the number of sites: a gradient of
// sites * sqrt(tolerance) leaves a gain of the order the likelihood tolerance resolves.
double EM::OptimalityThreshold(const AlignmentData& data) const {
  return data.filteredSites * std::sqrt(std::max(settings.likelihoodTolerance, 1e-16));
}

OptimalityCheck EM::CheckOptimality(const AlignmentData& data, const PhylogeneticTree& tree) const {
  OptimalityCheck check;
  check.threshold = OptimalityThreshold(data);
  const double negligible = settings.likelihoodTolerance * std::abs(logLikelihood);
  ForEachFreeParameter(data, tree, [&](const FreeParameter& f) {
    double measure = std::abs(f.rate ? f.gradient * f.value : f.gradient);
    if (PointsOutAtBound(f, negligible)) measure = 0;
    if (!(measure == measure)) measure = HUGE_VAL;  // a derivative that is not a number fails
    if (check.family == kNoFamily || measure > check.largest) {
      check.largest = measure;
      check.family = f.family;
      check.index = f.index;
    }
  });
  check.passed = check.largest <= check.threshold;
  return check;
}

double EM::LargestMeaningfulChange(const EvolModel& start, const AlignmentData& data,
                                   const PhylogeneticTree& tree) const {
  const double negligible = settings.likelihoodTolerance * std::abs(logLikelihood);
  double largest = 0;
  ForEachFreeParameter(data, tree, [&](const FreeParameter& f) {
    const double old = Value(start, f.family, f.index);
    const double change = RelativeChange(f.value, old, f.family);
    if (f.value < old && f.gradient < 0 && PointsOutAtBound(f, negligible)) return;
    if (change > largest) largest = change;
  });
  return largest;
}

UnmetCriterion EM::CriterionNotMet(ParameterFamily unconverged) const {
  if (unconverged == kNoFamily) {
    return {UnmetCriterion::kLikelihoodChange, kNoFamily, monitor.entries[ConvergenceMonitor::kLikelihood],
            settings.likelihoodTolerance};
  }
  // The fast search uses no parameter tolerance: what it found unmet is the optimality check.
  if (settings.optimizer == Optimizer::kEm && monitor.entries[unconverged] > settings.parameterTolerance) {
    return {UnmetCriterion::kParameterChange, unconverged, monitor.entries[unconverged], settings.parameterTolerance};
  }
  return {UnmetCriterion::kOptimality, unconverged, optimality.largest, optimality.threshold};
}

void EM::ReportIterationLimit(ParameterFamily family) {
  converged = false;
  hitLimit = true;
  unconverged = family;
  unmet = CriterionNotMet(family);
  if (quiet) return;
  EndProgress();
  PrintIterationLimit(family);
}

void EM::PrintIterationLimit(ParameterFamily family) const {
  std::printf("\nWarning: Maximum number of iterations reached\n");
  if (family == kNoFamily) {
    std::printf("         It is unclear who failed to converge.");
  } else {
    std::printf("         %s failed to converge.", Family(family).lineName);
  }
  // Scripts read the exit status and stderr, not the progress lines: the result is the best found,
  // but not a maximum.
  char unmetText[200];
  if (unmet.kind == UnmetCriterion::kLikelihoodChange) {
    std::snprintf(unmetText, sizeof unmetText,
                  "the relative change of the log-likelihood (%lg) is above the likelihood tolerance (%lg)", unmet.value,
                  unmet.threshold);
  } else if (unmet.kind == UnmetCriterion::kParameterChange) {
    std::snprintf(unmetText, sizeof unmetText, "the relative change of %s (%lg) is above the parameter tolerance (%lg)",
                  FamilyName(unmet.family), unmet.value, unmet.threshold);
  } else {
    std::snprintf(unmetText, sizeof unmetText,
                  "the derivative of the log-likelihood in %s (%lg) is above the optimality threshold (%lg)",
                  FamilyName(unmet.family), unmet.value, unmet.threshold);
  }
  Warn("iteration-limit", "EM:Run", "The fit reached the iteration limit (%u) before convergence: %s",
       static_cast<unsigned>(settings.maxIterations), unmetText);
}

namespace {

class EmIteration : public Climber {
 public:
  EmIteration(EM& em, const AlignmentData& data, const PhylogeneticTree& tree, HistorySink& history)
      : em_(em), data_(data), tree_(tree), history_(history) {}
  bool Advance(std::uint32_t pauseAt) override;

 private:
  EM& em_;
  const AlignmentData& data_;
  const PhylogeneticTree& tree_;
  HistorySink& history_;
  double meaningfulChange_ = 0;
};

bool EmIteration::Advance(std::uint32_t pauseAt) {
  const FitSettings& settings = em_.settings;
  ConvergenceMonitor& monitor = em_.monitor;
  for (;;) {
    if (em_.iterations >= pauseAt) return false;
    if (++em_.iterations > settings.maxIterations) {
      em_.iterations = settings.maxIterations;
      em_.optimality = em_.CheckOptimality(data_, tree_);
      // Name what kept the fit going: a parameter still changing in a way that matters, else the
      // parameter whose derivative failed the optimality check, else (the likelihood still rising)
      // nobody in particular.
      ParameterFamily unconverged = monitor.FirstUnconverged(settings.parameterTolerance);
      if (unconverged != kNoFamily && !(meaningfulChange_ > settings.parameterTolerance)) unconverged = kNoFamily;
      if (unconverged == kNoFamily && !(monitor.entries[ConvergenceMonitor::kLikelihood] > settings.likelihoodTolerance) &&
          !em_.optimality.passed) {
        unconverged = em_.optimality.family;
      }
      em_.ReportIterationLimit(unconverged);
      return true;
    }
    if (!em_.quiet) {
      ShowProgress("\r   %d iterations\t(loglikelihood convergence = %lg)          ", static_cast<int>(em_.iterations),
                   monitor.entries[ConvergenceMonitor::kLikelihood]);
    }
    const double previous = em_.logLikelihood;
    const EvolModel start = em_.model;
    monitor.Reset();
    // Each update is followed by a full E-step, so every likelihood line belongs to one update.
    for (int f = 0; f < kFamilyCount; ++f) {
      const ParameterFamily family = static_cast<ParameterFamily>(f);
      if (!Estimated(em_.flags, family)) continue;
      em_.Update(family, data_, tree_);
      em_.RunEStep(data_, tree_);
      history_.Update(family, {em_.model, em_.logLikelihood, em_.iterations});
    }
    monitor.RecordLikelihood(em_.logLikelihood, previous);
    history_.Flush();  // the history belongs to the fit in progress: users follow it with tail -f
    // Small changes alone do not make a maximum: EM crawls on flat ridges and cannot leave some
    // points on its own, so the fit ends only where no estimated parameter can still raise the
    // likelihood either.
    meaningfulChange_ = monitor.entries[ConvergenceMonitor::kLargest];
    if (meaningfulChange_ > settings.parameterTolerance) {
      meaningfulChange_ = em_.LargestMeaningfulChange(start, data_, tree_);
    }
    if (monitor.entries[ConvergenceMonitor::kLikelihood] > settings.likelihoodTolerance ||
        meaningfulChange_ > settings.parameterTolerance) {
      continue;
    }
    em_.optimality = em_.CheckOptimality(data_, tree_);
    if (em_.optimality.passed) return true;
  }
}

}  // namespace

std::unique_ptr<Climber> MakeEmIteration(EM& em, const AlignmentData& data, const PhylogeneticTree& tree,
                                         HistorySink& history) {
  return std::make_unique<EmIteration>(em, data, tree, history);
}

bool EM::Climb(const AlignmentData& data, const PhylogeneticTree& tree, HistorySink& history, std::uint32_t pauseAt) {
  std::unique_ptr<Climber>& climber = climber_.climber;
  if (!climber) {
    climber = settings.optimizer == Optimizer::kFast ? MakeFastSearch(*this, data, tree, history)
                                                      : MakeEmIteration(*this, data, tree, history);
  }
  if (!climber->Advance(pauseAt)) return false;
  climber.reset();
  return true;
}

namespace {

void PrintOptimality(const OptimalityCheck& check) {
  if (check.family == kNoFamily) return;  // nothing estimated
  const Extent extent = Family(check.family).extent;
  std::printf("optimality check: %s (largest projected gradient %lg at %s", check.passed ? "passed" : "failed",
              check.largest, FamilyName(check.family));
  if (extent != Extent::kModel) {
    std::printf("%s%u", extent == Extent::kGene ? " of gene #" : " of node #", static_cast<unsigned>(check.index));
  }
  std::printf(", threshold %lg)\n", check.threshold);
}

}  // namespace

bool SitesToFitFrom(const AlignmentData& data, bool conditionOnPresence) {
  if (data.filteredSites > 0) return true;
  std::fprintf(stderr, "Error:VORN:EM:Run: No site is left after the filter of unknown values%s: "
                       "there is nothing to estimate from\n",
               conditionOnPresence ? " and the sites that show the character at no leaf" : "");
  return false;
}

namespace {

bool AllNumbers(const std::vector<double>& values) {
  for (double v : values) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

}  // namespace

void EM::PrintImpossibleStart() const {
  // A shape so small that every quantile but the last is 0 gives rates of 0/0: the fault is the
  // shape's, not the data's.
  const bool loss = !AllNumbers(lossCategories.rates);
  if (loss || !AllNumbers(gainCategories.rates)) {
    std::fprintf(stderr, "Error:VORN:EM:Run: The %s rate categories of %s = %lg are not numbers: %u categories "
                         "cannot be cut from a gamma distribution of so small a shape; give a larger shape or fewer "
                         "categories\n",
                 loss ? "loss" : "gain", loss ? "l-lambda" : "g-lambda", loss ? model.llambda : model.glambda,
                 static_cast<unsigned>(loss ? lossCategories.count : gainCategories.count));
    return;
  }
  std::fprintf(stderr, "Error:VORN:EM:Run: The log-likelihood of the initial parameters is %lg: "
                       "some pattern cannot occur under them; start from other values\n",
               logLikelihood);
}

void EM::PrintStartLine(std::uint32_t start, const char* ending) const {
  if (!ending) {
    std::printf("start %u: log-likelihood %lg at the start; skipped\n", static_cast<unsigned>(start + 1),
                logLikelihood);
    return;
  }
  std::printf("start %u: log-likelihood %.6f after %u iterations and %llu E-steps; %s\n",
              static_cast<unsigned>(start + 1), logLikelihood, static_cast<unsigned>(iterations),
              static_cast<unsigned long long>(eSteps), ending);
}

bool EM::Run(const AlignmentData& data, const PhylogeneticTree& tree, HistorySink& history, FitResult* result) {
  // Every update divides by what the sites say; with none left (a filter that removes them all)
  // the estimates would be 0/0.
  if (!SitesToFitFrom(data, conditionOnPresence)) return false;
  // Every start begins from the given values and flags (the initialization may clear nu's).
  const EvolModel given = model;
  const EstimationFlags givenFlags = flags;
  result->starts.clear();
  bool found = false;
  std::uint64_t totalESteps = 0;
  for (std::uint32_t start = 0; start < settings.starts; ++start) {
    model = given;
    flags = givenFlags;
    StartOutcome outcome;
    if (!RunStart(start, data, tree, history, &outcome)) return false;
    result->starts.push_back(outcome);
    if (outcome.skipped) continue;
    totalESteps += eSteps;
    if (!found || logLikelihood > result->logLikelihood) {
      found = true;
      result->logLikelihood = logLikelihood;
      result->model = model;
    }
  }
  if (settings.starts > 1) ReturnToBestStart(data, tree, *result);
  Finish(data, tree, totalESteps, result);
  return true;
}

void EM::Finish(const AlignmentData& data, const PhylogeneticTree& tree, std::uint64_t totalESteps, FitResult* result) {
  PrintOptimality(optimality);
  if (optimality.family != kNoFamily) std::printf("E-steps: %llu\n", static_cast<unsigned long long>(totalESteps));
  result->model = model;
  result->flags = flags;
  result->limits = limits;
  result->lossCategories = lossCategories;
  result->gainCategories = gainCategories;
  result->logLikelihood = logLikelihood;
  result->iterations = iterations;
  result->eSteps = totalESteps;
  result->converged = converged;
  result->unmet = unmet;
  result->optimality = optimality;
  // The sums of the last E-step describe the reported point; the derivatives and bounds of its
  // parameters are read from them.
  result->estimates.clear();
  ForEachFreeParameter(data, tree, [result](const FreeParameter& f) { result->estimates.push_back(f); });
  result->sums = eStep.Sums();
}

bool EM::BeginStart(std::uint32_t start, bool spread, const AlignmentData& data, const PhylogeneticTree& tree) {
  if (!InitializeParameters(tree, data, settings, flags, model)) return false;
  if (start > 0) {
    MersenneTwister random = DerivedGenerator(RandomPurpose::kStarts, start);
    // The ranges are those of the rate categories as the last start left them.
    if (spread) {
      SetRates();  // the ranges of this start's initial shapes
      DrawSpreadStart(random, start, tree, settings, flags, RangeOf(kTheta), RangeOf(kEta), model);
    } else {
      DrawRandomStart(random, tree, settings, flags, RangeOf(kTheta), RangeOf(kEta), model);
    }
  }
  SetRates();
  if (!prepared_) eStep.Prepare(data, tree, gainCategories.count, lossCategories.count);
  prepared_ = true;
  return true;
}

bool EM::FirstEStep(const AlignmentData& data, const PhylogeneticTree& tree, HistorySink& history) {
  eSteps = 0;
  iterations = 0;
  RunEStep(data, tree);
  history.Start({model, logLikelihood, 0});
  optimality = OptimalityCheck();
  monitor = ConvergenceMonitor();
  converged = true;  // until the iteration limit says otherwise
  hitLimit = false;
  unconverged = kNoFamily;
  unmet = UnmetCriterion();
  climber_.climber.reset();
  // A start under which some pattern cannot occur (a Dollo start of 0 or 1 on a branch that the
  // pattern needs otherwise) has likelihood 0, and EM never leaves it: the E-step gives that
  // pattern no weight, so no update makes it possible again.
  return std::isfinite(logLikelihood);
}

StartOutcome EM::Outcome() const {
  return {false, true, logLikelihood, iterations, eSteps, converged, optimality, unmet};
}

bool EM::RunStart(std::uint32_t start, const AlignmentData& data, const PhylogeneticTree& tree, HistorySink& history,
                  StartOutcome* outcome) {
  if (!BeginStart(start, false, data, tree)) return false;
  if (!FirstEStep(data, tree, history)) {
    if (start == 0) {
      PrintImpossibleStart();
      return false;
    }
    PrintStartLine(start, nullptr);
    outcome->skipped = true;
    outcome->logLikelihood = logLikelihood;
    return true;
  }
  Climb(data, tree, history, std::numeric_limits<std::uint32_t>::max());
  EndProgress();
  std::printf("\n");
  if (settings.starts > 1) PrintStartLine(start, optimality.passed ? "optimality check passed" : "optimality check failed");
  *outcome = Outcome();
  return true;
}

void EM::ReturnToBestStart(const AlignmentData& data, const PhylogeneticTree& tree, const FitResult& result) {
  // The result describes the best start: its sums are those of an E-step at its point.
  const StartOutcome* best = nullptr;
  for (const StartOutcome& s : result.starts) {
    if (!s.skipped && (!best || s.logLikelihood > best->logLikelihood)) best = &s;
  }
  model = result.model;
  SetRates();
  ComputeExpectations(data, tree);
  iterations = best->iterations;
  optimality = best->optimality;
  converged = best->converged;
  unmet = best->unmet;
  std::printf("best start: log-likelihood %.6f\n", logLikelihood);
}

}  // namespace vorn
