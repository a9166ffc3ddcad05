// The files for scripts and viewers: results.json, branches.tsv and tree.nwk (tree.svg is tree_picture.cpp).
#include "output/results.h"

#include <cmath>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "data/alignment_data.h"
#include "data/diagnostics.h"
#include "data/output_file.h"
#include "data/phylogenetic_tree.h"
#include "driver/version_info.h"
#include "estimation/fit.h"
#include "estimation/uncertainty.h"
#include "output/ancestral_report.h"
#include "output/run_report.h"
#include "simulation/simulation.h"

namespace vorn {
namespace {

using Json = nlohmann::ordered_json;

// Bumped whenever a key changes meaning or disappears; new keys do not bump it.
constexpr int kFormatVersion = 1;

const char* const kSuffixes[] = {".results.json", ".branches.tsv", ".tree.nwk", ".tree.svg"};

bool OpenResult(OutputFile& file) {
  if (file.Open()) return true;
  std::fprintf(stderr, "Error:VORN:WriteOutput: The file %s cannot be opened\n", file.name().c_str());
  return false;
}

Json Categories(const RateCategories& categories) {
  return Json{{"rates", categories.rates}, {"weights", categories.weights}};
}

// The number of leaves below every node.
std::vector<std::uint32_t> LeavesBelow(const PhylogeneticTree& tree) {
  std::vector<std::uint32_t> leaves(tree.nodeCount, 0);
  for (std::uint32_t v : tree.bottomUpOrder) {
    leaves[v] = tree.IsLeaf(v) ? 1 : leaves[tree.firstChild[v]] + leaves[tree.secondChild[v]];
  }
  return leaves;
}

// With standard errors, each record also has se (on the fit's scale), ci_low and ci_high (on the
// parameter's), determined and reason; null where they do not apply.
Json Parameters(const PhylogeneticTree& tree, const AlignmentData& data, const FitResult& fit,
                const Uncertainty* uncertainty) {
  std::map<std::pair<int, std::uint32_t>, const FreeParameter*> estimated;
  for (const FreeParameter& f : fit.estimates) estimated[{f.family, f.index}] = &f;
  std::map<std::pair<int, std::uint32_t>, const ParameterUncertainty*> judged;
  if (uncertainty) {
    for (const ParameterUncertainty& u : uncertainty->parameters) judged[{u.family, u.index}] = &u;
  }
  Json list = Json::array();
  // index and name: the gene's or node's number and name as the report prints them; null for the
  // parameters of the whole model.
  auto add = [&](ParameterFamily family, std::uint32_t index, const std::string* name, double value) {
    Json entry;
    entry["parameter"] = FamilyName(family);
    entry["index"] = name ? Json(index) : Json(nullptr);
    entry["name"] = name ? Json(*name) : Json(nullptr);
    entry["value"] = value;
    const auto found = estimated.find({family, index});
    const FreeParameter* f = found == estimated.end() ? nullptr : found->second;
    entry["estimated"] = f != nullptr;
    entry["lower"] = f ? Json(f->lower) : Json(nullptr);
    entry["upper"] = f ? Json(f->upper) : Json(nullptr);
    entry["at_bound"] = f ? Json(AtBound(value, f->lower, f->upper, f->rate)) : Json(nullptr);
    entry["gradient"] = f ? Json(f->gradient) : Json(nullptr);
    if (uncertainty) {
      const auto u = judged.find({family, index});
      const ParameterUncertainty* p = u == judged.end() ? nullptr : u->second;
      const bool determined = p && p->determined;
      entry["se"] = determined ? Json(p->se) : Json(nullptr);
      entry["ci_low"] = determined ? Json(p->ciLow) : Json(nullptr);
      entry["ci_high"] = determined ? Json(p->ciHigh) : Json(nullptr);
      entry["determined"] = p ? Json(p->determined) : Json(nullptr);
      entry["reason"] = p && !p->determined ? Json(p->reason) : Json(nullptr);
    }
    list.push_back(std::move(entry));
  };
  const EvolModel& m = fit.model;
  for (int f = 0; f < kFamilyCount; ++f) {
    const ParameterFamily family = static_cast<ParameterFamily>(f);
    switch (Family(family).extent) {
      case Extent::kModel: add(family, 0, nullptr, Value(m, family, 0)); break;
      case Extent::kGene:
        for (std::uint32_t g = 0; g < m.geneCount; ++g) add(family, g, &data.genes[g].geneName, Value(m, family, g));
        break;
      case Extent::kNode:
        for (std::uint32_t v = 1; v < m.nodeCount; ++v) add(family, v, &tree.nodeNames[v], Value(m, family, v));
    }
  }
  return list;
}

Json Outcome(const AlignmentData& data, const FitResult& fit, const RunFacts& facts) {
  Json outcome;
  outcome["converged"] = fit.converged;
  if (fit.converged) {
    outcome["criterion_not_met"] = nullptr;
  } else {
    static const char* const kTests[] = {"likelihood tolerance", "parameter tolerance", "optimality check"};
    const UnmetCriterion& c = fit.unmet;
    outcome["criterion_not_met"] = {
        {"test", kTests[c.kind]},
        {"parameter", c.family != kNoFamily ? Json(FamilyName(c.family)) : Json(nullptr)},
        {"value", c.value},
        {"threshold", c.threshold},
    };
  }
  outcome["iterations"] = fit.iterations;
  // Of the starts climbed to their end, those within 0.5 log units of the best: a screened
  // search's measure of how sure it is of the maximum.
  outcome["starts_at_best"] = fit.startsAtBest > 0 ? Json(fit.startsAtBest) : Json(nullptr);
  outcome["e_steps"] = fit.eSteps;
  outcome["elapsed_seconds"] = facts.elapsedSeconds;
  outcome["log_likelihood"] = fit.logLikelihood;
  // The filtered sites are the sample: the sites the likelihood is a product over.
  const double k = static_cast<double>(fit.estimates.size()), n = data.filteredSites;
  outcome["free_parameters"] = fit.estimates.size();
  outcome["sample_size"] = data.filteredSites;
  outcome["aic"] = 2 * k - 2 * fit.logLikelihood;
  outcome["bic"] = k * std::log(n) - 2 * fit.logLikelihood;
  const OptimalityCheck& check = fit.optimality;
  if (check.family == kNoFamily) {
    outcome["optimality_check"] = nullptr;
  } else {
    const bool indexed = Family(check.family).extent != Extent::kModel;
    outcome["optimality_check"] = {
        {"passed", check.passed},
        {"largest", check.largest},
        {"threshold", check.threshold},
        {"parameter", FamilyName(check.family)},
        {"index", indexed ? Json(check.index) : Json(nullptr)},
    };
  }
  return outcome;
}

// A Newick label: names with a character that Newick reserves are quoted, quotes doubled.
std::string NewickName(const std::string& name) {
  if (name.find_first_of(" \t()[]',;:") == std::string::npos && !name.empty()) return name;
  std::string quoted = "'";
  for (char c : name) {
    quoted += c;
    if (c == '\'') quoted += c;
  }
  return quoted + "'";
}

// A support value in a comment: as written when it is one number, quoted when it holds more
// (95.3/100).
std::string SupportValue(const std::string& text) {
  if (text.find_first_not_of("0123456789.eE+-") == std::string::npos) return text;
  return "\"" + text + "\"";
}

}  // namespace

bool AtBound(double value, double lower, double upper, bool rate) {
  constexpr double kNear = 1e-6;
  if (rate) return value <= lower * (1 + kNear) || value >= upper * (1 - kNear);
  return value - lower <= kNear || upper - value <= kNear;
}

void WriteResultsJson(std::FILE* file, const FitReport& report, const RunFacts& facts) {
  const PhylogeneticTree& tree = report.tree;
  const AlignmentData& data = report.data;
  const FitSettings& settings = report.settings;
  const FitResult& fit = report.fit;
  static const char* const kAncestralModes[] = {"off", "on", "detailed"};
  Json results;
  results["format_version"] = kFormatVersion;
  results["tool"] = {{"name", "vorn"}, {"version", std::string(kVersion)}, {"commit", std::string(kBuildCommit)}};
  results["seed"] = facts.seed;
  results["control_file"] = facts.controlFileName;
  if (!facts.commandLine.empty()) results["command_line"] = facts.commandLine;
  results["tree"] = {{"file", tree.treeName}, {"leaves", tree.leafCount}, {"nodes", tree.nodeCount},
                     {"root_age", tree.Age(0)}};
  // The unit the file's lengths were read in; every length here is in 1000 million years.
  double shallowest = 0, deepest = 0;
  tree.LeafDepths(&shallowest, &deepest);
  results["tree"]["unit"] = {
      {"setting", tree.unitSetting.empty() ? Json(nullptr) : Json(tree.unitSetting)},
      {"million_years_per_unit", tree.fileUnit > 0 ? Json(tree.fileUnit) : Json(nullptr)},
  };
  results["tree"]["leaf_depths"] = {{"shallowest", shallowest}, {"deepest", deepest}};
  results["tree"]["ultrametric"] = report.Ultrametric();
  results["tree"]["support_values"] = tree.HasSupport();
  std::vector<std::string> geneNames;
  for (const Gene& gene : data.genes) geneNames.push_back(gene.geneName);
  results["data"] = {
      {"pattern_file", data.patternFileName},
      {"counts_file", data.countsFileName},
      {"leaves", data.leafCount},
      {"genes", data.geneCount},
      {"gene_names", geneNames},
      {"sites", data.allSites},
      {"sites_filtered", data.filteredSites},
      {"distinct_patterns", data.patternCount},
      {"unknown_filter", data.ukfFilter ? Json(data.ukfThreshold) : Json(nullptr)},
  };
  Json estimated;
  for (int family = 0; family < kFamilyCount; ++family) {
    estimated[FamilyName(static_cast<ParameterFamily>(family))] = Estimated(fit.flags, static_cast<ParameterFamily>(family));
  }
  results["settings"] = {
      {"loss_categories", fit.lossCategories.count},
      {"gain_categories", fit.gainCategories.count},
      {"likelihood_tolerance", settings.likelihoodTolerance},
      {"parameter_tolerance", settings.parameterTolerance},
      {"internal_tolerance", settings.internalTolerance},
      {"maximum_iterations", settings.maxIterations},
      {"minimal_llambda", settings.minLLambda},
      {"minimal_glambda", settings.minGLambda},
      {"optimizer", settings.optimizer == Optimizer::kFast ? "fast" : "em"},
      {"starts", settings.starts},
      {"search", settings.search == Search::kScreen ? "screen" : "each"},
      {"ancestral_reconstruction", kAncestralModes[static_cast<int>(report.reconstruction)]},
      {"theta_phi_invariant", fit.limits.thetaPhiInvariant},
      {"eta_xi_invariant", fit.limits.etaXiInvariant},
      {"estimated", estimated},
  };
  // The settings after line 52 that the keys above do not hold, each with its value in force.
  const ReaderSettings& reader = report.Reading();
  auto textOrNull = [](const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); };
  Json& recorded = results["settings"];
  recorded["condition_on_presence"] = settings.conditionOnPresence;
  recorded["tree_unit"] = textOrNull(reader.treeUnit);
  recorded["tree_name"] = textOrNull(reader.treeName);
  recorded["ultrametric_tolerance"] = reader.ultrametricTolerance;
  recorded["internal_labels"] = InternalLabelsName(reader.internalLabels);
  recorded["gene_column"] = textOrNull(reader.geneColumn);
  recorded["leaves_without_data"] = LeavesWithoutDataName(reader.leavesWithoutData);
  if (report.simulation && report.simulation->lossCategories > 0) recorded["simulated_rates"] = "categories";
  // Only when asked for, so that the results of a run without them stay as they were.
  if (settings.familyPosteriors) {
    recorded["family_posteriors"] = true;
    recorded["event_threshold"] = settings.eventThreshold;
  }
  results["outcome"] = Outcome(data, fit, facts);
  results["parameters"] = Parameters(tree, data, fit, report.uncertainty);
  if (report.uncertainty) {
    const Uncertainty& u = *report.uncertainty;
    results["standard_errors"] = {
        {"approximation", u.approximation == "full"
                              ? "full observed information"
                              : "blocks: the global parameters jointly, each branch's phi and xi given the rest"},
        {"scale", "log for rates and shapes, logit for probabilities"},
        {"interval",
         "95 % Wald, mapped back to the parameter's scale; for a probability with se above 0.7, where twice its "
         "profile log-likelihood has fallen by 3.84"},
        {"flat_share", u.flatShare},
        {"largest_eigenvalue", u.largestEigenvalue},
        {"undetermined", u.Undetermined()},
    };
  }
  results["rate_categories"] = {{"loss", Categories(fit.lossCategories)}, {"gain", Categories(fit.gainCategories)}};
  // So that a script can refuse a run that gave any, by code.
  Json warnings = Json::array();
  for (const RecordedWarning& w : facts.warnings) {
    warnings.push_back({{"code", w.code}, {"text", "Warning:VORN:" + w.module + ": " + w.text}});
  }
  results["warnings"] = std::move(warnings);
  // Names come from the user's files in whatever encoding: bytes that are not UTF-8 become U+FFFD
  // rather than an exception.
  const std::string text = results.dump(2, ' ', false, Json::error_handler_t::replace);
  std::fprintf(file, "%s\n", text.c_str());
}

