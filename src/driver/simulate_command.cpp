// Simulations from a fitted model or from values, one control file per replicate.
#include "driver/simulate_command.h"

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "data/c_file.h"
#include "data/phylogenetic_tree.h"
#include "data/text_io.h"
#include "driver/control_text.h"
#include "driver/run_program.h"
#include "driver/subcommand_lines.h"
#include "driver/subcommand_support.h"
#include "numerics/run_seed.h"

namespace vorn {
namespace {

using Json = nlohmann::json;

bool NotAModel(const std::string& fileName, const char* reason) {
  std::fprintf(stderr, "Error:VORN:Main: '%s' is not the results.json of a fit: %s\n", fileName.c_str(), reason);
  return false;
}

// A shape of 0 is the report's "inf": no rate variation.
std::string ScalarMode(const FamilyLine& family, double value) {
  if (family.kind == FamilyKind::kShape && value == 0) return "fix inf";
  return ValueList({value});
}

bool ReadTree(const std::string& fileName, PhylogeneticTree* tree) {
  FilePtr file = OpenFile(fileName, "r");
  if (!file) {
    std::fprintf(stderr, "Error:VORN:Main: The tree file '%s' cannot be opened\n", fileName.c_str());
    return false;
  }
  tree->treeName = fileName;
  return std::string(TreeForm(fileName)) == "phyl" ? tree->ReadPhyl(file.get()) : tree->ReadNewick(file.get());
}

}  // namespace

bool ModelFromResults(const std::string& fileName, const PhylogeneticTree& tree, SimulatedModel* model) {
  std::ifstream stream(fileName);
  if (!stream) {
    std::fprintf(stderr, "Error:VORN:Main: The model file '%s' cannot be opened\n", fileName.c_str());
    return false;
  }
  const Json results = Json::parse(stream, nullptr, false);
  if (results.is_discarded() || !results.is_object()) return NotAModel(fileName, "it is not JSON");
  if (!results.contains("parameters") || !results["parameters"].is_array() || !results.contains("tree") ||
      !results["tree"].contains("nodes") || !results["tree"]["nodes"].is_number_unsigned()) {
    return NotAModel(fileName, "it has no tree and parameters");
  }
  const std::uint32_t nodes = results["tree"]["nodes"].get<std::uint32_t>();
  if (nodes != tree.nodeCount) {
    std::fprintf(stderr, "Error:VORN:Main: The tree '%s' has %u nodes and the model of '%s' was fitted on a tree of "
                 "%u: give that tree with --tree\n", tree.treeName.c_str(), static_cast<unsigned>(tree.nodeCount),
                 fileName.c_str(), static_cast<unsigned>(nodes));
    return false;
  }
  std::vector<double> perGene[2], perNode[2] = {std::vector<double>(nodes, 0), std::vector<double>(nodes, 0)};
  double scalar[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  for (const Json& record : results["parameters"]) {
    if (!record.is_object() || !record.contains("parameter") || !record["parameter"].is_string() ||
        !record.contains("value") || !record["value"].is_number()) {
      return NotAModel(fileName, "a parameter record lacks its name or value");
    }
    const FamilyLine* family = FindFamily(record["parameter"].get<std::string>());
    if (!family) return NotAModel(fileName, "a parameter record names no parameter of the model");
    const int f = static_cast<int>(family - kFamilyLines);
    const double value = record["value"].get<double>();
    if (family->kind == FamilyKind::kProbability || family->kind == FamilyKind::kShape) {
      scalar[f] = value;
      continue;
    }
    if (!record.contains("index") || !record["index"].is_number_unsigned()) {
      return NotAModel(fileName, "a record of theta, phi, eta or xi has no index");
    }
    const std::uint32_t index = record["index"].get<std::uint32_t>();
    if (family->kind == FamilyKind::kGeneRate) {
      std::vector<double>& list = perGene[f == 1 ? 0 : 1];
      if (index >= list.size()) list.resize(index + 1, 0);
      list[index] = value;
      continue;
    }
    if (index == 0 || index >= nodes) return NotAModel(fileName, "a branch index lies outside its tree");
    const std::string name = record.contains("name") && record["name"].is_string() ? record["name"].get<std::string>()
                                                                                     : "";
    if (name != tree.nodeNames[index]) {
      std::fprintf(stderr, "Error:VORN:Main: The tree '%s' is not the one the model of '%s' was fitted on: node #%u "
                   "is '%s' there and '%s' here\n", tree.treeName.c_str(), fileName.c_str(),
                   static_cast<unsigned>(index), name.c_str(), tree.nodeNames[index].c_str());
      return false;
    }
    perNode[f == 2 ? 0 : 1][index] = value;
  }
  if (perGene[0].empty() || perGene[0].size() != perGene[1].size()) {
    return NotAModel(fileName, "theta and eta are not given for the same genes");
  }
  model->genes = static_cast<std::uint32_t>(perGene[0].size());
  for (int f : {0, 5, 6, 7}) model->modes[f] = ScalarMode(kFamilyLines[f], scalar[f]);
  model->modes[1] = ValueList(perGene[0]);
  model->modes[3] = ValueList(perGene[1]);
  model->modes[2] = ValueList(perNode[0]);
  model->modes[4] = ValueList(perNode[1]);
  const Json& settings = results.contains("settings") ? results["settings"] : Json::object();
  if (settings.contains("loss_categories") && settings["loss_categories"].is_number_unsigned()) {
    model->lossCategories = settings["loss_categories"].get<std::uint32_t>();
  }
  if (settings.contains("gain_categories") && settings["gain_categories"].is_number_unsigned()) {
    model->gainCategories = settings["gain_categories"].get<std::uint32_t>();
  }
  model->conditionOnPresence = settings.value("condition_on_presence", false);
  if (settings.contains("tree_unit") && settings["tree_unit"].is_string()) {
    model->treeUnit = settings["tree_unit"].get<std::string>();
  }
  return true;
}

bool ModelFromValues(const std::vector<std::string>& assignments, std::uint32_t genes, SimulatedModel* model) {
  const char* defaults[8] = {"fix 0.6", "con 1", "con 0.05", "con 4", "con 0.5", "fix 0.3", "fix inf", "fix 2"};
  for (int f = 0; f < 8; ++f) model->modes[f] = defaults[f];
  model->genes = genes;
  for (const std::string& assignment : assignments) {
    const std::size_t equals = assignment.find('=');
    const FamilyLine* family = equals == std::string::npos ? nullptr : FindFamily(assignment.substr(0, equals));
    if (!family) {
      std::fprintf(stderr, "Error:VORN:Main: --set takes NAME=VALUE, NAME one of p0 theta phi eta xi nu l-lambda "
                   "g-lambda, not '%s'\n", assignment.c_str());
      return false;
    }
    std::vector<double> values;
    const std::string text = assignment.substr(equals + 1);
    bool ok = !text.empty();
    for (std::size_t from = 0; ok && from <= text.size();) {
      const std::size_t comma = std::min(text.find(',', from), text.size());
      const std::string word = text.substr(from, comma - from);
      double value = 0;
      if (family->kind == FamilyKind::kShape && word == "inf") {
        value = 0;
      } else {
        const bool probability = family->kind == FamilyKind::kProbability ||
                                 family->kind == FamilyKind::kBranchProbability;
        ok = ParseDouble(word, &value) && value >= 0 && (!probability || value <= 1) &&
             (family->kind != FamilyKind::kShape || value > 0);
      }
      values.push_back(value);
      from = comma + 1;
    }
    const bool perGene = family->kind == FamilyKind::kGeneRate;
    if (ok && values.size() > 1 && (!perGene || values.size() != genes)) {
      std::fprintf(stderr, "Error:VORN:Main: --set %s: %s\n", assignment.c_str(),
                   perGene ? "a list needs one value per gene (--genes)" : "takes one value");
      return false;
    }
    if (!ok) {
      std::fprintf(stderr, "Error:VORN:Main: --set %s: the value is out of the range of %s\n", assignment.c_str(),
                   family->name);
      return false;
    }
    const int f = static_cast<int>(family - kFamilyLines);
    if (values.size() > 1) {
      model->modes[f] = ValueList(values);
    } else if (family->kind == FamilyKind::kGeneRate || family->kind == FamilyKind::kBranchProbability) {
      model->modes[f] = "con " + text;
    } else {
      model->modes[f] = ScalarMode(*family, values[0]);
      if (values[0] != 0 || family->kind != FamilyKind::kShape) model->modes[f] = "fix " + text;
    }
  }
  return true;
}

namespace {

ControlPlan SimulationPlan(const SimulateLine& line, const SimulatedModel& model) {
  ControlPlan plan;
  plan.treeFile = line.tree;
  plan.source = "sim";
  plan.genes = model.genes;
  plan.sitesPerGene = line.sites;
  plan.filter = "none";
  for (int f = 0; f < 8; ++f) plan.modes[f] = model.modes[f];
  plan.lossCategories = model.lossCategories;
  plan.gainCategories = model.gainCategories;
  plan.maxIterations = 0;
  plan.reconstruction = "off";
  if (model.conditionOnPresence) plan.settings.emplace_back("condition on presence", "on");
  // A fitted model is its rate categories, not the gamma they were cut from: a bootstrap draws
  // from exactly the model that was fitted.
  if (!line.model.empty()) plan.settings.emplace_back("simulated rates", "categories");
  const std::string unit = line.treeUnit.empty() ? model.treeUnit : line.treeUnit;
  if (!unit.empty()) plan.settings.emplace_back("tree unit", unit);
  return plan;
}

// PREFIX alone for one data set; PREFIX_1 ... PREFIX_R, numbered to one width, for several.
std::string ReplicatePrefix(const std::string& prefix, std::uint32_t k, std::uint32_t replicates) {
  if (replicates == 1) return prefix;
  const int width = static_cast<int>(std::to_string(replicates).size());
  char number[16];
  std::snprintf(number, sizeof number, "%0*u", width, static_cast<unsigned>(k));
  return prefix + "_" + number;
}

}  // namespace

int RunSimulate(int argc, const char* const* argv) {
  SimulateLine line;
  const LineOutcome outcome = ParseSimulateLine(argc, argv, &line);
  if (outcome != LineOutcome::kRun) return outcome == LineOutcome::kHelped ? 0 : 1;
  if (!FileFound("tree", line.tree) || (!line.model.empty() && !FileFound("model", line.model))) return 1;
  SimulatedModel model;
  if (line.model.empty()) {
    if (!ModelFromValues(line.set, line.genes.value_or(1), &model)) return 1;
  } else {
    PhylogeneticTree tree;
    if (!Silently([&] { return ReadTree(line.tree, &tree); }) || !ModelFromResults(line.model, tree, &model)) {
      return 1;
    }
    if (line.genes && *line.genes != model.genes) {
      std::fprintf(stderr, "Error:VORN:Main: The model of '%s' has %u genes, not %u: leave --genes out\n",
                   line.model.c_str(), static_cast<unsigned>(model.genes), static_cast<unsigned>(*line.genes));
      return 1;
    }
  }
  const std::uint32_t seed = line.seed ? *line.seed : ClockSeed();
  SetRunSeed(seed);
  const std::vector<std::string> words = Words(argc, argv);
  const ControlPlan plan = SimulationPlan(line, model);
  for (std::uint32_t k = 1; k <= line.replicates; ++k) {
    // One data set keeps the run's seed; replicates draw theirs from it, each from its own index.
    const std::uint32_t replicateSeed =
        line.replicates == 1 ? seed : DerivedGenerator(RandomPurpose::kReplicates, k - 1).NextWord();
    const std::string prefix = ReplicatePrefix(line.prefix, k, line.replicates);
    ControlRun run;
    run.controlFileName = prefix + ".simulate.txt";
    run.seed = replicateSeed;
    run.markDone = false;
    const int status = WriteAndRun("simulate", plan, words, run);
    if (status != 0) return status;
    std::fprintf(stderr, "simulated %s.wp.txt and %s.ngp.txt (seed %u)\n", prefix.c_str(), prefix.c_str(),
                 static_cast<unsigned>(replicateSeed));
  }
  return 0;
}

}  // namespace vorn
