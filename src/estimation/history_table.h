#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "data/output_file.h"
#include "estimation/evol_model.h"

namespace vorn {

class EM;

// PREFIX.history.tsv: the course of a fit as one table, a row per step: the start, the iteration,
// the step ("start" for the initial values, a parameter family for an EM update, "fast" for a point
// of the quasi-Newton search), the log-likelihood after it and the largest relative change of a
// parameter in it. It follows the lines of the nine history files: a row is due at every
// likelihood line, and the parameter lines before it tell which step that was. Written once, at
// the end of the fit, complete or not at all.
class HistoryTable {
 public:
  // Creates the temporary file and writes the header; false (after the error) when it cannot be.
  bool Open(const std::string& projectName);
  // A line of the history file of `which` (HistoryFiles::Which); the likelihood line ends a step.
  void Note(int which, const EM& em);
  // The next step writes every parameter file at once as a point of the quasi-Newton search.
  void MarkPoint() { point_ = true; }
  bool Commit();

 private:
  std::unique_ptr<OutputFile> file_;
  EvolModel previous_;    // the parameters at the last row
  int pendingLines_ = 0;  // parameter lines since the last row
  int pendingFamily_ = 0;
  bool point_ = false;
  std::uint32_t start_ = 0;
};

}  // namespace vorn
