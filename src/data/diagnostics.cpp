// The warnings of a run: printed once and kept for results.json.
#include "data/diagnostics.h"

#include "data/text_io.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace vorn {
namespace {

std::vector<RecordedWarning>& Log() {
  static std::vector<RecordedWarning> warnings;
  return warnings;
}

// Starts that climb side by side may warn at the same moment.
std::mutex& LogLock() {
  static std::mutex lock;
  return lock;
}

thread_local WarningCapture* capture = nullptr;

void Record(const char* code, const char* module, std::string text) {
  const std::lock_guard<std::mutex> hold(LogLock());
  Log().push_back({code, module, std::move(text)});
}

}  // namespace

WarningCapture::WarningCapture() : outer_(capture) { capture = this; }
WarningCapture::~WarningCapture() { capture = outer_; }

void Report(const char* code, const char* module, const std::string& printed, std::string text) {
  if (capture) {
    capture->held.push_back({code, module, printed, std::move(text)});
    return;
  }
  std::fputs(printed.c_str(), stderr);
  Record(code, module, std::move(text));
}

void Release(const std::vector<WarningCapture::Held>& held) {
  for (const WarningCapture::Held& h : held) Report(h.code.c_str(), h.module.c_str(), h.printed, h.text);
}

void Warn(const char* code, const char* module, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  // A warning may quote a line or a name of the user's files, in whatever bytes they hold; as one
  // line of UTF-8 it cannot break the terminal, the run's log or results.json.
  text = EscapedName(text);
  const std::string printed = "Warning:VORN:" + std::string(module) + ": " + text + "\n";
  Report(code, module, printed, std::move(text));
}

void RecordWarning(const char* code, const char* module, std::string text) {
  Report(code, module, std::string(), EscapedName(text));
}

const std::vector<RecordedWarning>& Warnings() { return Log(); }
void ClearWarnings() { Log().clear(); }

}  // namespace vorn
