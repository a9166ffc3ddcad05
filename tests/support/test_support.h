#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "data/c_file.h"

namespace vorn {
namespace testing_support {

// A fresh directory under the system's temporary folder, removed with everything in it when the
// object dies. Whole runs chdir into it so that "done.txt" lands there.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Changes the working directory for the lifetime of the object.
class ScopedChdir {
 public:
  explicit ScopedChdir(const std::string& dir);
  ~ScopedChdir();

 private:
  std::string previous_;
};

// A test that works in a scratch folder of its own, entered for the test.
class ScratchTest : public testing::Test {
 protected:
  ScratchTest() : chdir_(dir_.path()) {}
  TempDir dir_;
  ScopedChdir chdir_;
};

void WriteText(const std::string& path, const std::string& text);
std::string ReadText(const std::string& path);
bool FileExists(const std::string& path);
// The temporary files (NAME.tmp-<pid>) of outputs written once that are left in a folder.
std::vector<std::string> TemporaryFilesIn(const std::string& folder);
// A read-only stream over the given text (a temporary file), for the readers that take a FILE*.
FilePtr StreamOf(const std::string& text);
// Everything written to a stream (a std::tmpfile() handed to a writer), read from its start.
std::string Contents(std::FILE* file);
std::string TestData(const std::string& relative);

// The records of a case table, tests/testdata/cases/NAME: one record a line, its fields split at
// " | ", with the escapes \n, \r, \t, \\ and \xHH; blank lines and lines that start with '#' are notes.
std::vector<std::vector<std::string>> CaseTable(const std::string& name);

// Two texts alike but for the last digits of their numbers: the text between numbers must be
// equal, each number within a relative `tolerance` of its counterpart. For golden files whose
// numbers come from an independent computation, which may round otherwise in the last places.
testing::AssertionResult SameTextAndNumbers(const std::string& actual, const std::string& expected,
                                            double tolerance);

}  // namespace testing_support
}  // namespace vorn
