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
// Records a warning already printed (a text made of several pieces).
void RecordWarning(const char* code, const char* module, std::string text);

// The warnings of this process so far, in the order they were given.
const std::vector<RecordedWarning>& Warnings();
// Forgets them: for tests, and for a process that runs more than one job.
void ClearWarnings();

}  // namespace vorn