void WriteBranchTable(std::FILE* file, const FitReport& report) {
  const PhylogeneticTree& tree = report.tree;
  const EvolModel& model = report.fit.model;
  const bool reconstructed = report.Reconstructed();
  std::fprintf(file, "node\tname\tparent\tparent_name\tbranch_length\tleaves_below\tphi\txi");
  if (reconstructed) {
    std::fprintf(file, "\tpresent_parent\tpresent\tlosses\tgains\tretentions"
                       "\tdollo_present_parent\tdollo_present\tdollo_losses\tdollo_gains\tdollo_retentions");
  }
  // Only a tree that had support values gets their column, last, so other tables keep their form.
  const bool support = tree.HasSupport();
  std::fprintf(file, support ? "\tsupport\n" : "\n");
  const std::vector<std::uint32_t> leaves = LeavesBelow(tree);
  std::optional<Reconstruction> sums;
  if (reconstructed) sums.emplace(tree, report.data, report.ancestral);
  for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
    const std::uint32_t p = tree.parent[v];
    std::fprintf(file, "%u\t%s\t%u\t%s\t%.17g\t%u\t%.17g\t%.17g", static_cast<unsigned>(v), tree.nodeNames[v].c_str(),
                 static_cast<unsigned>(p), tree.nodeNames[p].c_str(), tree.branchLength[v],
                 static_cast<unsigned>(leaves[v]), model.phi[v], model.xi[v]);
    if (reconstructed) {
      const Reconstruction& r = *sums;
      std::fprintf(file, "\t%.17g\t%.17g\t%.17g\t%.17g\t%.17g\t%lld\t%lld\t%lld\t%lld\t%lld", r.present[p], r.present[v],
                   r.losses[v], r.gains[v], r.retentions[v], r.dolloPresent[p], r.dolloPresent[v], r.dolloLosses[v],
                   r.dolloGains[v], r.dolloRetentions[v]);
    }
    if (support) std::fprintf(file, "\t%s", tree.support[v].empty() ? "NA" : tree.support[v].c_str());
    std::fprintf(file, "\n");
  }
}

