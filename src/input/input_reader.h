// The control file as a whole: what it asks of a run, and the reader that fills it.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "data/file_identity.h"
#include "data/phylogenetic_tree.h"
#include "data/reader_settings.h"
#include "estimation/ancestral.h"
#include "estimation/evol_model.h"
#include "estimation/fit_settings.h"
#include "simulation/simulation.h"

namespace vorn {

class PhylogeneticTree;
class AlignmentData;

// What a control file asks of a run besides the tree and the data it names: the fit's settings,
// the model's values (the fixed ones, the starting values of the estimated ones and, when
// simulating, the true model), the simulation, the reconstruction, and how the files it names
// were read.
struct ControlFile {
  FitSettings fit;
  ReaderSettings reader;
  EvolModel model;
  SimulationSettings simulation;
  ReconstructionMode reconstruction = ReconstructionMode::kOff;
  bool randomTree = false;  // the tree was made at random, to be written as PREFIX.phyl
  // Every file the run read: the control file (added by its opener) and the files it names.
  std::vector<FileIdentity> inputFiles;
};

// Longest line of the input file; a longer one is an error, not a split.
constexpr std::size_t kMaxInputLineLength = 2046;
// Largest random tree the reader makes: far beyond any real study, small enough to allocate.
constexpr std::uint32_t kMaxRandomTreeLeaves = 1U << 24;
// Most genes a simulation makes; every gene's records are allocated before the first site.
constexpr std::uint32_t kMaxSimulatedGenes = 1000000;
// Most sites a simulation makes over all genes: the data count sites in 32 bits.
constexpr std::uint64_t kMaxSimulatedSites = 0xffffffffU;
// Most rate categories of either distribution (the gain distribution's never-gaining class
// included). The E-step's work and its sums grow with the product of the two counts: 64 of each
// are 4096 pairs, some 200 times the default's 20, which still takes seconds an iteration on the
// example; beyond that, more categories describe a gamma distribution no better.
constexpr std::uint32_t kMaxCategories = 64;

// How much work one control file may ask of a run. The defaults are the product's limits and
// are what every run uses; tests and the fuzz harnesses lower them, so that an input can make
// the reader refuse a tree, a simulation or a category count that they cannot afford, without
// the harness ever changing what the program accepts.
struct InputLimits {
  std::uint32_t maxTreeLeaves = kMaxTreeLeaves;  // a tree read from a file
  std::uint32_t maxRandomTreeLeaves = kMaxRandomTreeLeaves;
  std::uint32_t maxSimulatedGenes = kMaxSimulatedGenes;
  std::uint64_t maxSimulatedSites = kMaxSimulatedSites;
  std::uint32_t maxCategories = kMaxCategories;
};

// Test seam: the limits ReadInput applies, the defaults until a test sets others.
const InputLimits& ActiveInputLimits();
void SetInputLimitsForTesting(const InputLimits& limits);
void ClearInputLimitsForTesting();

// Reads the 52-line control file of a run and the files it names: fills the tree, the data (left
// empty when they are to be simulated) and the control file's settings and values. The settings
// after line 52 that say how the files are read are taken first (an input that cannot seek may
// not hold them). A random tree
// is made here, and written by the caller. Prints one error line and returns false on the first
// problem; warnings go on. The project name keeps the control file's folder: a file the control
// file names that is not found from the working directory is looked for there.
bool ReadInput(PhylogeneticTree& tree, AlignmentData& data, ControlFile& control, std::FILE* input,
               const std::string& projectName);

}  // namespace vorn
