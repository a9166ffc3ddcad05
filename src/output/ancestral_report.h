// The report's ancestral section and the per-gene ancestral files.
#pragma once
#include <vector>

namespace vorn {

class AlignmentData;
class PhylogeneticTree;
struct AncestralTables;

// The ancestral reconstruction summed over all genes, per node: the expected characters present at
// the node and the expected losses, gains and retentions on the branch above it (the estimator's
// tables), beside the counts of a Dollo parsimony reconstruction of the same sites. The root's
// event entries are 0.
struct Reconstruction {
  Reconstruction(const PhylogeneticTree& tree, const AlignmentData& data, const AncestralTables& tables);

  std::vector<double> present, losses, gains, retentions;
  std::vector<long long> dolloPresent, dolloLosses, dolloGains, dolloRetentions;
};

}  // namespace vorn
