// The files a simulation leaves beside its data: the true model as a one-line script, and the
// true history of the sites per gene and over all genes.
#pragma once
#include <cstdio>

namespace vorn {

class AlignmentData;
class EvolModel;
class PhylogeneticTree;
struct SimulatedHistory;

// The parameter set as one struct-constructor script line, without a line feed.
void WriteTrueModel(std::FILE* file, const EvolModel& model);
// PREFIX.track.txt: the present characters, losses, gains and retentions of every node, gene by
// gene and then overall.
void WriteTrack(std::FILE* file, const PhylogeneticTree& tree, const SimulatedHistory& history);
// PREFIX.site_track.tsv: per site of the pattern files, in their order (gene by gene, pattern by
// pattern, each pattern's sites as they were drawn), its number within its gene, the gene, the
// pattern's number, and per node its history: the root's state (0 or 1), and for every other node
// what happened on the branch above it: gain, loss, kept (present throughout) or absent.
void WriteSiteTrack(std::FILE* file, const PhylogeneticTree& tree, const AlignmentData& data,
                    const SimulatedHistory& history);

}  // namespace vorn
