// The warnings of a run: printed once and kept for results.json.
#include "data/diagnostics.h"

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

}  // namespace

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
  std::fprintf(stderr, "Warning:VORN:%s: %s\n", module, text.c_str());
  RecordWarning(code, module, std::move(text));
}

void RecordWarning(const char* code, const char* module, std::string text) {
  const std::lock_guard<std::mutex> hold(LogLock());
  Log().push_back({code, module, std::move(text)});
}

const std::vector<RecordedWarning>& Warnings() { return Log(); }
void ClearWarnings() { Log().clear(); }

}  // namespace vorn
