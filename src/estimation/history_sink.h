// Where a fit writes its course as it goes: the tool's nine history files and their table, or a
// test's memory. The optimizers call it; what it does with the lines is its own affair.
#pragma once
#include <cstdint>

#include "estimation/parameter_families.h"

namespace vorn {

class EvolModel;

// The fit's state at one line of its course.
struct FitProgress {
  const EvolModel& model;
  double logLikelihood;
  std::uint32_t iteration;  // 0 at a start
};

class HistorySink {
 public:
  virtual ~HistorySink() = default;
  // A start's values and their log-likelihood: a line of every family, then of the likelihood.
  virtual void Start(const FitProgress& now) = 0;
  // One EM update of one family and the log-likelihood after it.
  virtual void Update(ParameterFamily family, const FitProgress& now) = 0;
  // An accepted point of the quasi-Newton search: every family at once, then the likelihood.
  virtual void Point(const FitProgress& now) = 0;
  // The end of an iteration: a good moment to let readers of the history see it.
  virtual void Flush() {}
};

// Keeps nothing: for fits whose course nobody reads.
class NoHistory : public HistorySink {
 public:
  void Start(const FitProgress&) override {}
  void Update(ParameterFamily, const FitProgress&) override {}
  void Point(const FitProgress&) override {}
};

}  // namespace vorn
