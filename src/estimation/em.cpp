#include "estimation/em.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

#include "data/alignment_data.h"
#include "data/c_file.h"
#include "data/phylogenetic_tree.h"

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

namespace vorn {
namespace {

bool AnyFlag(const std::vector<std::uint8_t>& flags) {
  for (std::uint8_t f : flags) {
    if (f) return true;
  }
  return false;
}

const char* const kUnconvergedLines[9] = {
    "         It is unclear who failed to converge.", "         P0 failed to converge.",
    "         THETA failed to converge.",              "         PHI failed to converge.",
    "         ETA failed to converge.",                "         XI failed to converge.",
    "         NU failed to converge.",                 "         L-LAMBDA failed to converge.",
    "         G-LAMBDA failed to converge.",
};

// As the report prints them, in the order of the monitor's entries.
const char* const kParameterNames[8] = {"p0", "theta", "phi", "eta", "xi", "nu", "l-lambda", "g-lambda"};

enum History { kLikelihood, kP0, kTheta, kPhi, kEta, kXi, kNu, kLLambda, kGLambda, kHistoryCount };
const char* const kHistorySuffixes[kHistoryCount] = {
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

bool EM::Run(AlignmentData& data, const PhylogeneticTree& tree, const std::string& projectName) {
  std::printf("running the algorithm\n");
  FilePtr history[kHistoryCount];
  auto open = [&](int which) {
    const std::string name = projectName + kHistorySuffixes[which];
    history[which] = OpenFile(name, "w");
    if (!history[which]) {
      std::fprintf(stderr, "Error:VORN:EM:Run: The file %s cannot be opened\n", name.c_str());
      return false;
    }
    return true;
  };
  if (!open(kLikelihood)) return false;
  // Every update divides by what the sites say; with none left (a filter that removes them all)
  // the estimates would be 0/0.
  if (data.filteredSites == 0) {
    std::fprintf(stderr, "Error:VORN:EM:Run: No site is left after the filter of unknown values: "
                         "there is nothing to estimate from\n");
    return false;
  }

  model.InitializeParameters(tree, data, flags, initialization, nuHeldFixed, minLLambda, minGLambda);
  lossCategories.SetLossRates(model.llambda);
  gainCategories.SetGainRates(model.glambda, model.nu);

  auto writeLine = [&](int which) {
    std::FILE* file = history[which].get();
    switch (which) {
      case kP0: std::fprintf(file, "%lg\n", model.p0); break;
      case kTheta: WriteGeneLine(file, model.theta); break;
      case kPhi: WriteNodeLine(file, model.phi); break;
      case kEta: WriteGeneLine(file, model.eta); break;
      case kXi: WriteNodeLine(file, model.xi); break;
      case kNu: std::fprintf(file, "%lg\n", model.nu); break;
      case kLLambda: std::fprintf(file, "%lg\n", model.llambda); break;
      case kGLambda: std::fprintf(file, "%lg\n", model.glambda); break;
      default: std::fprintf(file, "%lg\n", logLikelihood);
    }
  };
  for (int which = kP0; which < kHistoryCount; ++which) {
    if (!open(which)) return false;
    writeLine(which);
  }

  PrepareExpectations(data, tree);
  ComputeExpectations(data, tree);
  writeLine(kLikelihood);
  // A start under which some pattern cannot occur (a Dollo start of 0 or 1 on a branch that the
  // pattern needs otherwise) has likelihood 0, and EM never leaves it: the E-step gives that
  // pattern no weight, so no update makes it possible again.
  if (!std::isfinite(logLikelihood)) {
    std::fprintf(stderr, "Error:VORN:EM:Run: The log-likelihood of the initial parameters is %lg: "
                         "some pattern cannot occur under them; start from other values\n",
                 logLikelihood);
    return false;
  }

  // Each update is followed by a full E-step, so every likelihood line belongs to one update.
  auto step = [&](int which) {
    ComputeExpectations(data, tree);
    writeLine(which);
    writeLine(kLikelihood);
  };
  iterations = 0;
  for (;;) {
    if (++iterations > maxIterations) {
      iterations = maxIterations;
      const int unconverged = monitor.FirstUnconverged(parameterTolerance);
      std::printf("\nWarning: Maximum number of iterations reached\n%s", kUnconvergedLines[unconverged]);
      // Scripts read the exit status and stderr, not the progress lines: the result is the best
      // found, but not a maximum.
      if (unconverged == 0) {
        std::fprintf(stderr, "Warning:VORN:EM:Run: The fit reached the iteration limit (%u) before "
                             "convergence: the relative change of the log-likelihood (%lg) is above the "
                             "likelihood tolerance (%lg)\n",
                     static_cast<unsigned>(maxIterations), monitor.entries[9], likelihoodTolerance);
      } else {
        std::fprintf(stderr, "Warning:VORN:EM:Run: The fit reached the iteration limit (%u) before "
                             "convergence: the relative change of %s (%lg) is above the parameter tolerance "
                             "(%lg)\n",
                     static_cast<unsigned>(maxIterations), kParameterNames[unconverged - 1],
                     monitor.entries[unconverged - 1], parameterTolerance);
      }
      break;
    }
    std::printf("\r   %d iterations\t(loglikelihood convergence = %lg)          ", static_cast<int>(iterations),
                monitor.entries[9]);
    std::fflush(stdout);
    const double previous = logLikelihood;
    monitor.Reset();
    if (flags.p0) {
      UpdateP0(tree);
      step(kP0);
    }
    if (AnyFlag(flags.theta)) {
      UpdateTheta(tree);
      step(kTheta);
    }
    if (AnyFlag(flags.phi)) {
      MaxPhi(tree);
      step(kPhi);
    }
    if (AnyFlag(flags.eta)) {
      UpdateEta(tree);
      step(kEta);
    }
    if (AnyFlag(flags.xi)) {
      UpdateXi(tree);
      step(kXi);
    }
    if (flags.nu) {
      UpdateNu(data);
      gainCategories.SetGainRates(model.glambda, model.nu);
      step(kNu);
    }
    if (flags.llambda) {
      UpdateLLambda(tree);
      lossCategories.SetLossRates(model.llambda);
      step(kLLambda);
    }
    if (flags.glambda) {
      UpdateGLambda(tree);
      gainCategories.SetGainRates(model.glambda, model.nu);
      step(kGLambda);
    }
    monitor.RecordLikelihood(logLikelihood, previous);
    // The history belongs to the fit in progress: users follow it with tail -f.
    for (const FilePtr& file : history) std::fflush(file.get());
    if (monitor.Converged(likelihoodTolerance, parameterTolerance)) break;
  }
  if (ancestralMode != 0) AccumulateAncestral(data, tree);
  sums = PosteriorSums();
  std::printf("\n");
  for (int which = kLikelihood; which < kHistoryCount; ++which) {
    if (!CloseWritten(std::move(history[which]))) {
      std::fprintf(stderr, "Error:VORN:EM:Run: The file %s cannot be written\n",
                   (projectName + kHistorySuffixes[which]).c_str());
      return false;
    }
  }
  return true;
}

}  // namespace vorn
