#pragma once
#include <string>

namespace vorn {

// The whole run for a command line; returns the process's exit status (0 after a completed run
// that left "done.txt" or after --help or --version, 1 after any error).
int RunProgram(int argc, const char* const* argv);

// The prefix of every file a run writes: the input file's base name cut at its last dot (and at
// the one before, if any, so "case7.input.txt" gives "case7"; a bare "input" gives "project"),
// kept in the input file's directory.
std::string ProjectName(const std::string& inputFileName);

}  // namespace vorn
