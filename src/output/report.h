// The report, PREFIX.output.txt, and the detailed reconstruction, PREFIX.ar.txt.
#pragma once
#include <cstdio>
#include <string>

namespace vorn {

class AlignmentData;
class PhylogeneticTree;
struct FitReport;

// Writes the run's report, project name + ".output.txt", and in the detailed ancestral mode
// project name + ".ar.txt", each complete or not at all. False, after its message, when a file
// cannot be opened or written to its end (a full disk).
bool WriteOutput(const FitReport& report, int elapsedSeconds, const std::string& projectName);

// Whether WriteOutput and WriteResults could write their files now: checked before a fit that
// may take hours. False after the message they would give.
bool CanWriteOutput(bool detailed, const std::string& projectName);

// The job statistics section: running time in the largest fitting unit, iterations performed.
void WriteJobStatistics(std::FILE* file, int elapsedSeconds, unsigned iterations);
// The report's sections: the tree, the alignment data, the fitted parameters with the rate
// distributions and the control settings, the ancestral reconstruction over all genes (beside
// the Dollo counts) and gene by gene.
// A tree whose leaves end further apart than the tolerance (a share of the root's depth) is said
// not to be a time tree.
void WriteTreeSummary(std::FILE* file, const PhylogeneticTree& tree, double ultrametricTolerance);
void WriteDataSummary(std::FILE* file, const AlignmentData& data);
void WriteParameters(std::FILE* file, const FitReport& report);
void WriteAncestralSummary(std::FILE* file, const FitReport& report);
void WriteAncestralDetails(std::FILE* file, const FitReport& report);

}  // namespace vorn
