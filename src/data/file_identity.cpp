// File identities by device and inode, and the checks of an input before it is read.
#include "data/file_identity.h"

#include <sys/stat.h>

namespace vorn {
namespace {

// The line (from 1) of the first NUL byte of a stream read from its start, or 0 for none.
unsigned LineOfNul(std::FILE* file) {
  char buffer[65536];
  unsigned line = 1;
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    for (std::size_t i = 0; i < got; ++i) {
      if (buffer[i] == '\0') return line;
      if (buffer[i] == '\n') ++line;
    }
  }
  return 0;
}

}  // namespace

bool InspectInput(std::FILE* file, const std::string& name, const char* module, FileIdentity* identity) {
  struct stat status {};
  if (fstat(fileno(file), &status) != 0) {
    std::fprintf(stderr, "Error:VORN:%s: The file '%s' cannot be read\n", module, name.c_str());
    return false;
  }
  if (S_ISDIR(status.st_mode)) {
    std::fprintf(stderr, "Error:VORN:%s: '%s' is a folder, not a file\n", module, name.c_str());
    return false;
  }
  // Only a file that can be read again is scanned: a pipe is read once, by its reader.
  if (S_ISREG(status.st_mode)) {
    const unsigned line = LineOfNul(file);
    const bool failed = std::ferror(file) != 0;
    std::clearerr(file);
    if (failed || std::fseek(file, 0, SEEK_SET) != 0) {
      std::fprintf(stderr, "Error:VORN:%s: The file '%s' cannot be read\n", module, name.c_str());
      return false;
    }
    if (line > 0) {
      std::fprintf(stderr, "Error:VORN:%s: The file '%s' holds a NUL byte on line %u: it is not a text file, or "
                   "it was damaged\n", module, name.c_str(), line);
      return false;
    }
  }
  identity->name = name;
  identity->device = static_cast<std::uint64_t>(status.st_dev);
  identity->inode = static_cast<std::uint64_t>(status.st_ino);
  return true;
}

const FileIdentity* InputNamedBy(const std::string& outputName, const std::vector<FileIdentity>& inputs) {
  struct stat status {};
  if (stat(outputName.c_str(), &status) != 0) return nullptr;
  for (const FileIdentity& input : inputs) {
    if (input.device == static_cast<std::uint64_t>(status.st_dev) &&
        input.inode == static_cast<std::uint64_t>(status.st_ino)) {
      return &input;
    }
  }
  return nullptr;
}

bool CheckOutputsAreNotInputs(const std::vector<std::string>& outputs, const std::vector<FileIdentity>& inputs) {
  for (const std::string& output : outputs) {
    const FileIdentity* input = InputNamedBy(output, inputs);
    if (!input) continue;
    std::fprintf(stderr, "Error:VORN:Main: The output file %s is the input file %s (the same file, by name or "
                 "through a link): the run would write over what it reads; rename one of them\n",
                 output.c_str(), input->name.c_str());
    return false;
  }
  return true;
}

}  // namespace vorn
