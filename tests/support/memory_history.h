#pragma once
#include <vector>

#include "estimation/evol_model.h"
#include "estimation/history_sink.h"

namespace vorn {
namespace testing_support {

// A fit's course kept in memory: every line the optimizers give, with the model at it.
class MemoryHistory : public HistorySink {
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

  std::vector<Line> lines;
};

}  // namespace testing_support
}  // namespace vorn
