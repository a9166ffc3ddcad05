#pragma once
#include <cstdio>
#include <string>

#include "data/c_file.h"
#include "estimation/history_table.h"

namespace vorn {

class EM;

// The nine history files of an estimation, live while it runs: the log-likelihood and each
// parameter family, one line per update (or per accepted point of the fast search), so that users
// can follow the fit; and beside them the same course as one table (HistoryTable), written once.
class HistoryFiles {
 public:
  enum Which { kLikelihood, kP0, kTheta, kPhi, kEta, kXi, kNu, kLLambda, kGLambda, kCount };

  // Creates one file (the likelihood file with the table); prints the error and returns false
  // when it cannot be.
  bool Open(Which which, const std::string& projectName);
  // One line of the file with the estimator's current value(s).
  void Line(Which which, const EM& em);
  // One line in every parameter file, then one in the likelihood file.
  void Point(const EM& em);
  void Flush();
  // Closes all and puts the table in place; false (after the error) when one could not be
  // written to its end.
  bool Close(const std::string& projectName);

 private:
  FilePtr files_[kCount];
  HistoryTable table_;
};

}  // namespace vorn
