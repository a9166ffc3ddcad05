// Files written once, complete or absent: a temporary file renamed into place.
#pragma once
#include <cstdio>
#include <string>

#include "data/c_file.h"

namespace vorn {

// A file a run writes once, which appears complete or not at all. The writer fills
// NAME.tmp-<pid> in NAME's folder; Commit closes it and renames it over NAME only when every byte
// got there. A file never committed (a failure on the way, an early return) is removed when the
// object dies, and a process killed before the rename leaves any earlier NAME as it was, so a
// failed run never takes a good result of an earlier one with it.
class OutputFile {
 public:
  // module: the name that begins this file's messages, "WriteOutput" in "Error:VORN:WriteOutput: ...".
  OutputFile(std::string name, const char* module);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the temporary file. False when it cannot be created or NAME is a folder (a rename
  // over it would fail after all the work). Prints nothing: each module names a file it cannot
  // open in its own words. An Open that is never committed is a check that NAME can be written.
  bool Open();
  std::FILE* get() const { return file_.get(); }
  const std::string& name() const { return name_; }

  // Closes the temporary file, checks the stream's error state and renames it over NAME. On any
  // failure removes it and prints "Error:VORN:<module>: The file NAME cannot be written".
  bool Commit();

 private:
  void Discard();

  std::string name_, temporaryName_;
  const char* module_;
  FilePtr file_;
};

// In a fit shared among several processes, only the first writes: the others fill OutputFiles that
// go nowhere (their Open and Commit succeed and no file appears), so that every process runs the
// same code to the same point.
void DiscardOutputsOfThisProcess();

// Test seam: the moments of an OutputFile's life at which a test may stop the process, to see
// what a killed run leaves behind, or make the writes fail. file is the open temporary file, or
// nullptr once it is closed.
enum class OutputStep { kOpened, kCommitting, kClosed, kRenamed };
using OutputStepHook = void (*)(const std::string& name, OutputStep step, std::FILE* file);
void SetOutputStepHookForTesting(OutputStepHook hook);

}  // namespace vorn
