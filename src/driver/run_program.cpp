// The order of a run: read, simulate, fit, reconstruct, write; and the one place that ends it.
#include "driver/run_program.h"

#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <exception>
#include <new>
#include <vector>

#include "data/alignment_data.h"
#include "data/c_file.h"
#include "data/diagnostics.h"
#include "data/output_file.h"
#include "data/phylogenetic_tree.h"
#include "data/file_identity.h"
#include "driver/command_line.h"
#include "driver/front_end.h"
#include "driver/ranks.h"
#include "driver/run_lock.h"
#include "driver/run_outputs.h"
#include "estimation/fit.h"
#include "estimation/uncertainty.h"
#include "input/input_reader.h"
#include "numerics/run_seed.h"
#include "numerics/statistics.h"
#include "output/bound_notes.h"
#include "output/family_files.h"
#include "output/history_files.h"
#include "output/report.h"
#include "output/results.h"
#include "output/run_report.h"
#include "output/simulation_files.h"
#include "output/uncertainty_table.h"
#include "simulation/simulation.h"

namespace vorn {

std::string ProjectName(const std::string& inputFileName) {
  // Dots of the directory part never count: "../runs/case7.txt" must give "../runs/case7", not a
  // name cut inside "..".
  const std::size_t slash = inputFileName.find_last_of('/');
  const std::size_t baseStart = slash == std::string::npos ? 0 : slash + 1;
  const std::string directory = inputFileName.substr(0, baseStart);
  std::string base = inputFileName.substr(baseStart);

  const std::size_t lastDot = base.find_last_of('.');
  if (lastDot == std::string::npos) return inputFileName;
  base.erase(lastDot);
  const std::size_t secondDot = base.find_last_of('.');
  if (secondDot != std::string::npos) {
    base.erase(secondDot);
  } else if (base == "input") {
    base = "project";
  }
  return directory + base;
}

namespace {

bool OpenDoneMarker(OutputFile& done) {
  if (done.Open()) return true;
  std::fprintf(stderr, "Error:VORN:Main: The file 'done.txt' cannot be opened\n");
  return false;
}

// A file that the reading of the control file leads to writing: one that cannot be written ends
// the run, as everything else it would leave (the data fitted, the report) rests on it.
bool OpenReadOutput(OutputFile& file) {
  if (file.Open()) return true;
  std::fprintf(stderr, "Error:VORN:ReadInput: The file %s cannot be opened for writting\n", file.name().c_str());
  return false;
}

bool WriteRandomTree(const PhylogeneticTree& tree) {
  OutputFile out(tree.treeName, "ReadInput");
  if (!OpenReadOutput(out)) return false;
  tree.WritePhyl(out.get());
  return out.Commit();
}

// The track file is opened before the simulation, so that a simulation never runs for a file it
// cannot leave.
bool OpenTrack(OutputFile& track) {
  if (track.name().size() > kMaxFileNameLength) {
    std::fprintf(stderr, "Error:VORN:EvolModel:Simulate: The file name %s is longer than %u characters\n",
                 track.name().c_str(), static_cast<unsigned>(kMaxFileNameLength));
    return false;
  }
  if (track.Open()) return true;
  std::fprintf(stderr, "Error:VORN:EvolModel:Simulate: The file '%s' cannot be opened\n", track.name().c_str());
  return false;
}

// Makes the data of a "sim" source from the model read, and leaves beside them what a user needs
// to check or reuse them: the true model, the history (when tracked) and the pattern files. All
// are opened before the simulation, so that none fails after it, and renamed into place together
// at the end: a killed run leaves a true model beside the data of another run only if it dies
// between two renames.
bool SimulateData(const PhylogeneticTree& tree, AlignmentData& data, ControlFile& control,
                  const std::string& projectName) {
  SimulationSettings& sim = control.simulation;
  data.PrepareForSimulation(tree.leafCount, sim.geneCount);
  OutputFile modelFile(projectName + "_truemodel.m", "ReadInput");
  OutputFile patternFile(data.patternFileName, "ReadInput");
  OutputFile countsFile(data.countsFileName, "ReadInput");
  if (!OpenReadOutput(modelFile) || !OpenReadOutput(patternFile) || !OpenReadOutput(countsFile)) return false;
  WriteTrueModel(modelFile.get(), control.model);
  OutputFile trackFile(projectName + ".track.txt", "EvolModel:Simulate");
  if (sim.track && !OpenTrack(trackFile)) return false;
  OutputFile siteTrackFile(projectName + ".site_track.tsv", "EvolModel:Simulate");
  if (sim.trackSites && !OpenTrack(siteTrackFile)) return false;
  SimulatedHistory history;
  if (!control.model.Simulate(data, tree, sim, control.fit.conditionOnPresence, sim.track ? &history : nullptr)) {
    return false;
  }
  if (sim.track) {
    WriteTrack(trackFile.get(), tree, history);
    if (!trackFile.Commit()) return false;
  }
  data.NameGenes();
  if (sim.trackSites) {
    WriteSiteTrack(siteTrackFile.get(), tree, data, history);
    if (!siteTrackFile.Commit()) return false;
  }
  sim.sitesPerGene = std::vector<std::uint32_t>();
  data.WritePatternFiles(patternFile.get(), countsFile.get());
  return modelFile.Commit() && patternFile.Commit() && countsFile.Commit();
}

// More free parameters than sites fit every site by a parameter of its own: the fit runs, and its
// values mean little.
void WarnOfFreeParameters(const FitSettings& fit, const AlignmentData& data, std::uint32_t nodeCount) {
  std::uint64_t free = 0;
  for (int f = 0; f < kFamilyCount; ++f) {
    const ParameterFamily family = static_cast<ParameterFamily>(f);
    const Extent extent = Family(family).extent;
    const std::uint32_t count = extent == Extent::kModel ? 1 : extent == Extent::kGene ? data.geneCount : nodeCount;
    for (std::uint32_t i = 0; i < count; ++i) free += Estimated(fit.flags, family, i);
  }
  if (free <= data.filteredSites) return;
  Warn("more-parameters-than-sites", "EM:Run",
       "the fit estimates %llu free parameters from %u sites: each parameter rests on less than one site; fix or "
       "share some (con or fix on the model lines), or group the sites into fewer genes",
       static_cast<unsigned long long>(free), static_cast<unsigned>(data.filteredSites));
}

// The fit, the reconstruction and every file that describes them.
bool FitAndWrite(const PhylogeneticTree& tree, const AlignmentData& data, const ControlFile& control,
                 const RunFacts& start, std::time_t startTime, std::chrono::steady_clock::time_point started,
                 const std::string& projectName) {
  // A fit may take hours; a report it could not write must stop the run before it starts.
  if (!CanWriteOutput(control.reconstruction == ReconstructionMode::kDetailed, projectName)) return false;
  if (control.fit.standardErrors && !CanWriteUncertainty(projectName)) return false;
  if (control.fit.familyPosteriors && !CanWriteFamilyFiles(projectName)) return false;
  std::printf("running the algorithm\n");
  WarnOfFreeParameters(control.fit, data, tree.nodeCount);
  HistoryFiles history;
  if (!history.Open(projectName)) return false;
  Estimator estimator(control.fit, tree, data);
  FitResult result;
  if (!estimator.Fit(control.model, history, &result) || !history.Close()) return false;
  Uncertainty uncertainty;
  if (control.fit.standardErrors) {
    std::printf("computing standard errors\n");
    estimator.MeasureUncertainty(result, &uncertainty);
  }
  AncestralTables ancestral;
  if (control.reconstruction != ReconstructionMode::kOff) estimator.Reconstruct(result, &ancestral);
  FitReport report{tree, data, control.fit, result, control.reconstruction, ancestral, &control.reader};
  if (control.fit.standardErrors) report.uncertainty = &uncertainty;
  report.simulation = &control.simulation;
  for (const BoundNote& note : BoundNotes(report)) Warn(note.code.c_str(), "EM:Run", "%s", note.text.c_str());
  const std::time_t endTime = std::time(nullptr);
  if (!WriteOutput(report, static_cast<int>(endTime - startTime), projectName)) return false;
  RunFacts facts = start;
  facts.elapsedSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  facts.warnings = Warnings();
  if (!WriteResults(report, facts, projectName) ||
      (control.fit.standardErrors && !WriteUncertainty(report, projectName))) {
    return false;
  }
  if (!control.fit.familyPosteriors) return true;
  std::printf("computing family posteriors\n");
  const EntryPosteriorSource source = [&estimator, &result](const std::vector<EntryRef>& entries,
                                                            EntryPosteriors* posteriors) {
    estimator.ComputeEntryPosteriors(result, entries, posteriors);
  };
  return WriteFamilyFiles(tree, data, control.fit.eventThreshold, source, projectName);
}

FilePtr OpenControlFile(const std::string& controlFileName) {
  FilePtr input = OpenFile(controlFileName, "r");
  if (!input) std::fprintf(stderr, "Error:VORN:Main: The input file %s cannot be found\n", controlFileName.c_str());
  return input;
}

}  // namespace

bool LoadRun(PhylogeneticTree& tree, AlignmentData& data, ControlFile& control, const std::string& controlFileName,
             const std::string& projectName) {
  {
    FilePtr input = OpenControlFile(controlFileName);
    if (!input) return false;
    FileIdentity identity;
    if (!InspectInput(input.get(), controlFileName, "Main", &identity)) return false;
    control.inputFiles.push_back(identity);
    if (!ReadInput(tree, data, control, input.get(), projectName)) return false;
  }
  if (!CheckOutputsAreNotInputs(RunOutputNames(control, tree, data, projectName), control.inputFiles)) return false;
  if (control.randomTree && !WriteRandomTree(tree)) return false;
  return !control.simulation.simulate || SimulateData(tree, data, control, projectName);
}

std::uint32_t ClockSeed() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count();
  // seconds * 1000 + milliseconds, wrapped to 32 bits; rank 0's, when ranks share the run.
  return SameOnEveryRank(static_cast<std::uint32_t>(static_cast<std::uint64_t>(milliseconds)));
}

