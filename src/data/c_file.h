// C streams owned as values, and the close that tells whether a written file got to its end.
#pragma once
#include <cstdio>
#include <memory>
#include <string>

namespace vorn {

// Owns a C stream; the file closes when the last holder lets go, on every return path.
struct FileCloser {
  void operator()(std::FILE* file) const {
    if (file) std::fclose(file);
  }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

inline FilePtr OpenFile(const std::string& name, const char* mode) {
  return FilePtr(std::fopen(name.c_str(), mode));
}

// Closes a file that was written and tells whether all of it got there. A full disk shows in the
// stream's error state or only in the last flush, at close: the writes themselves go unchecked.
inline bool CloseWritten(FilePtr file) {
  std::FILE* raw = file.release();
  const bool failed = std::ferror(raw) != 0;
  return std::fclose(raw) == 0 && !failed;
}

// Longest file name the run accepts, and longest node or gene name kept by the fixed-size forms.
constexpr std::size_t kMaxFileNameLength = 259;
constexpr std::size_t kMaxNameLength = 255;

}  // namespace vorn
