#pragma once
#include <cstdio>
#include <string>

namespace vorn {

class PhylogeneticTree;
class AlignmentData;
class EM;

// Writes the run's report, project name + ".output.txt", and in the detailed ancestral mode
// project name + ".ar.txt", each complete or not at all. False, after its message, when a file
// cannot be opened or written to its end (a full disk).
bool WriteOutput(const PhylogeneticTree& tree, const AlignmentData& data, const EM& em, int elapsedSeconds,
                 const std::string& projectName);

// Whether WriteOutput and WriteResults could write their files now: checked before a fit that
// may take hours. False after the message they would give.
bool CanWriteOutput(const EM& em, const std::string& projectName);

// The job statistics section: running time in the largest fitting unit, iterations performed.
void WriteJobStatistics(std::FILE* file, int elapsedSeconds, unsigned iterations);

}  // namespace vorn
