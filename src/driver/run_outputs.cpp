// The files of a run, as the writers name them.
#include "driver/run_outputs.h"

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "input/input_reader.h"

namespace vorn {

std::vector<std::string> RunOutputNames(const ControlFile& control, const PhylogeneticTree& tree,
                                        const AlignmentData& data, const std::string& projectName) {
  std::vector<std::string> names{"done.txt"};
  if (control.randomTree) names.push_back(tree.treeName);
  if (control.simulation.simulate) {
    names.insert(names.end(), {projectName + "_truemodel.m", data.patternFileName, data.countsFileName});
    if (control.simulation.track) names.push_back(projectName + ".track.txt");
    if (control.simulation.trackSites) names.push_back(projectName + ".site_track.tsv");
  }
  if (control.fit.maxIterations == 0) return names;
  for (const char* suffix : {".output.txt", ".results.json", ".branches.tsv", ".tree.nwk", ".tree.svg",
                             ".history.tsv"}) {
    names.push_back(projectName + suffix);
  }
  for (const char* family : {"likelihood", "p0", "theta", "phi", "eta", "xi", "nu", "llambda", "glambda"}) {
    names.push_back(projectName + ".history." + family + ".txt");
  }
  if (control.reconstruction == ReconstructionMode::kDetailed) names.push_back(projectName + ".ar.txt");
  if (control.fit.standardErrors) names.push_back(projectName + ".uncertainty.tsv");
  if (control.fit.familyPosteriors) {
    names.insert(names.end(), {projectName + ".families.tsv", projectName + ".family_events.tsv"});
  }
  return names;
}

}  // namespace vorn
