// ReadInput end to end: one input packs the control file, a tree file and the two pattern files
// (split at the separator line). The files are written into a scratch folder as "run.txt",
// "tree.phyl", "data.wp.txt" and "data.ngp.txt", and the control file is read as a run reads it
// (the simulation it asks for included), project "run". The tree file may be in any form the
// control file names, the pattern file a table, and the settings after line 52 say how they are
// read. Either the reader refuses the input with its error line, or the tree, the data and the
// control file's settings are consistent and in range.
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/fit_settings.h"
#include "fuzz_support.h"
#include "driver/run_program.h"
#include "input/input_reader.h"
#include "numerics/run_seed.h"

namespace {

using vorn::fuzzing::Require;

// What the reader writes for project "run"; removed before every input, so that no input reads
// what an earlier one left behind and every crash replays from its input alone.
const char* const kOutputs[] = {"run.phyl", "run_truemodel.m", "run.wp.txt", "run.ngp.txt", "run.track.txt"};

std::string scratch;
std::filesystem::path home;

// The scratch folder is the working directory only while an input is read, so that paths given
// to the fuzzer itself (corpus folders, a file to replay) keep their meaning.
struct InScratch {
  InScratch() { std::filesystem::current_path(scratch); }
  ~InScratch() { std::filesystem::current_path(home); }
};

void RemoveScratch() {
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
}

bool WriteFile(const char* name, const std::string& bytes) {
  std::FILE* file = std::fopen(name, "wb");
  if (!file) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

bool InRange(double value, double low, double high) { return value >= low && value <= high; }

void CheckControl(const vorn::PhylogeneticTree& tree, const vorn::AlignmentData& data,
                  const vorn::ControlFile& control) {
  const vorn::EvolModel& model = control.model;
  const vorn::FitSettings& fit = control.fit;
  const vorn::EstimationFlags& flags = fit.flags;
  const std::uint32_t genes = data.geneCount, nodes = tree.nodeCount;
  Require(model.geneCount == genes && model.nodeCount == nodes, "model sized for the data and the tree");
  Require(model.theta.size() == genes && model.eta.size() == genes && flags.theta.size() == genes &&
              flags.eta.size() == genes,
          "per-gene entries");
  Require(model.phi.size() == nodes && model.xi.size() == nodes && flags.phi.size() == nodes &&
              flags.xi.size() == nodes,
          "per-node entries");
  Require(model.phi[0] == 0 && model.xi[0] == 0 && !flags.phi[0] && !flags.xi[0], "the root has no branch");
  Require(InRange(model.p0, 0, 1) && InRange(model.nu, 0, 1), "p0 and nu are probabilities");
  for (std::uint32_t g = 0; g < genes; ++g) {
    Require(InRange(model.theta[g], 0, HUGE_VAL) && std::isfinite(model.theta[g]), "theta finite, >= 0");
    Require(InRange(model.eta[g], 0, HUGE_VAL) && std::isfinite(model.eta[g]), "eta finite, >= 0");
  }
  for (std::uint32_t v = 0; v < nodes; ++v) {
    Require(InRange(model.phi[v], 0, 1) && InRange(model.xi[v], 0, 1), "phi and xi are probabilities");
  }
  Require(std::isfinite(model.llambda) && model.llambda >= 0, "l-lambda finite, >= 0");
  Require(std::isfinite(model.glambda) && model.glambda >= 0, "g-lambda finite, >= 0");
  Require(fit.minLLambda > 0 && fit.minGLambda > 0, "positive minimal shapes");
  const vorn::FitLimits limits = vorn::DeriveLimits(fit, model, tree);
  Require(limits.thetaCap > 0 && limits.etaCap == limits.thetaCap, "positive rate caps");
  Require(std::isfinite(limits.thetaCap) || (!Estimated(flags, vorn::kTheta) && !Estimated(flags, vorn::kEta)),
          "finite caps of estimated rates");
  Require(fit.lossCategories >= 1 && fit.gainCategories >= 2, "at least one loss and two gain categories");
  Require(static_cast<int>(control.reconstruction) <= 2, "ancestral mode 0, 1 or 2");
  Require(control.reader.millionYearsPerUnit > 0 && control.reader.ultrametricTolerance >= 0 &&
              control.reader.ultrametricTolerance <= 1,
          "reader settings in range");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string pattern = (std::filesystem::temp_directory_path() / "vorn_fuzz_XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  scratch = pattern;
  home = std::filesystem::current_path();
  std::atexit(RemoveScratch);
  // Small enough that the slowest input (a simulation on the largest tree) takes milliseconds.
  vorn::InputLimits limits;
  limits.maxTreeLeaves = 64;
  limits.maxRandomTreeLeaves = 64;
  limits.maxSimulatedGenes = 8;
  limits.maxSimulatedSites = 256;
  limits.maxCategories = 16;
  vorn::SetInputLimitsForTesting(limits);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> files =
      vorn::fuzzing::SplitFiles(std::string_view(reinterpret_cast<const char*>(data), size), 4);
  // A file name may reach any file of the machine, devices that never end among them; names stay
  // inside the scratch folder.
  if (files[0].find('/') != std::string::npos) return 0;
  const InScratch inScratch;
  for (const char* name : kOutputs) std::remove(name);
  Require(WriteFile("run.txt", files[0]) && WriteFile("tree.phyl", files[1]) && WriteFile("data.wp.txt", files[2]) &&
              WriteFile("data.ngp.txt", files[3]),
          "scratch files written");

  // Every generator starts from the same seeds, so a crash replays.
  vorn::SetRunSeed(1);
  vorn::PhylogeneticTree tree;
  vorn::AlignmentData alignment;
  vorn::ControlFile settings;
  if (!vorn::LoadRun(tree, alignment, settings, "run.txt", "run")) return 0;
  vorn::fuzzing::CheckTreeLayout(tree);
  Require(alignment.leafCount == tree.leafCount && alignment.geneCount > 0, "data sized for the tree");
  vorn::fuzzing::CheckAlignmentData(alignment);
  CheckControl(tree, alignment, settings);
  return 0;
}
