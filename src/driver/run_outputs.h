// The names of every file a run writes, in one list.
#pragma once
#include <string>
#include <vector>

namespace vorn {

class AlignmentData;
class PhylogeneticTree;
struct ControlFile;

// Every file a run of this control file will write (the random tree, the simulated data, the
// report and the files beside it, the history files, done.txt), by the name it writes it under;
// read after the control file and the files it names. The check that no output is an input walks
// this list before the first output is opened, so a writer of a new file adds its name here
// (a test runs every writer and compares what it left with this list).
std::vector<std::string> RunOutputNames(const ControlFile& control, const PhylogeneticTree& tree,
                                        const AlignmentData& data, const std::string& projectName);

}  // namespace vorn
