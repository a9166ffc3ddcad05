// The files a simulation leaves beside its data: the true model as a one-line script, and the
// true history of the sites per gene and over all genes.
#pragma once
#include <cstdio>

namespace vorn {

class EvolModel;
class PhylogeneticTree;
struct SimulatedHistory;

// The parameter set as one struct-constructor script line, without a line feed.
void WriteTrueModel(std::FILE* file, const EvolModel& model);
// PREFIX.track.txt: the present characters, losses, gains and retentions of every node, gene by
// gene and then overall.
void WriteTrack(std::FILE* file, const PhylogeneticTree& tree, const SimulatedHistory& history);

}  // namespace vorn
