// The one progress line of a run, for a terminal or a log.
#pragma once
#include <cstdarg>
#include <cstdio>

namespace vorn {

// A progress line that suits a person and a log alike. On a terminal the line rewrites itself
// (its text starts with "\r"), at most ten times a second. Anywhere else (a file, a pipe) each
// shown line is a line of its own, without the carriage return and the blanks that pad it for
// overwriting, at most one every five seconds. The line held back last is printed when the
// display ends, so the log shows where the work stopped. Texts are formatted as printf does.
class ProgressDisplay {
 public:
  // clock: seconds from any fixed origin; terminal: how to tell whether `out` is a terminal,
  // asked once per display.
  ProgressDisplay(std::FILE* out, bool (*terminal)(std::FILE*), double (*clock)());

  void Show(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void ShowList(const char* format, std::va_list args) __attribute__((format(printf, 2, 0)));
  // Prints the line held back, if any; the next Show starts a new display.
  void End();

 private:
  void Print();

  std::FILE* out_;
  bool (*terminal_)(std::FILE*);
  double (*clock_)();
  bool started_ = false, onTerminal_ = false, held_ = false;
  double lastShown_ = 0;
  char line_[512] = {};
};

// The progress display of the standard output, shared by the estimation and the simulation.
void ShowProgress(const char* format, ...) __attribute__((format(printf, 1, 2)));
void EndProgress();

}  // namespace vorn
