// What makes two names one file, and the checks a file passes before any reader sees it.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vorn {

// A file a run read, by the name it was opened under and by what the system knows it as: two
// names (hard links, symbolic links, "./" and "../x/") of one file have the same device and inode.
struct FileIdentity {
  std::string name;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

// Checks a file just opened for reading as `name`: a folder is refused, and a NUL byte anywhere
// in a regular file is an error naming the line it is on (every reader would cut the text there
// and read on in silence). The stream is left at its start. Prints the error, beginning
// "Error:VORN:<module>:", and returns false; on success fills *identity.
bool InspectInput(std::FILE* file, const std::string& name, const char* module, FileIdentity* identity);

// The first of `inputs` that the file named `outputName` is (through any links), or nullptr; a
// name that names no file yet is none of them.
const FileIdentity* InputNamedBy(const std::string& outputName, const std::vector<FileIdentity>& inputs);

// Every output against every input, before any output is opened: a run never writes over what
// it reads. Prints "Error:VORN:Main: The output file ... is the input file ..." for the first clash.
bool CheckOutputsAreNotInputs(const std::vector<std::string>& outputs, const std::vector<FileIdentity>& inputs);

}  // namespace vorn
