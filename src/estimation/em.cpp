#include "estimation/em.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

#include "data/alignment_data.h"
#include "data/c_file.h"
#include "data/phylogenetic_tree.h"
#include "data/progress.h"
#include "estimation/history_files.h"
#include "numerics/mersenne_twister.h"
#include "numerics/run_seed.h"

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

namespace {

// A derivative pointing out of the range at a point from which the whole way to the bound could
// gain no more than `negligible`: the parameter is at its bound for the likelihood's purposes.
bool PointsOutAtBound(const FreeParameter& f, double negligible) {
  if (f.gradient < 0) return (f.value - f.lower) * -f.gradient <= negligible;
  if (f.gradient > 0) return (f.upper - f.value) * f.gradient <= negligible;
  return false;
}

double ValueOf(const EvolModel& model, int family, std::uint32_t index) {
  switch (family) {
    case 0: return model.p0;
    case 1: return model.theta[index];
    case 2: return model.phi[index];
    case 3: return model.eta[index];
    case 4: return model.xi[index];
    case 5: return model.nu;
    case 6: return model.llambda;
    default: return model.glambda;
  }
}

}  // namespace

OptimalityCheck EM::CheckOptimality(const AlignmentData& data, const PhylogeneticTree& tree) const {
  OptimalityCheck check;
  // Near a maximum the log-likelihood still to gain is about gradient^2 / (2 curvature), and both
  // the curvature and the log-likelihood grow with the number of sites: a gradient of
  // sites * sqrt(tolerance) leaves a gain of the order the likelihood tolerance resolves.
  check.threshold = data.filteredSites * std::sqrt(std::max(likelihoodTolerance, 1e-16));
  const double negligible = likelihoodTolerance * std::abs(logLikelihood);
  ForEachFreeParameter(data, tree, [&](const FreeParameter& f) {
    double measure = std::abs(f.rate ? f.gradient * f.value : f.gradient);
    if (PointsOutAtBound(f, negligible)) measure = 0;
    if (!(measure == measure)) measure = HUGE_VAL;  // a derivative that is not a number fails
    if (check.family < 0 || measure > check.largest) {
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
  const double negligible = likelihoodTolerance * std::abs(logLikelihood);
  double largest = 0;
  ForEachFreeParameter(data, tree, [&](const FreeParameter& f) {
    const double old = ValueOf(start, f.family, f.index);
    const bool probability = f.family == 2 || f.family == 4;
    const double change = std::abs(f.value - old) / (probability ? old + 2.220446049250313e-16 : old);
    if (f.value < old && f.gradient < 0 && PointsOutAtBound(f, negligible)) return;
    if (change > largest) largest = change;
  });
  return largest;
}

void EM::Resize(std::uint32_t nodeCount, std::uint32_t geneCount) {
  flags.theta.assign(geneCount, 0);
  flags.eta.assign(geneCount, 0);
  flags.phi.assign(nodeCount, 0);
  flags.xi.assign(nodeCount, 0);
  model.Resize(nodeCount, geneCount);
}

}  // namespace vorn

namespace vorn {
namespace {

bool AnyFlag(const std::vector<std::uint8_t>& flags) {
  for (std::uint8_t f : flags) {
    if (f) return true;
  }
  return false;
}

}  // namespace

const char* const kUnconvergedLines[9] = {
    "         It is unclear who failed to converge.", "         P0 failed to converge.",
    "         THETA failed to converge.",              "         PHI failed to converge.",
    "         ETA failed to converge.",                "         XI failed to converge.",
    "         NU failed to converge.",                 "         L-LAMBDA failed to converge.",
    "         G-LAMBDA failed to converge.",
};

const char* const kFamilyNames[8] = {"p0", "theta", "phi", "eta", "xi", "nu", "l-lambda", "g-lambda"};

namespace {

void PrintOptimality(const OptimalityCheck& check) {
  if (check.family < 0) return;  // nothing estimated
  const char* const where = check.family == 1 || check.family == 3 ? " of gene #" : " of node #";
  std::printf("optimality check: %s (largest projected gradient %lg at %s", check.passed ? "passed" : "failed",
              check.largest, kFamilyNames[check.family]);
  if (check.family >= 1 && check.family <= 4) std::printf("%s%u", where, static_cast<unsigned>(check.index));
  std::printf(", threshold %lg)\n", check.threshold);
}

const char* const kHistorySuffixes[HistoryFiles::kCount] = {
    ".history.likelihood.txt", ".history.p0.txt", ".history.theta.txt",   ".history.phi.txt",
    ".history.eta.txt",        ".history.xi.txt", ".history.nu.txt",      ".history.llambda.txt",
    ".history.glambda.txt",
};

void WriteGeneLine(std::FILE* file, const std::vector<double>& values) {
  std::fprintf(file, "%lg", values[0]);
  for (std::size_t g = 1; g < values.size(); ++g) std::fprintf(file, "\t%lg", values[g]);
  std::fprintf(file, "\n");
}

// The root has no branch: its entry is always written as 0.
void WriteNodeLine(std::FILE* file, const std::vector<double>& values) {
  std::fprintf(file, "0");
  for (std::size_t v = 1; v < values.size(); ++v) std::fprintf(file, "\t%lg", values[v]);
  std::fprintf(file, "\n");
}

}  // namespace

bool HistoryFiles::Open(Which which, const std::string& projectName) {
  const std::string name = projectName + kHistorySuffixes[which];
  files_[which] = OpenFile(name, "w");
  if (!files_[which]) {
    std::fprintf(stderr, "Error:VORN:EM:Run: The file %s cannot be opened\n", name.c_str());
    return false;
  }
  return which != kLikelihood || table_.Open(projectName);
}

void HistoryFiles::Line(Which which, const EM& em) {
  table_.Note(which, em);
  std::FILE* file = files_[which].get();
  const EvolModel& model = em.model;
  switch (which) {
    case kP0: std::fprintf(file, "%lg\n", model.p0); break;
    case kTheta: WriteGeneLine(file, model.theta); break;
    case kPhi: WriteNodeLine(file, model.phi); break;
    case kEta: WriteGeneLine(file, model.eta); break;
    case kXi: WriteNodeLine(file, model.xi); break;
    case kNu: std::fprintf(file, "%lg\n", model.nu); break;
    case kLLambda: std::fprintf(file, "%lg\n", model.llambda); break;
    case kGLambda: std::fprintf(file, "%lg\n", model.glambda); break;
    default: std::fprintf(file, "%lg\n", em.logLikelihood);
  }
}

void HistoryFiles::Flush() {
  for (const FilePtr& file : files_) std::fflush(file.get());
}

void HistoryFiles::Point(const EM& em) {
  table_.MarkPoint();
  for (int which = kP0; which < kCount; ++which) Line(static_cast<Which>(which), em);
  Line(kLikelihood, em);
}

bool HistoryFiles::Close(const std::string& projectName) {
  for (int which = kLikelihood; which < kCount; ++which) {
    if (!CloseWritten(std::move(files_[which]))) {
      std::fprintf(stderr, "Error:VORN:EM:Run: The file %s cannot be written\n",
                   (projectName + kHistorySuffixes[which]).c_str());
      return false;
    }
  }
  return table_.Commit();
}

UnmetCriterion EM::CriterionNotMet(int unconverged) const {
  UnmetCriterion c;
  if (unconverged == 0) {
    c = {UnmetCriterion::kLikelihoodChange, -1, monitor.entries[9], likelihoodTolerance};
  } else if (monitor.entries[unconverged - 1] > parameterTolerance) {
    c = {UnmetCriterion::kParameterChange, unconverged - 1, monitor.entries[unconverged - 1], parameterTolerance};
  } else {
    c = {UnmetCriterion::kOptimality, unconverged - 1, optimality.largest, optimality.threshold};
  }
  return c;
}

void EM::ReportIterationLimit(int unconverged) {
  converged = false;
  unmet = CriterionNotMet(unconverged);
  EndProgress();
  std::printf("\nWarning: Maximum number of iterations reached\n%s", kUnconvergedLines[unconverged]);
  // Scripts read the exit status and stderr, not the progress lines: the result is the best found,
  // but not a maximum.
  std::fprintf(stderr, "Warning:VORN:EM:Run: The fit reached the iteration limit (%u) before convergence: ",
               static_cast<unsigned>(maxIterations));
  if (unmet.kind == UnmetCriterion::kLikelihoodChange) {
    std::fprintf(stderr, "the relative change of the log-likelihood (%lg) is above the likelihood tolerance (%lg)\n",
                 unmet.value, unmet.threshold);
  } else if (unmet.kind == UnmetCriterion::kParameterChange) {
    std::fprintf(stderr, "the relative change of %s (%lg) is above the parameter tolerance (%lg)\n",
                 kFamilyNames[unmet.family], unmet.value, unmet.threshold);
  } else {
    std::fprintf(stderr, "the derivative of the log-likelihood in %s (%lg) is above the optimality threshold (%lg)\n",
                 kFamilyNames[unmet.family], unmet.value, unmet.threshold);
  }
}

void EM::EStep(const AlignmentData& data, const PhylogeneticTree& tree) {
  ComputeExpectations(data, tree);
  ++eSteps;
}

void EM::IterateEm(const AlignmentData& data, const PhylogeneticTree& tree, HistoryFiles& history) {
  // Each update is followed by a full E-step, so every likelihood line belongs to one update.
  auto step = [&](HistoryFiles::Which which) {
    EStep(data, tree);
    history.Line(which, *this);
    history.Line(HistoryFiles::kLikelihood, *this);
  };
  double meaningfulChange = 0;
  for (;;) {
    if (++iterations > maxIterations) {
      iterations = maxIterations;
      optimality = CheckOptimality(data, tree);
      // Name what kept the fit going: a parameter still changing in a way that matters, else the
      // parameter whose derivative failed the optimality check, else (the likelihood still rising)
      // nobody in particular.
      int unconverged = monitor.FirstUnconverged(parameterTolerance);
      if (unconverged != 0 && !(meaningfulChange > parameterTolerance)) unconverged = 0;
      if (unconverged == 0 && !(monitor.entries[9] > likelihoodTolerance) && !optimality.passed) {
        unconverged = optimality.family + 1;
      }
      ReportIterationLimit(unconverged);
      return;
    }
    ShowProgress("\r   %d iterations\t(loglikelihood convergence = %lg)          ", static_cast<int>(iterations),
                 monitor.entries[9]);
    const double previous = logLikelihood;
    const EvolModel start = model;
    monitor.Reset();
    if (flags.p0) {
      UpdateP0(tree);
      step(HistoryFiles::kP0);
    }
    if (AnyFlag(flags.theta)) {
      UpdateTheta(tree);
      step(HistoryFiles::kTheta);
    }
    if (AnyFlag(flags.phi)) {
      MaxPhi(tree);
      step(HistoryFiles::kPhi);
    }
    if (AnyFlag(flags.eta)) {
      UpdateEta(tree);
      step(HistoryFiles::kEta);
    }
    if (AnyFlag(flags.xi)) {
      UpdateXi(tree);
      step(HistoryFiles::kXi);
    }
    if (flags.nu) {
      UpdateNu(data);
      gainCategories.SetGainRates(model.glambda, model.nu);
      step(HistoryFiles::kNu);
    }
    if (flags.llambda) {
      UpdateLLambda(tree);
      lossCategories.SetLossRates(model.llambda);
      step(HistoryFiles::kLLambda);
    }
    if (flags.glambda) {
      UpdateGLambda(tree);
      gainCategories.SetGainRates(model.glambda, model.nu);
      step(HistoryFiles::kGLambda);
    }
    monitor.RecordLikelihood(logLikelihood, previous);
    history.Flush();  // the history belongs to the fit in progress: users follow it with tail -f
    // Small changes alone do not make a maximum: EM crawls on flat ridges and cannot leave some
    // points on its own, so the fit ends only where no estimated parameter can still raise the
    // likelihood either.
    meaningfulChange = monitor.entries[8];
    if (meaningfulChange > parameterTolerance) meaningfulChange = LargestMeaningfulChange(start, data, tree);
    if (monitor.entries[9] > likelihoodTolerance || meaningfulChange > parameterTolerance) continue;
    optimality = CheckOptimality(data, tree);
    if (optimality.passed) return;
  }
}

bool EM::Run(AlignmentData& data, const PhylogeneticTree& tree, const std::string& projectName) {
  std::printf("running the algorithm\n");
  HistoryFiles history;
  if (!history.Open(HistoryFiles::kLikelihood, projectName)) return false;
  // Every update divides by what the sites say; with none left (a filter that removes them all)
  // the estimates would be 0/0.
  if (data.filteredSites == 0) {
    std::fprintf(stderr, "Error:VORN:EM:Run: No site is left after the filter of unknown values%s: "
                         "there is nothing to estimate from\n",
                 conditionOnPresence ? " and the sites that show the character at no leaf" : "");
    return false;
  }

  // Every start begins from the control file's values and flags (the initialization may clear nu's).
  const EvolModel given = model;
  const EstimationFlags givenFlags = flags;
  struct Best {
    bool found = false;
    double logLikelihood = 0;
    EvolModel model;
    std::uint32_t iterations = 0;
    std::uint64_t eSteps = 0;
    OptimalityCheck optimality;
    bool converged = false;
    UnmetCriterion unmet;
  } best;
  std::uint64_t totalESteps = 0;
  for (std::uint32_t start = 0; start < starts; ++start) {
    model = given;
    flags = givenFlags;
    model.InitializeParameters(tree, data, flags, initialization, nuHeldFixed, minLLambda, minGLambda);
    if (start > 0) {
      MersenneTwister random = DerivedGenerator(RandomPurpose::kStarts, start);
      DrawRandomStart(random, tree);
    }
    lossCategories.SetLossRates(model.llambda);
    gainCategories.SetGainRates(model.glambda, model.nu);
    for (int which = HistoryFiles::kP0; which < HistoryFiles::kCount; ++which) {
      if (start == 0 && !history.Open(static_cast<HistoryFiles::Which>(which), projectName)) return false;
      history.Line(static_cast<HistoryFiles::Which>(which), *this);
    }
    if (start == 0) PrepareExpectations(data, tree);
    eSteps = 0;
    EStep(data, tree);
    history.Line(HistoryFiles::kLikelihood, *this);
    // A start under which some pattern cannot occur (a Dollo start of 0 or 1 on a branch that the
    // pattern needs otherwise) has likelihood 0, and EM never leaves it: the E-step gives that
    // pattern no weight, so no update makes it possible again.
    if (!std::isfinite(logLikelihood)) {
      if (start == 0) {
        std::fprintf(stderr, "Error:VORN:EM:Run: The log-likelihood of the initial parameters is %lg: "
                             "some pattern cannot occur under them; start from other values\n",
                     logLikelihood);
        return false;
      }
      std::printf("start %u: log-likelihood %lg at the start; skipped\n", static_cast<unsigned>(start + 1),
                  logLikelihood);
      continue;
    }
    iterations = 0;
    optimality = OptimalityCheck();
    monitor = ConvergenceMonitor();
    converged = true;  // until the iteration limit says otherwise
    if (optimizer == Optimizer::kFast) {
      IterateFast(data, tree, history);
    } else {
      IterateEm(data, tree, history);
    }
    totalESteps += eSteps;
    EndProgress();
    std::printf("\n");
    if (starts > 1) {
      std::printf("start %u: log-likelihood %.6f after %u iterations and %llu E-steps; optimality check %s\n",
                  static_cast<unsigned>(start + 1), logLikelihood, static_cast<unsigned>(iterations),
                  static_cast<unsigned long long>(eSteps), optimality.passed ? "passed" : "failed");
    }
    if (!best.found || logLikelihood > best.logLikelihood) {
      best.found = true;
      best.logLikelihood = logLikelihood;
      best.model = model;
      best.iterations = iterations;
      best.eSteps = eSteps;
      best.optimality = optimality;
      best.converged = converged;
      best.unmet = unmet;
    }
  }
  if (starts > 1) {
    // The report and the reconstruction describe the best start.
    model = best.model;
    lossCategories.SetLossRates(model.llambda);
    gainCategories.SetGainRates(model.glambda, model.nu);
    ComputeExpectations(data, tree);
    iterations = best.iterations;
    optimality = best.optimality;
    converged = best.converged;
    unmet = best.unmet;
    std::printf("best start: log-likelihood %.6f\n", logLikelihood);
  }
  PrintOptimality(optimality);
  eSteps = totalESteps;
  if (optimality.family >= 0) std::printf("E-steps: %llu\n", static_cast<unsigned long long>(eSteps));
  if (ancestralMode != 0) {
    // The reconstruction counts the observed sites: conditioned on presence, their posteriors are
    // those of an E-step without the unobserved ones, after which the fit's own sums come back.
    if (conditionOnPresence) {
      conditionOnPresence = false;
      ComputeExpectations(data, tree);
      AccumulateAncestral(data, tree);
      conditionOnPresence = true;
      ComputeExpectations(data, tree);
    } else {
      AccumulateAncestral(data, tree);
    }
  }
  // The sums of the last E-step stay: they describe the reported point, and the derivatives and
  // bounds of its parameters are read from them.
  estimates.clear();
  ForEachFreeParameter(data, tree, [this](const FreeParameter& f) { estimates.push_back(f); });
  return history.Close(projectName);
}

}  // namespace vorn