namespace {

// An earlier run's marker goes before this run reads anything, so that a pipeline waiting for it
// never takes this run's failure for success. Only an empty file is taken now, as no input can
// be one; any other file of that name goes once the run knows it is none of its inputs.
void RemoveEmptyMarker(const std::string& controlFileName) {
  struct stat marker {}, control {};
  if (lstat("done.txt", &marker) != 0 || !S_ISREG(marker.st_mode) || marker.st_size != 0) return;
  if (stat(controlFileName.c_str(), &control) == 0 && control.st_dev == marker.st_dev &&
      control.st_ino == marker.st_ino) {
    return;  // the output check names the clash
  }
  std::remove("done.txt");
}

}  // namespace

int RunControlFile(const ControlRun& run) {
  if (run.markDone) RemoveEmptyMarker(run.controlFileName);
  const std::time_t startTime = std::time(nullptr);
  const auto started = std::chrono::steady_clock::now();
  const std::uint32_t seed = run.seed ? *run.seed : ClockSeed();
  SetRunSeed(seed);
  std::printf("random seed: %u\n", static_cast<unsigned>(seed));

  PhylogeneticTree tree;
  AlignmentData data;
  ControlFile control;

  const std::string& inputFileName = run.controlFileName;
  if (inputFileName.size() > kMaxFileNameLength) {
    std::fprintf(stderr, "Error:VORN:Main: The input file name %s is longer than %u characters\n",
                 inputFileName.c_str(), static_cast<unsigned>(kMaxFileNameLength));
    return 1;
  }
  const std::string projectName = ProjectName(inputFileName);
  if (!EveryRankSucceeded(static_cast<bool>(OpenControlFile(inputFileName)))) return 1;
  RunLock lock(projectName);
  if (FirstRank() && !lock.Take()) return 1;  // the other ranks write nothing
  if (run.markDone) {
    // The marker is the last thing a run writes and the one thing every run writes.
    OutputFile done("done.txt", "Main");
    if (!OpenDoneMarker(done)) return 1;
  }
  if (!EveryRankSucceeded(LoadRun(tree, data, control, inputFileName, projectName))) return 1;
  if (run.markDone) std::remove("done.txt");  // not an input, as LoadRun checked
  control.fit.threadCount = run.threads;
  control.fit.communicator = RankCommunicator();
  if (control.fit.maxIterations != 0) {
    RunFacts facts;
    facts.controlFileName = inputFileName;
    facts.commandLine = run.commandLine;
    facts.seed = seed;
    if (!FitAndWrite(tree, data, control, facts, startTime, started, projectName)) return 1;
  }
  if (!run.markDone) return 0;
  OutputFile done("done.txt", "Main");
  return OpenDoneMarker(done) && done.Commit() ? 0 : 1;
}

