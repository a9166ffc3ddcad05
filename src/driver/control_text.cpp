// The control files of the subcommands, line by line, and the table of the settings of a fit.
#include "driver/control_text.h"

#include <cstdio>

namespace vorn {

const FamilyLine kFamilyLines[8] = {
    {"p0", 24, FamilyKind::kProbability},      {"theta", 25, FamilyKind::kGeneRate},
    {"phi", 26, FamilyKind::kBranchProbability}, {"eta", 27, FamilyKind::kGeneRate},
    {"xi", 28, FamilyKind::kBranchProbability},  {"nu", 29, FamilyKind::kProbability},
    {"l-lambda", 32, FamilyKind::kShape},      {"g-lambda", 33, FamilyKind::kShape},
};

const FamilyLine* FindFamily(const std::string& name) {
  for (const FamilyLine& family : kFamilyLines) {
    if (name == family.name) return &family;
  }
  return nullptr;
}

const char* TreeForm(const std::string& treeFile) {
  const std::string suffix = ".phyl";
  const bool phyl = treeFile.size() > suffix.size() &&
                    treeFile.compare(treeFile.size() - suffix.size(), suffix.size(), suffix) == 0;
  return phyl ? "phyl" : "newick";
}

std::string ValueList(const std::vector<double>& values) {
  std::string text = "fix";
  for (std::size_t i = 0; i < values.size(); ++i) {
    char number[32];
    std::snprintf(number, sizeof number, "%.17g", values[i]);
    text += (i > 0 && i % 10 == 0) ? "\n" : " ";
    text += number;
  }
  return text;
}

std::string ControlText(const ControlPlan& plan) {
  const std::string& m0 = plan.modes[0];
  auto line = [](std::string& text, const std::string& content) { text += content + "\n"; };
  std::string text;
  line(text, "PHYLOGENETIC TREE");
  line(text, "time units: M");
  line(text, "tree: " + plan.treeFile + " " + TreeForm(plan.treeFile));
  line(text, "number of leaves: 8");
  line(text, "total time span: 100");
  line(text, "");
  line(text, "ALIGNMENT DATA");
  line(text, "source: " + plan.source);
  line(text, "number of genes: " + std::to_string(plan.genes));
  line(text, "number of sites: const " + std::to_string(plan.sitesPerGene));
  line(text, "fraction of unknowns: 0");
  line(text, "track numbers of present characters: off");
  line(text, "filter unknowns: " + plan.filter);
  // Means of random draws: a subcommand's file fixes or estimates every value, so none is drawn.
  for (const char* draw : {"p0: 0.95", "theta: 1", "phi: 0.4 1", "eta: 1.5", "xi: 0.4 1.5", "nu: 0.8",
                           "l-lambda: 1", "g-lambda: 1"}) {
    line(text, draw);
  }
  line(text, "");
  line(text, "MODEL PARAMETERS");
  line(text, "p0: " + m0);
  for (int f = 1; f < 6; ++f) line(text, std::string(kFamilyLines[f].name) + ": " + plan.modes[f]);
  line(text, "minimal l-lambda value: 0.05");
  line(text, "minimal g-lambda value: 0.06");
  line(text, "l-lambda: " + plan.modes[6]);
  line(text, "g-lambda: " + plan.modes[7]);
  line(text, "");
  line(text, "CONTROL PARAMETERS");
  line(text, "# categories (loss distribution): " + std::to_string(plan.lossCategories));
  line(text, "# categories (gain distribution): " + std::to_string(plan.gainCategories));
  line(text, "likelihood tolerance: 1e-6");
  line(text, "parameter tolerance: 5e-2");
  line(text, "internal tolerance: 1e-8");
  line(text, "maximum # iterations: " + std::to_string(plan.maxIterations));
  line(text, std::string("ancestral reconstruction: ") + plan.reconstruction);
  line(text, "");
  line(text, "INITIALIZATION PARAMETERS");
  for (const char* start : {"p0: observed 0.95", "theta: con 1", "phi: dollo", "eta: rand 1.5", "xi: dollo",
                            "nu: observed 0.8", "l-lambda: fixed 1", "g-lambda: fixed 1"}) {
    line(text, start);
  }
  for (const std::string& note : plan.notes) line(text, "% " + note);
  for (const auto& [name, value] : plan.settings) line(text, name + ": " + value);
  return text;
}

namespace {

// One setting a fit writes after line 52, and its value from the choices ("" leaves it out).
struct FitSetting {
  const char* name;
  std::string (*value)(const FitChoices& choices);
};

const char* OnOff(bool on) { return on ? "on" : "off"; }

// Every setting `vorn fit` writes, in the order written: the recommended search of the README
// first, then what the command line chose. A setting the reader learns is one more row here.
const FitSetting kFitSettings[] = {
    {"optimizer", [](const FitChoices&) { return std::string("fast"); }},
    {"starts", [](const FitChoices& c) { return std::to_string(c.starts); }},
    {"search", [](const FitChoices&) { return std::string("screen"); }},
    {"condition on presence", [](const FitChoices& c) { return std::string(OnOff(c.conditionOnPresence)); }},
    {"standard errors", [](const FitChoices& c) { return std::string(OnOff(c.standardErrors)); }},
    {"family posteriors", [](const FitChoices&) { return std::string("on"); }},
    {"event threshold", [](const FitChoices& c) { return c.eventThreshold; }},
    {"tree unit", [](const FitChoices& c) { return c.treeUnit; }},
    {"gene column", [](const FitChoices& c) { return c.geneColumn; }},
    {"leaves without data", [](const FitChoices& c) { return c.leavesWithoutData; }},
};

}  // namespace

std::vector<std::pair<std::string, std::string>> FitSettingLines(const FitChoices& choices) {
  std::vector<std::pair<std::string, std::string>> lines;
  for (const FitSetting& setting : kFitSettings) {
    std::string value = setting.value(choices);
    if (!value.empty()) lines.emplace_back(setting.name, std::move(value));
  }
  return lines;
}

}  // namespace vorn
