#pragma once
#include <cstdio>
#include <string>

namespace vorn {

class PhylogeneticTree;
class AlignmentData;
class EM;

// Writes the run's report, project name + ".output.txt", and in the detailed ancestral mode
// project name + ".ar.txt". A file that cannot be opened gives a warning; the run goes on. A file
// that cannot be written to the end (a full disk) is an error: false, after its message.
bool WriteOutput(const PhylogeneticTree& tree, const AlignmentData& data, const EM& em, int elapsedSeconds,
                 const std::string& projectName);

// The job statistics section: running time in the largest fitting unit, iterations performed.
void WriteJobStatistics(std::FILE* file, int elapsedSeconds, unsigned iterations);

}  // namespace vorn
