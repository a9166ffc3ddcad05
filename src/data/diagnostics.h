// Warnings a user should see and a script should be able to refuse a run for: each is one line
// on stderr, "Warning:VORN:<Module>: <text>", and is kept for results.json.
#pragma once
#include <cstdarg>
#include <string>
#include <vector>

namespace vorn {

// One warning as results.json records it: a short code a script can match ("tree-not-ultrametric"),
// the module that gave it, and its text as printed (without the prefix and the line feed).
struct RecordedWarning {
  std::string code, module, text;
};

// Prints the warning on stderr and records it. The text is formatted as printf does.
void Warn(const char* code, const char* module, const char* format, ...) __attribute__((format(printf, 3, 4)));
// Prints `printed` on stderr as it stands (a message of the system's older forms) and records the
// warning with its text.
void Report(const char* code, const char* module, const std::string& printed, std::string text);

// While one exists on a thread, that thread's warnings are kept in it instead of printed and
// recorded: work that runs side by side gives its warnings afterwards, in an order that does not
// depend on which thread ran what.
class WarningCapture {
 public:
  WarningCapture();
  ~WarningCapture();
  WarningCapture(const WarningCapture&) = delete;
  WarningCapture& operator=(const WarningCapture&) = delete;

  struct Held {
    std::string code, module, printed, text;
  };
  std::vector<Held> held;

 private:
  WarningCapture* outer_;
};
// Prints and records warnings a capture held, in their order.
void Release(const std::vector<WarningCapture::Held>& held);

// The warnings of this process so far, in the order they were given.
const std::vector<RecordedWarning>& Warnings();
// Forgets them: for tests, and for a process that runs more than one job.
void ClearWarnings();

}  // namespace vorn