void WriteAnnotatedNewick(std::FILE* file, const FitReport& report) {
  const PhylogeneticTree& tree = report.tree;
  const EvolModel& model = report.fit.model;
  std::optional<Reconstruction> sums;
  if (report.Reconstructed()) sums.emplace(tree, report.data, report.ancestral);
  auto label = [&](std::uint32_t v) {
    std::fprintf(file, "%s", NewickName(tree.nodeNames[v]).c_str());
    if (v == 0) {
      if (sums) std::fprintf(file, "[&present=%.17g]", sums->present[0]);
      return;
    }
    std::fprintf(file, ":%.17g[&", tree.branchLength[v]);
    if (tree.HasSupport() && !tree.support[v].empty()) {
      std::fprintf(file, "support=%s,", SupportValue(tree.support[v]).c_str());
    }
    if (sums) {
      std::fprintf(file, "gains=%.17g,losses=%.17g,retentions=%.17g,present=%.17g,", sums->gains[v], sums->losses[v],
                   sums->retentions[v], sums->present[v]);
    }
    std::fprintf(file, "phi=%.17g,xi=%.17g]", model.phi[v], model.xi[v]);
  };
  // Depth first without recursion (a caterpillar of thousands of leaves is as deep): a node is
  // entered, then left after its second child.
  struct Visit {
    std::uint32_t node;
    int stage;  // 0 not entered, 1 between the children, 2 after both
  };
  std::vector<Visit> stack{{0, 0}};
  while (!stack.empty()) {
    Visit& top = stack.back();
    const std::uint32_t v = top.node;
    if (tree.IsLeaf(v)) {
      label(v);
      stack.pop_back();
      continue;
    }
    if (top.stage == 0) {
      std::fprintf(file, "(");
      top.stage = 1;
      stack.push_back({tree.firstChild[v], 0});
    } else if (top.stage == 1) {
      std::fprintf(file, ",");
      top.stage = 2;
      stack.push_back({tree.secondChild[v], 0});
    } else {
      std::fprintf(file, ")");
      label(v);
      stack.pop_back();
    }
  }
  std::fprintf(file, ";\n");
}