namespace {

int Run(int argc, const char* const* argv) {
  ClearWarnings();  // a process may run more than one job (the tests do)
  if (argc > 1 && IsSubcommand(argv[1])) return RunSubcommand(argc - 1, argv + 1);
  CommandLine commandLine;
  if (!ParseCommandLine(argc, argv, commandLine)) return 1;
  if (commandLine.help) {
    PrintHelp(stdout);
    return 0;
  }
  if (commandLine.version) {
    PrintVersion(stdout);
    return 0;
  }
  ControlRun run;
  run.controlFileName = commandLine.controlFileName;
  run.seed = commandLine.seed;
  run.threads = commandLine.threads;
  return RunControlFile(run);
}

}  // namespace

int RunProgram(int argc, const char* const* argv) {
  // Past a file-size limit a write fails with EFBIG, which the output's checks report as a file
  // that cannot be written, instead of the signal ending the process with its temporary files.
  std::signal(SIGXFSZ, SIG_IGN);
  // Every exception is thrown past the open outputs, whose destructors remove their temporary
  // files, and past the lock, which is let go.
  try {
    return Run(argc, argv);
  } catch (const NumericDomainError& error) {
    std::fputs(error.what(), stderr);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "Error:VORN:Main: Out of memory: the run needs more memory than the system gives it\n");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "Error:VORN:Main: %s\n", error.what());
  }
  return 1;
}

}  // namespace vorn
