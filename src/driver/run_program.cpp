#include "driver/run_program.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "data/alignment_data.h"
#include "data/c_file.h"
#include "data/output_file.h"
#include "data/phylogenetic_tree.h"
#include "driver/command_line.h"
#include "estimation/em.h"
#include "input/input_reader.h"
#include "numerics/run_seed.h"
#include "output/report.h"
#include "output/results.h"

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

}  // namespace

int RunProgram(int argc, const char* const* argv) {
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

  const std::time_t startTime = std::time(nullptr);
  const auto started = std::chrono::steady_clock::now();
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count();
  // seconds * 1000 + milliseconds, wrapped to 32 bits.
  const std::uint32_t seed =
      commandLine.seed ? *commandLine.seed : static_cast<std::uint32_t>(static_cast<std::uint64_t>(milliseconds));
  SetRunSeed(seed);
  std::printf("random seed: %u\n", static_cast<unsigned>(seed));

  PhylogeneticTree tree;
  AlignmentData data;
  EM em;
  em.threadCount = commandLine.threads;

  const std::string inputFileName = commandLine.controlFileName;
  if (inputFileName.size() > kMaxFileNameLength) {
    std::fprintf(stderr, "Error:VORN:Main: The input file name %s is longer than %u characters\n",
                 inputFileName.c_str(), static_cast<unsigned>(kMaxFileNameLength));
    return 1;
  }
  const std::string projectName = ProjectName(inputFileName);
  {
    // The marker is the last thing a run writes and the one thing every run writes.
    OutputFile done("done.txt", "Main");
    if (!OpenDoneMarker(done)) return 1;
  }

  {
    FilePtr input = OpenFile(inputFileName, "r");
    if (!input) {
      std::fprintf(stderr, "Error:VORN:Main: The input file %s cannot be found\n", inputFileName.c_str());
      return 1;
    }
    if (!ReadInput(tree, data, em, input.get(), projectName)) return 1;
  }

  if (em.maxIterations != 0) {
    // A fit may take hours; a report it could not write must stop the run before it starts.
    if (!CanWriteOutput(em, projectName)) return 1;
    if (!em.Run(data, tree, projectName)) return 1;
    const std::time_t endTime = std::time(nullptr);
    if (!WriteOutput(tree, data, em, static_cast<int>(endTime - startTime), projectName)) return 1;
    RunFacts facts;
    facts.controlFileName = inputFileName;
    facts.seed = seed;
    facts.elapsedSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!WriteResults(tree, data, em, facts, projectName)) return 1;
  }

  OutputFile done("done.txt", "Main");
  return OpenDoneMarker(done) && done.Commit() ? 0 : 1;
}

}  // namespace vorn
