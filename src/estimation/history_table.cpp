#include "estimation/history_table.h"

#include <cmath>
#include <cstdio>

#include "estimation/em.h"
#include "estimation/history_files.h"

namespace vorn {
namespace {

// The relative change the convergence test measures; a probability may start at 0, so phi and xi
// get the epsilon. An unchanged value counts 0 even at 0.
double Change(double newValue, double oldValue, bool probability) {
  if (newValue == oldValue) return 0;
  return std::abs(newValue - oldValue) / (probability ? oldValue + 2.220446049250313e-16 : oldValue);
}

double LargestChange(const EvolModel& now, const EvolModel& before) {
  double largest = 0;
  auto take = [&largest](double d) {
    if (d > largest || d != d) largest = d;  // a change that is not a number shows as such
  };
  take(Change(now.p0, before.p0, false));
  for (std::uint32_t g = 0; g < now.geneCount; ++g) {
    take(Change(now.theta[g], before.theta[g], false));
    take(Change(now.eta[g], before.eta[g], false));
  }
  for (std::uint32_t v = 1; v < now.nodeCount; ++v) {
    take(Change(now.phi[v], before.phi[v], true));
    take(Change(now.xi[v], before.xi[v], true));
  }
  take(Change(now.nu, before.nu, false));
  take(Change(now.llambda, before.llambda, false));
  take(Change(now.glambda, before.glambda, false));
  return largest;
}

}  // namespace

bool HistoryTable::Open(const std::string& projectName) {
  file_ = std::make_unique<OutputFile>(projectName + ".history.tsv", "EM:Run");
  if (!file_->Open()) {
    std::fprintf(stderr, "Error:VORN:EM:Run: The file %s cannot be opened\n", file_->name().c_str());
    return false;
  }
  std::fprintf(file_->get(), "iteration\tstep\tlog_likelihood\tlargest_change\tstart\n");
  return true;
}

void HistoryTable::Note(int which, const EM& em) {
  if (!file_) return;
  if (which != HistoryFiles::kLikelihood) {
    ++pendingLines_;
    pendingFamily_ = which - HistoryFiles::kP0;
    return;
  }
  // The initial values write every parameter file one by one; so does a point of the search, at once.
  const bool initial = !point_ && pendingLines_ == HistoryFiles::kCount - 1;
  std::FILE* file = file_->get();
  if (initial) {
    ++start_;
    std::fprintf(file, "0\tstart\t%.17g\tNA\t%u\n", em.logLikelihood, static_cast<unsigned>(start_));
  } else {
    std::fprintf(file, "%u\t%s\t%.17g\t%.17g\t%u\n", static_cast<unsigned>(em.iterations),
                 point_ ? "fast" : kFamilyNames[pendingFamily_], em.logLikelihood, LargestChange(em.model, previous_),
                 static_cast<unsigned>(start_));
  }
  previous_ = em.model;
  pendingLines_ = 0;
  point_ = false;
}

bool HistoryTable::Commit() { return file_ && file_->Commit(); }

}  // namespace vorn
