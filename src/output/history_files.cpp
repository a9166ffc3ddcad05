// The nine history files and the history table.
#include "output/history_files.h"

#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

namespace vorn {
namespace {

// The relative change the convergence test measures; an unchanged value counts 0 even at 0.
double Change(double newValue, double oldValue, ParameterFamily family) {
  return newValue == oldValue ? 0 : RelativeChange(newValue, oldValue, family);
}

double LargestChange(const EvolModel& now, const EvolModel& before) {
  double largest = 0;
  auto take = [&largest](double d) {
    if (d > largest || d != d) largest = d;  // a change that is not a number shows as such
  };
  take(Change(now.p0, before.p0, kP0));
  for (std::uint32_t g = 0; g < now.geneCount; ++g) {
    take(Change(now.theta[g], before.theta[g], kTheta));
    take(Change(now.eta[g], before.eta[g], kEta));
  }
  for (std::uint32_t v = 1; v < now.nodeCount; ++v) {
    take(Change(now.phi[v], before.phi[v], kPhi));
    take(Change(now.xi[v], before.xi[v], kXi));
  }
  take(Change(now.nu, before.nu, kNu));
  take(Change(now.llambda, before.llambda, kLLambda));
  take(Change(now.glambda, before.glambda, kGLambda));
  return largest;
}

// A line of a per-gene or per-node family; the root has no branch, so its entry is written as 0.
void WriteValues(std::FILE* file, const std::vector<double>& values, bool nodes) {
  if (nodes) {
    std::fprintf(file, "0");
  } else {
    std::fprintf(file, "%lg", values[0]);
  }
  for (std::size_t i = 1; i < values.size(); ++i) std::fprintf(file, "\t%lg", values[i]);
  std::fprintf(file, "\n");
}

std::string FileName(const std::string& projectName, const char* which) {
  return projectName + ".history." + which + ".txt";
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

void HistoryTable::Row(Step step, ParameterFamily family, const FitProgress& now) {
  if (!file_) return;
  std::FILE* file = file_->get();
  if (step == Step::kStart) {
    ++start_;
    std::fprintf(file, "0\tstart\t%.17g\tNA\t%u\n", now.logLikelihood, static_cast<unsigned>(start_));
  } else {
    std::fprintf(file, "%u\t%s\t%.17g\t%.17g\t%u\n", static_cast<unsigned>(now.iteration),
                 step == Step::kPoint ? "fast" : FamilyName(family), now.logLikelihood,
                 LargestChange(now.model, previous_), static_cast<unsigned>(start_));
  }
  previous_ = now.model;
}

bool HistoryTable::Commit() { return file_ && file_->Commit(); }

HistoryFiles::~HistoryFiles() {
  if (closed_) return;
  // Also the files closed whole before the table failed: they describe a run that failed.
  likelihood_.reset();
  for (FilePtr& file : families_) file.reset();
  for (const std::string& name : created_) std::remove(name.c_str());
}

bool HistoryFiles::Open(const std::string& projectName) {
  projectName_ = projectName;
  const std::string name = FileName(projectName, "likelihood");
  likelihood_ = OpenFile(name, "w");
  if (!likelihood_) {
    std::fprintf(stderr, "Error:VORN:EM:Run: The file %s cannot be opened\n", name.c_str());
    return false;
  }
  created_.push_back(name);
  if (!table_.Open(projectName)) return false;
  for (int f = 0; f < kFamilyCount; ++f) {
    const std::string file = FileName(projectName, Family(static_cast<ParameterFamily>(f)).fileName);
    families_[f] = OpenFile(file, "w");
    if (!families_[f]) {
      std::fprintf(stderr, "Error:VORN:EM:Run: The file %s cannot be opened\n", file.c_str());
      return false;
    }
    created_.push_back(file);
  }
  return true;
}

void HistoryFiles::Line(ParameterFamily family, const EvolModel& model) {
  std::FILE* file = families_[family].get();
  switch (Family(family).extent) {
    case Extent::kGene: WriteValues(file, family == kTheta ? model.theta : model.eta, false); break;
    case Extent::kNode: WriteValues(file, family == kPhi ? model.phi : model.xi, true); break;
    case Extent::kModel: std::fprintf(file, "%lg\n", Value(model, family, 0)); break;
  }
}

void HistoryFiles::LikelihoodLine(double logLikelihood) { std::fprintf(likelihood_.get(), "%lg\n", logLikelihood); }

void HistoryFiles::Start(const FitProgress& now) {
  for (int f = 0; f < kFamilyCount; ++f) Line(static_cast<ParameterFamily>(f), now.model);
  LikelihoodLine(now.logLikelihood);
  table_.Row(HistoryTable::Step::kStart, kNoFamily, now);
}

void HistoryFiles::Update(ParameterFamily family, const FitProgress& now) {
  Line(family, now.model);
  LikelihoodLine(now.logLikelihood);
  table_.Row(HistoryTable::Step::kUpdate, family, now);
}

void HistoryFiles::Point(const FitProgress& now) {
  for (int f = 0; f < kFamilyCount; ++f) Line(static_cast<ParameterFamily>(f), now.model);
  LikelihoodLine(now.logLikelihood);
  table_.Row(HistoryTable::Step::kPoint, kNoFamily, now);
}

void HistoryFiles::Flush() {
  std::fflush(likelihood_.get());
  for (const FilePtr& file : families_) std::fflush(file.get());
}

bool HistoryFiles::Close() {
  auto close = [this](FilePtr& file, const char* which) {
    if (CloseWritten(std::move(file))) return true;
    std::fprintf(stderr, "Error:VORN:EM:Run: The file %s cannot be written\n", FileName(projectName_, which).c_str());
    return false;
  };
  if (!close(likelihood_, "likelihood")) return false;
  for (int f = 0; f < kFamilyCount; ++f) {
    if (!close(families_[f], Family(static_cast<ParameterFamily>(f)).fileName)) return false;
  }
  closed_ = table_.Commit();
  return closed_;
}

}  // namespace vorn
