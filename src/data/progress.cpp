// The progress line's pacing for terminals and logs.
#include "data/progress.h"

#include <unistd.h>

#include <chrono>
#include <cstring>

namespace vorn {
namespace {

// A terminal is read by a person, who wants to see it move; a log is read later, where a line
// per site of a long simulation would bury everything else.
constexpr double kTerminalInterval = 0.1;
constexpr double kLogInterval = 5;

bool IsTerminal(std::FILE* file) { return isatty(fileno(file)) == 1; }

double SteadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

ProgressDisplay& StandardDisplay() {
  static ProgressDisplay display(stdout, IsTerminal, SteadySeconds);
  return display;
}

}  // namespace

ProgressDisplay::ProgressDisplay(std::FILE* out, bool (*terminal)(std::FILE*), double (*clock)())
    : out_(out), terminal_(terminal), clock_(clock) {}

void ProgressDisplay::Show(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  ShowList(format, args);
  va_end(args);
}

void ProgressDisplay::ShowList(const char* format, std::va_list args) {
  const double now = clock_();
  if (!started_) onTerminal_ = terminal_(out_);
  std::vsnprintf(line_, sizeof line_, format, args);
  held_ = true;
  if (started_ && now - lastShown_ < (onTerminal_ ? kTerminalInterval : kLogInterval)) return;
  started_ = true;
  lastShown_ = now;
  Print();
}

void ProgressDisplay::End() {
  if (held_) Print();
  started_ = false;
}

void ProgressDisplay::Print() {
  held_ = false;
  if (onTerminal_) {
    std::fputs(line_, out_);
  } else {
    const char* text = line_;
    if (*text == '\r') ++text;
    std::size_t length = std::strlen(text);
    while (length > 0 && text[length - 1] == ' ') --length;
    std::fwrite(text, 1, length, out_);
    std::fputc('\n', out_);
  }
  std::fflush(out_);  // a line that rewrites itself ends no line that would flush it
}

void ShowProgress(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  StandardDisplay().ShowList(format, args);
  va_end(args);
}

void EndProgress() { StandardDisplay().End(); }

}  // namespace vorn
