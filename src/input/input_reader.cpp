#include "input/input_reader.h"
#include "input/settings.h"

#include <algorithm>
#include <vector>

#include "data/alignment_data.h"
#include "data/output_file.h"
#include "data/phylogenetic_tree.h"
#include "data/text_io.h"
#include "estimation/em.h"
#include "input/section_readers.h"

namespace vorn {
namespace {

using control_file::OpenOutput;
using control_file::SimulationSettings;

InputLimits& MutableLimits() {
  static InputLimits limits;
  return limits;
}

// Makes the data of a "sim" source from the model just read, and leaves beside them what a user
// needs to check or reuse them: the true model, the history (when tracked) and the pattern files.
// All are opened before the simulation, so that none fails after it, and renamed into place
// together at the end: a killed run leaves a true model beside the data of another run only if
// it dies between two renames.
bool SimulateData(const PhylogeneticTree& tree, AlignmentData& data, EM& em, SimulationSettings& sim,
                  const std::string& projectName) {
  data.PrepareForSimulation(tree.leafCount, sim.geneCount);
  OutputFile modelFile(projectName + "_truemodel.m", "ReadInput");
  OutputFile patternFile(data.patternFileName, "ReadInput");
  OutputFile countsFile(data.countsFileName, "ReadInput");
  if (!OpenOutput(modelFile) || !OpenOutput(patternFile) || !OpenOutput(countsFile)) return false;
  em.model.WriteTrueModel(modelFile.get());
  if (!em.model.Simulate(data, tree, sim.unknownFraction, sim.sitesPerGene, sim.track, projectName,
                         em.conditionOnPresence)) {
    return false;
  }
  data.NameGenes();
  sim.sitesPerGene = std::vector<std::uint32_t>();
  data.WritePatternFiles(patternFile.get(), countsFile.get());
  return modelFile.Commit() && patternFile.Commit() && countsFile.Commit();
}

}  // namespace

const InputLimits& ActiveInputLimits() { return MutableLimits(); }
void SetInputLimitsForTesting(const InputLimits& limits) { MutableLimits() = limits; }
void ClearInputLimitsForTesting() { MutableLimits() = InputLimits(); }

bool ReadInput(PhylogeneticTree& tree, AlignmentData& data, EM& em, std::FILE* input,
               const std::string& projectName) {
  std::printf("reading and processing input file\n");
  std::fflush(stdout);
  SkipByteOrderMark(input);
  control_file::TemplateReader in(input);
  SimulationSettings sim;
  if (!ReadTreeSection(in, tree, projectName)) return false;
  if (!ReadDataSection(in, tree, data, projectName, sim)) return false;

  control_file::DrawParameters draws;
  if (!ReadDrawParameters(in, draws)) return false;
  em.Resize(tree.nodeCount, sim.simulate ? sim.geneCount : data.geneCount);
  // The M-steps bound theta and eta by this cap (over the largest rate multiplier), so that no
  // scaled rate times a branch length passes 153.5.
  double longest = 0;
  for (std::uint32_t v = 1; v < tree.nodeCount; ++v) longest = std::max(longest, tree.branchLength[v]);
  em.thetaCap = 153.5 / longest;
  em.etaCap = em.thetaCap;
  if (!ReadModelSection(in, tree, em, draws, sim.simulate)) return false;
  // On a tree whose branches all have length 0 no rate acts on anything: the caps are infinite
  // and an estimate of theta or eta would mean nothing.
  if (longest == 0 && (em.flags.thetaAny || em.flags.etaAny)) {
    std::fprintf(stderr, "Error:VORN:ReadInput: theta and eta cannot be estimated on a tree whose branches all "
                         "have length 0\n");
    return false;
  }

  const EstimationFlags& flags = em.flags;
  em.thetaPhiInvariant = flags.thetaAny && flags.phiAny && !flags.llambda && em.model.llambda == 0;
  em.etaXiInvariant =
      flags.etaAny && flags.xiAny && !flags.glambda && em.model.glambda == 0 && em.model.geneCount == 1;
  if (!sim.simulate) em.model.geneCount = data.geneCount;

  if (!ReadControlSection(in, em) || !ReadInitializationSection(in, em) ||
      !ReadSettings(input, in.fileLine() + 1, em)) {
    return false;
  }
  // The simulation follows the whole file, whose settings may change what it draws, so that a
  // mistake anywhere in the file stops the run before the work.
  if (sim.simulate) return SimulateData(tree, data, em, sim, projectName);
  if (em.conditionOnPresence) data.DropSitesWithoutPresence();
  return true;
}

}  // namespace vorn
