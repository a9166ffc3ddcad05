// Where a fit writes its course as it goes: the tool's nine history files and their table, or a
// test's memory. The optimizers call it; what it does with the lines is its own affair.
#pragma once
#include <cstdint>
#include <vector>

#include "estimation/evol_model.h"
#include "estimation/parameter_families.h"

namespace vorn {

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

// A fit's course kept in memory, every line with the model at it: for tests, and for starts that
// climb side by side, whose courses go to the history files afterwards, one start after another.
class RecordedHistory : public HistorySink {
 public:
  enum class Kind { kStart, kUpdate, kPoint };
  struct Line {
    Kind kind;
    ParameterFamily family;  // of an update
    EvolModel model;
    double logLikelihood;
    std::uint32_t iteration;
  };
  void Start(const FitProgress& now) override { lines.push_back({Kind::kStart, kNoFamily, now.model, now.logLikelihood, 0}); }
  void Update(ParameterFamily family, const FitProgress& now) override {
    lines.push_back({Kind::kUpdate, family, now.model, now.logLikelihood, now.iteration});
  }
  void Point(const FitProgress& now) override {
    lines.push_back({Kind::kPoint, kNoFamily, now.model, now.logLikelihood, now.iteration});
  }
  // The lines that begin a start, in order.
  std::vector<const Line*> Starts() const {
    std::vector<const Line*> starts;
    for (const Line& line : lines) {
      if (line.kind == Kind::kStart) starts.push_back(&line);
    }
    return starts;
  }
  // Every line again, in order, into another sink, then a flush.
  void ReplayInto(HistorySink& sink) const {
    for (const Line& line : lines) {
      const FitProgress now{line.model, line.logLikelihood, line.iteration};
      switch (line.kind) {
        case Kind::kStart: sink.Start(now); break;
        case Kind::kUpdate: sink.Update(line.family, now); break;
        case Kind::kPoint: sink.Point(now); break;
      }
    }
    sink.Flush();
  }

  std::vector<Line> lines;
};

}  // namespace vorn
