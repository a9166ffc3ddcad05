// Temporary file, then rename.
#include "data/output_file.h"

#include <unistd.h>

#include <filesystem>
#include <utility>

namespace vorn {
namespace {

OutputStepHook stepHook = nullptr;
bool discardOutputs = false;

void Step(const std::string& name, OutputStep step, std::FILE* file) {
  if (stepHook) stepHook(name, step, file);
}

}  // namespace

void SetOutputStepHookForTesting(OutputStepHook hook) { stepHook = hook; }

void DiscardOutputsOfThisProcess() { discardOutputs = true; }

OutputFile::OutputFile(std::string name, const char* module)
    : name_(std::move(name)),
      // The process id keeps two runs of one project from writing into each other's file.
      temporaryName_(name_ + ".tmp-" + std::to_string(static_cast<long>(getpid()))),
      module_(module) {}

OutputFile::~OutputFile() { Discard(); }

bool OutputFile::Open() {
  Discard();
  std::error_code error;
  if (std::filesystem::is_directory(name_, error)) return false;
  if (discardOutputs) temporaryName_.clear();
  file_ = OpenFile(discardOutputs ? "/dev/null" : temporaryName_, "w");
  if (!file_) return false;
  Step(name_, OutputStep::kOpened, file_.get());
  return true;
}

bool OutputFile::Commit() {
  Step(name_, OutputStep::kCommitting, file_.get());
  const bool closed = file_ && CloseWritten(std::move(file_));
  if (closed) Step(name_, OutputStep::kClosed, nullptr);
  if (closed && temporaryName_.empty()) return true;  // a discarded output
  if (!closed || std::rename(temporaryName_.c_str(), name_.c_str()) != 0) {
    std::remove(temporaryName_.c_str());
    std::fprintf(stderr, "Error:VORN:%s: The file %s cannot be written\n", module_, name_.c_str());
    return false;
  }
  Step(name_, OutputStep::kRenamed, nullptr);
  return true;
}

void OutputFile::Discard() {
  if (!file_) return;
  file_.reset();
  if (!temporaryName_.empty()) std::remove(temporaryName_.c_str());
}

}  // namespace vorn