bool CanWriteResults(const std::string& projectName) {
  for (const char* suffix : kSuffixes) {
    OutputFile file(projectName + suffix, "WriteOutput");
    if (!OpenResult(file)) return false;
  }
  return true;
}

bool WriteResults(const FitReport& report, const RunFacts& facts, const std::string& projectName) {
  OutputFile json(projectName + kSuffixes[0], "WriteOutput"), branches(projectName + kSuffixes[1], "WriteOutput"),
      newick(projectName + kSuffixes[2], "WriteOutput"), picture(projectName + kSuffixes[3], "WriteOutput");
  if (!OpenResult(json) || !OpenResult(branches) || !OpenResult(newick) || !OpenResult(picture)) return false;
  WriteResultsJson(json.get(), report, facts);
  WriteBranchTable(branches.get(), report);
  WriteAnnotatedNewick(newick.get(), report);
  const std::size_t slash = projectName.find_last_of('/');
  char likelihood[64];
  std::snprintf(likelihood, sizeof likelihood, ": log-likelihood %.4f", report.fit.logLikelihood);
  WriteTreePicture(picture.get(), report,
                   (slash == std::string::npos ? projectName : projectName.substr(slash + 1)) + likelihood);
  return json.Commit() && branches.Commit() && newick.Commit() && picture.Commit();
}

}  // namespace vorn
