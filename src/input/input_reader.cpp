// The control file read section by section, and the settings checked against the data.
#include "input/input_reader.h"

#include <algorithm>

#include "data/alignment_data.h"
#include "data/diagnostics.h"
#include "data/phylogenetic_tree.h"
#include "data/text_io.h"
#include "input/section_readers.h"
#include "input/settings.h"

namespace vorn {
namespace {

InputLimits& MutableLimits() {
  static InputLimits limits;
  return limits;
}

// A column taken for gene names that holds row names makes a gene of every row: each gets its own
// theta and eta from one site, and the fit still runs.
void WarnOfSingleSiteGenes(const AlignmentData& data, bool simulate) {
  if (simulate || data.geneCount < 2) return;
  for (const Gene& gene : data.genes) {
    if (gene.allSites > 1) return;
  }
  Warn("single-site-genes", "ReadInput",
       "every one of the %u genes of '%s' has a single site, so each gets a theta and an eta of its own from one "
       "site; if a column of names was taken for the genes, the setting 'gene column' names the one that groups "
       "the rows",
       static_cast<unsigned>(data.geneCount), data.countsFileName.c_str());
}

}  // namespace

const InputLimits& ActiveInputLimits() { return MutableLimits(); }
void SetInputLimitsForTesting(const InputLimits& limits) { MutableLimits() = limits; }
void ClearInputLimitsForTesting() { MutableLimits() = InputLimits(); }

bool ReadInput(PhylogeneticTree& tree, AlignmentData& data, ControlFile& control, std::FILE* input,
               const std::string& projectName) {
  std::printf("reading and processing input file\n");
  std::fflush(stdout);
  SkipByteOrderMark(input);
  PrescannedSettings prescanned;
  if (!PrescanReaderSettings(input, control.reader, prescanned)) return false;
  control_file::TemplateReader in(input);
  SimulationSettings& sim = control.simulation;
  if (!ReadTreeSection(in, tree, projectName, control.reader, &control.randomTree)) return false;
  if (!ReadDataSection(in, tree, data, projectName, control.reader, sim)) return false;
  WarnOfSingleSiteGenes(data, sim.simulate);

  control_file::DrawParameters draws;
  if (!ReadDrawParameters(in, draws)) return false;
  const std::uint32_t genes = sim.simulate ? sim.geneCount : data.geneCount;
  control.fit.flags.Resize(tree.nodeCount, genes);
  control.model.Resize(tree.nodeCount, genes);
  if (!ReadModelSection(in, tree, control, draws, sim.simulate)) return false;
  // On a tree whose branches all have length 0 no rate acts on anything: the caps are infinite
  // and an estimate of theta or eta would mean nothing.
  double longest = 0;
  for (std::uint32_t v = 1; v < tree.nodeCount; ++v) longest = std::max(longest, tree.branchLength[v]);
  if (longest == 0 && (Estimated(control.fit.flags, kTheta) || Estimated(control.fit.flags, kEta))) {
    std::fprintf(stderr, "Error:VORN:ReadInput: theta and eta cannot be estimated on a tree whose branches all "
                         "have length 0\n");
    return false;
  }

  if (!ReadControlSection(in, control) || !ReadInitializationSection(in, control) ||
      !ReadSettings(input, in.fileLine() + 1, control, prescanned)) {
    return false;
  }
  if (sim.lossCategories > 0) {
    sim.lossCategories = control.fit.lossCategories;
    sim.gainCategories = control.fit.gainCategories;
  }
  if (!sim.simulate && control.fit.conditionOnPresence) data.DropSitesWithoutPresence();
  control.inputFiles.insert(control.inputFiles.end(), in.filesRead().begin(), in.filesRead().end());
  return true;
}

}  // namespace vorn
