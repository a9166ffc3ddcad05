// What the subcommands share: stdout kept for their reports, a reading done quietly, the files
// they require, and the control files they leave, complete or absent.
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace vorn {

struct ControlPlan;
struct ControlRun;

// While alive, what the run prints on stdout goes to stderr: a subcommand's stdout is kept for
// what it reports, so that it can be piped.
class StdoutToStderr {
 public:
  StdoutToStderr();
  ~StdoutToStderr();
  StdoutToStderr(const StdoutToStderr&) = delete;
  StdoutToStderr& operator=(const StdoutToStderr&) = delete;

 private:
  int saved_ = -1;
};

// Runs `step` with both streams going to a scratch file, and prints what it printed on stderr
// only when it fails: a reading done to decide something, before the run reads the same files
// again and says its warnings itself. The warnings it recorded are forgotten.
bool Silently(const std::function<bool()>& step);

bool EndsWith(const std::string& text, const std::string& suffix);

// Whether the file is there from the working directory; else one error line that says where it
// was looked for.
bool FileFound(const char* what, const std::string& name);

// "vorn" and the subcommand's words; and those joined as a shell would take them back (cut at
// 1000 characters, as a note of a control file).
std::vector<std::string> Words(int argc, const char* const* argv);
std::string Joined(const std::vector<std::string>& words);

// Writes a subcommand's control file, complete or absent, making its folder. One of that name
// without the marker line ("% Written by vorn fit") is a researcher's own and is never replaced.
bool MayReplace(const std::string& name, const std::string& marker);
bool WriteControlFile(const std::string& name, const std::string& text, const std::string& marker);

// Writes the plan as the subcommand's control file run.controlFileName, with notes of the command
// line and of the line that repeats the run (with run.seed, which must be given), and runs it
// with its progress on stderr. The run's exit status, or 1 when the file cannot be written.
int WriteAndRun(const std::string& subcommand, ControlPlan plan, const std::vector<std::string>& words,
                const ControlRun& run);

}  // namespace vorn
