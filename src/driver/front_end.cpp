// The subcommands on top of the control-file path: fit, simulate and check.
#include "driver/front_end.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "data/alignment_data.h"
#include "data/c_file.h"
#include "data/diagnostics.h"
#include "data/output_file.h"
#include "data/phylogenetic_tree.h"
#include "driver/control_text.h"
#include "driver/run_program.h"
#include "driver/subcommand_lines.h"
#include "driver/subcommand_support.h"
#include "driver/simulate_command.h"
#include "input/input_reader.h"
#include "numerics/run_seed.h"

namespace vorn {
namespace {

// The line 8 source of a data file: pattern files for NAME.wp.txt, else a table.
std::string SourceOf(const std::string& data) {
  const std::string patterns = ".wp.txt";
  if (!EndsWith(data, patterns)) return "table " + data;
  return "pat " + data + " " + data.substr(0, data.size() - patterns.size()) + ".ngp.txt";
}

bool DataFound(const std::string& data) {
  const std::string source = SourceOf(data);
  if (source.rfind("pat ", 0) != 0) return FileFound("data", data);
  return FileFound("data", data) && FileFound("counts", source.substr(source.rfind(' ') + 1));
}

// Reads a control text as a run would, from a scratch copy.
bool ReadControlText(const std::string& text, const std::string& projectName, PhylogeneticTree& tree,
                     AlignmentData& data, ControlFile& control) {
  FilePtr stream(std::tmpfile());
  if (!stream || std::fputs(text.c_str(), stream.get()) < 0 || std::fflush(stream.get()) != 0) {
    std::fprintf(stderr, "Error:VORN:Main: A scratch file cannot be written\n");
    return false;
  }
  std::rewind(stream.get());
  return ReadInput(tree, data, control, stream.get(), projectName);
}

ControlPlan FitPlan(const FitLine& line, bool conditionOnPresence) {
  ControlPlan plan;
  plan.treeFile = line.reading.tree;
  plan.source = SourceOf(line.reading.data);
  for (int f = 0; f < 8; ++f) plan.modes[f] = line.modes[f];
  plan.lossCategories = line.lossCategories;
  plan.gainCategories = line.gainCategories;
  FitChoices choices;
  choices.starts = line.starts;
  choices.conditionOnPresence = conditionOnPresence;
  choices.standardErrors = line.standardErrors;
  choices.eventThreshold = line.eventThreshold;
  choices.treeUnit = line.reading.treeUnit;
  choices.geneColumn = line.reading.geneColumn;
  choices.leavesWithoutData = line.reading.leavesWithoutData;
  plan.settings = FitSettingLines(choices);
  return plan;
}

// auto: on when every site shows the character at some leaf, as in the tables of orthology tools,
// which list a family only where it was found.
bool ChooseConditioning(const FitLine& line, const AlignmentData& data) {
  if (line.conditionOnPresence != "auto") return line.conditionOnPresence == "on";
  const PresenceCounts counts = CountPresence(data);
  if (counts.withoutPresence == 0) {
    std::fprintf(stderr, "condition on presence: on (auto: every one of the %u sites shows the character at some "
                 "leaf)\n", static_cast<unsigned>(data.filteredSites));
    return true;
  }
  std::fprintf(stderr, "condition on presence: off (auto: %llu of the %u sites show the character at no leaf)\n",
               static_cast<unsigned long long>(counts.withoutPresence), static_cast<unsigned>(data.filteredSites));
  return false;
}

int RunFit(int argc, const char* const* argv) {
  FitLine line;
  const LineOutcome outcome = ParseFitLine(argc, argv, &line);
  if (outcome != LineOutcome::kRun) return outcome == LineOutcome::kHelped ? 0 : 1;
  if (!FileFound("tree", line.reading.tree) || !DataFound(line.reading.data)) return 1;
  const std::string prefix = line.prefix.empty() ? DefaultPrefix(line.reading.data) : line.prefix;
  const std::uint32_t seed = line.seed ? *line.seed : ClockSeed();
  const std::string controlFile = prefix + ".input.txt";
  if (!MayReplace(controlFile, "% Written by vorn fit")) return 1;

  // The data decide "auto" and must be readable before a control file is left for them.
  PhylogeneticTree tree;
  AlignmentData data;
  ControlFile control;
  const std::string probe = ControlText(FitPlan(line, false));
  if (!Silently([&] {
        SetRunSeed(seed);
        return ReadControlText(probe, prefix, tree, data, control);
      })) {
    return 1;
  }
  const std::vector<std::string> words = Words(argc, argv);
  ControlRun run;
  run.controlFileName = controlFile;
  run.seed = seed;
  run.threads = line.threads;
  run.markDone = false;
  run.commandLine = words;
  const int status = WriteAndRun("fit", FitPlan(line, ChooseConditioning(line, data)), words, run);
  if (status == 0) {
    const char* p = prefix.c_str();
    std::fprintf(stderr, "results: %s.output.txt (the report), %s.results.json, %s.branches.tsv, %s.tree.svg, "
                 "%s.families.tsv\nrepeat with: vorn --seed %u %s\n", p, p, p, p, p, static_cast<unsigned>(seed),
                 controlFile.c_str());
  }
  return status;
}

void PrintCheck(const PhylogeneticTree& tree, const AlignmentData& data, const ReadingChoices& reading) {
  double shallowest = 0, deepest = 0;
  tree.LeafDepths(&shallowest, &deepest);
  const char* unit = tree.unitSetting.empty() ? (tree.fileUnit == 1 ? "My (phyl ages)" : "Gy (the default)")
                                              : tree.unitSetting.c_str();
  std::printf("tree: %s, %u leaves, %u nodes; unit %s; depth %.6g units = %.6g million years%s\n",
              reading.tree.c_str(), static_cast<unsigned>(tree.leafCount), static_cast<unsigned>(tree.nodeCount),
              unit, tree.fileUnit > 0 ? 1000 * deepest / tree.fileUnit : deepest, 1000 * deepest,
              deepest - shallowest > 0.01 * deepest ? " (the leaves end at different depths: not a time tree)" : "");
  // Pattern files are not matched by name: their columns follow the tree's leaves.
  const char* matching = EndsWith(reading.data, ".wp.txt") ? "leaf columns in the order of the tree's"
                                                           : "leaves matched to the tree's";
  std::printf("data: %s, %u %s %u, %u genes, %u sites (%u after the filter of unknowns), %u distinct patterns\n",
              reading.data.c_str(), static_cast<unsigned>(data.leafCount), matching, static_cast<unsigned>(tree.leafCount),
              static_cast<unsigned>(data.geneCount), static_cast<unsigned>(data.allSites),
              static_cast<unsigned>(data.filteredSites), static_cast<unsigned>(data.patternCount));
  for (std::size_t g = 0; g < data.genes.size() && g < 10; ++g) {
    std::printf("  gene %s: %u sites\n", data.genes[g].geneName.c_str(),
                static_cast<unsigned>(data.genes[g].filteredSites));
  }
  if (data.genes.size() > 10) std::printf("  and %zu more genes\n", data.genes.size() - 10);
  const PresenceCounts counts = CountPresence(data);
  std::printf("sites absent at every leaf: %llu; showing the character at no leaf: %llu\n",
              static_cast<unsigned long long>(counts.absentEverywhere),
              static_cast<unsigned long long>(counts.withoutPresence));
  std::printf("vorn fit would condition on presence: %s (--condition-on-presence auto)\n",
              counts.withoutPresence == 0 ? "on" : "off");
  const std::vector<RecordedWarning>& warnings = Warnings();
  std::printf("warnings: %zu\n", warnings.size());
  for (const RecordedWarning& warning : warnings) std::printf("  %s: %s\n", warning.code.c_str(), warning.text.c_str());
}

int RunCheck(int argc, const char* const* argv) {
  CheckLine line;
  const LineOutcome outcome = ParseCheckLine(argc, argv, &line);
  if (outcome != LineOutcome::kRun) return outcome == LineOutcome::kHelped ? 0 : 1;
  if (!FileFound("tree", line.reading.tree) || !DataFound(line.reading.data)) return 1;
  FitLine fit;
  fit.reading = line.reading;
  PhylogeneticTree tree;
  AlignmentData data;
  ControlFile control;
  SetRunSeed(1);  // the starting values it draws are never used
  if (!ReadControlText(ControlText(FitPlan(fit, false)), DefaultPrefix(line.reading.data), tree, data, control)) {
    return 1;
  }
  PrintCheck(tree, data, line.reading);
  std::fflush(stdout);
  return 0;
}

}  // namespace


bool IsSubcommand(const std::string& argument) {
  return argument == "fit" || argument == "simulate" || argument == "check";
}

int RunSubcommand(int argc, const char* const* argv) {
  const std::string name = argv[0];
  if (name == "fit") return RunFit(argc, argv);
  if (name == "check") return RunCheck(argc, argv);
  return RunSimulate(argc, argv);
}

PresenceCounts CountPresence(const AlignmentData& data) {
  PresenceCounts counts;
  for (const Gene& gene : data.genes) {
    for (std::uint32_t e = 0; e < gene.entryCount; ++e) {
      const std::uint8_t* values = data.patterns[gene.patternIndices[e]].values.data();
      if (CountPresent(values, data.leafCount) != 0) continue;
      counts.withoutPresence += gene.counts[e];
      if (CountAbsent(values, data.leafCount) == data.leafCount) counts.absentEverywhere += gene.counts[e];
    }
  }
  return counts;
}

std::string DefaultPrefix(const std::string& dataFile) {
  std::string base = std::filesystem::path(dataFile).filename().string();
  if (EndsWith(base, ".wp.txt")) return base.substr(0, base.size() - 7);
  const std::size_t dot = base.find_last_of('.');
  if (dot != std::string::npos && dot > 0) base.erase(dot);
  return base.empty() ? "vorn" : base;
}

}  // namespace vorn
