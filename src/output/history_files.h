// The nine history files of a fit, written while it runs: the log-likelihood and each parameter
// family, one line per update (or per accepted point of the fast search), so that users can
// follow the fit (tail -f); and beside them the same course as one table, PREFIX.history.tsv,
// written once at the end.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "data/c_file.h"
#include "data/output_file.h"
#include "estimation/evol_model.h"
#include "estimation/history_sink.h"

namespace vorn {

// PREFIX.history.tsv: a row per step: the iteration, the step ("start" for the initial values,
// a parameter family for an EM update, "fast" for a point of the quasi-Newton search), the
// log-likelihood after it, the largest relative change of a parameter in it, and the start.
// Complete or not at all.
class HistoryTable {
 public:
  // Creates the temporary file and writes the header; false (after the error) when it cannot be.
  bool Open(const std::string& projectName);
  enum class Step { kStart, kUpdate, kPoint };
  void Row(Step step, ParameterFamily family, const FitProgress& now);
  bool Commit();

 private:
  std::unique_ptr<OutputFile> file_;
  EvolModel previous_;  // the parameters at the last row
  std::uint32_t start_ = 0;
};

class HistoryFiles : public HistorySink {
 public:
  // A fit that ended in an error leaves none of its files: they would hold a partial course that
  // a later look could take for a run's.
  ~HistoryFiles() override;
  // Creates every file; prints the error and returns false when one cannot be.
  bool Open(const std::string& projectName);
  void Start(const FitProgress& now) override;
  void Update(ParameterFamily family, const FitProgress& now) override;
  void Point(const FitProgress& now) override;
  void Flush() override;
  // Closes all and puts the table in place; false (after the error) when one could not be
  // written to its end.
  bool Close();

 private:
  void Line(ParameterFamily family, const EvolModel& model);
  void LikelihoodLine(double logLikelihood);

  std::string projectName_;
  std::vector<std::string> created_;  // the history files opened, to remove if the fit fails
  bool closed_ = false;
  FilePtr likelihood_;
  FilePtr families_[kFamilyCount];
  HistoryTable table_;
};

}  // namespace vorn
