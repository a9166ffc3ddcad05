// The subcommands: `vorn fit`, `vorn simulate` and `vorn check` each write a control file (or, for
// check, read one they never write) and run it through the control-file path, so that every
// subcommand's result is one a control file gives, and the file left beside it repeats it.
#pragma once
#include <cstdint>
#include <string>

namespace vorn {

class AlignmentData;

// Whether the first argument names a subcommand rather than a control file ("./fit" names a file).
bool IsSubcommand(const std::string& argument);

// argv[0] is the subcommand's name; returns the exit status. Progress goes to stderr, so that
// stdout holds only what a subcommand reports (check's description, the help texts).
int RunSubcommand(int argc, const char* const* argv);

// What a table holds that conditioning on presence is about: the sites absent at every leaf, and
// those that show the character at no leaf (absent or unknown everywhere), of the sites read.
struct PresenceCounts {
  std::uint64_t absentEverywhere = 0;
  std::uint64_t withoutPresence = 0;
};
PresenceCounts CountPresence(const AlignmentData& data);

// The prefix a fit's files get without --prefix: the data file's name without its folder and
// its extension ("data/families.tsv" gives "families", "sim_1.wp.txt" gives "sim_1"), in the
// working directory.
std::string DefaultPrefix(const std::string& dataFile);

}  // namespace vorn
