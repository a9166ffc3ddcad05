// The report, PREFIX.output.txt.
#include "output/report.h"

#include <algorithm>
#include <vector>

#include "data/alignment_data.h"
#include "data/output_file.h"
#include "data/phylogenetic_tree.h"
#include "estimation/fit.h"
#include "estimation/screened_search.h"
#include "output/bound_notes.h"
#include "output/results.h"
#include "output/run_report.h"
#include "output/uncertainty_table.h"

namespace vorn {

void WriteJobStatistics(std::FILE* file, int elapsedSeconds, unsigned iterations) {
  std::fprintf(file, "------------------\n%% Job Statistics:\n------------------\n");
  const double t = elapsedSeconds;
  if (elapsedSeconds <= 60) {
    std::fprintf(file, "total running time: %u [sec]\n", static_cast<unsigned>(elapsedSeconds));
  } else if (elapsedSeconds <= 3600) {
    std::fprintf(file, "total running time: %lg [min]\n", t * (1.0 / 60));
  } else if (elapsedSeconds <= 86400) {
    std::fprintf(file, "total running time: %lg [hours]\n", t * (1.0 / 3600));
  } else {
    std::fprintf(file, "total running time: %lg [days]\n", t * (1.0 / 86400));
  }
  std::fprintf(file, "total number of iterations: %u\n\n", iterations);
}

void WriteTreeSummary(std::FILE* file, const PhylogeneticTree& tree, double ultrametricTolerance) {
  std::fprintf(file, "--------------------\n%% Phylogenetic Tree:\n--------------------\n");
  std::fprintf(file, "tree topology: %s\n", tree.treeName.c_str());
  std::fprintf(file, "number of leaves: %u\n", static_cast<unsigned>(tree.leafCount));
  std::fprintf(file, "total time span: %lg MYears\n", 1000 * tree.Age(0));
  // Only a setting or a tree that is not a time tree adds a line, so every other report keeps its form.
  if (!tree.unitSetting.empty()) {
    std::fprintf(file, "tree unit: %s (%lg million years per unit of branch length)\n", tree.unitSetting.c_str(),
                 tree.fileUnit);
  }
  double shallowest = 0, deepest = 0;
  tree.LeafDepths(&shallowest, &deepest);
  if (deepest - shallowest > ultrametricTolerance * deepest) {
    std::fprintf(file, "leaf depths: %lg to %lg MYears below the root: the branch lengths are not times\n",
                 1000 * shallowest, 1000 * deepest);
  }
  std::fprintf(file, "\n");
}

void WriteDataSummary(std::FILE* file, const AlignmentData& data) {
  const std::uint32_t geneCount = data.geneCount, patternCount = data.patternCount, leafCount = data.leafCount;
  const std::vector<Gene>& genes = data.genes;
  std::fprintf(file, "-----------------\n%% Alignment data:\n-----------------\n");
  std::fprintf(file, "number of genes: %u\n", static_cast<unsigned>(geneCount));
  std::fprintf(file, "information on sites:\n");
  std::fprintf(file, "\ttotal number of sites [filtered (all)]: %u (%u)\n", static_cast<unsigned>(data.filteredSites),
               static_cast<unsigned>(data.allSites));
  std::fprintf(file, "\taverage gene length [filtered (all)]: %lg (%lg)\n",
               static_cast<double>(data.filteredSites) / geneCount, static_cast<double>(data.allSites) / geneCount);
  // Chosen by filtered length alone; ties go to the lowest index.
  std::uint32_t shortest = 0, longest = 0;
  for (std::uint32_t g = 1; g < geneCount; ++g) {
    if (genes[g].filteredSites < genes[shortest].filteredSites) shortest = g;
    if (genes[g].filteredSites > genes[longest].filteredSites) longest = g;
  }
  if (geneCount > 0) {
    std::fprintf(file, "\tshortest gene [filtered (all)]: %u (%u)\n", static_cast<unsigned>(genes[shortest].filteredSites),
                 static_cast<unsigned>(genes[shortest].allSites));
    std::fprintf(file, "\tlongest gene [filtered (all)]: %u (%u)\n", static_cast<unsigned>(genes[longest].filteredSites),
                 static_cast<unsigned>(genes[longest].allSites));
  }
  std::fprintf(file, "\tlist of gene lengths [filtered (all)]:\n");
  for (std::uint32_t g = 0; g < geneCount; ++g) {
    if (g % 10 == 0) std::fprintf(file, "\t\t");
    std::fprintf(file, "%u(%u) ", static_cast<unsigned>(genes[g].filteredSites), static_cast<unsigned>(genes[g].allSites));
    if (g % 10 == 9 || g + 1 == geneCount) std::fprintf(file, "\n");
  }

  std::fprintf(file, "information on patterns:\n");
  std::fprintf(file, "\tWP file name: %s\n", data.patternFileName.c_str());
  std::fprintf(file, "\tNGP file name: %s\n", data.countsFileName.c_str());
  std::fprintf(file, "\ttotal number of unique (filtered) patterns: %u\n", static_cast<unsigned>(patternCount));
  std::fprintf(file, "\tlist of filtered patterns & their total count:\n");
  std::vector<std::uint64_t> totals(patternCount, 0);
  for (const Gene& gene : genes) {
    for (std::uint32_t e = 0; e < gene.entryCount; ++e) totals[gene.patternIndices[e]] += gene.counts[e];
  }
  for (std::uint32_t p = 0; p < patternCount; ++p) {
    const std::vector<std::uint8_t>& values = data.patterns[p].values;
    for (std::uint32_t j = 0; j < leafCount; ++j) {
      std::fprintf(file, j == 0 ? "\t\t%u " : "%u ", static_cast<unsigned>(values[j]));
    }
    std::fprintf(file, ": %llu\n", static_cast<unsigned long long>(totals[p]));
  }
  std::fprintf(file, "\tgene pattern profiles:\n");
  std::vector<std::uint32_t> profile(patternCount);
  for (std::uint32_t g = 0; g < geneCount; ++g) {
    const Gene& gene = genes[g];
    std::fprintf(file, "\t\tgene #%u (%s):\n", static_cast<unsigned>(g), gene.geneName.c_str());
    std::fill(profile.begin(), profile.end(), 0U);
    for (std::uint32_t e = 0; e < gene.entryCount; ++e) profile[gene.patternIndices[e]] = gene.counts[e];
    for (std::uint32_t p = 0; p < patternCount; ++p) {
      if (p % 20 == 0) std::fprintf(file, "\t\t\t");
      std::fprintf(file, "%u ", static_cast<unsigned>(profile[p]));
      if (p % 20 == 19 || p + 1 == patternCount) std::fprintf(file, "\n");
    }
  }
  std::fprintf(file, "\n");
}

namespace {

// The entries of a per-gene or per-node family whose estimation flag is `estimated`.
void WriteEntries(std::FILE* file, const FitReport& report, ParameterFamily family, bool estimated) {
  const bool genes = Family(family).extent == Extent::kGene;
  const std::uint32_t count = genes ? report.fit.model.geneCount : report.fit.model.nodeCount;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (Estimated(report.fit.flags, family, i) != estimated) continue;
    const std::string& name = genes ? report.data.genes[i].geneName : report.tree.nodeNames[i];
    std::fprintf(file, "\t%s #%u (%s): %lg\n", genes ? "gene" : "node", static_cast<unsigned>(i), name.c_str(),
                 Value(report.fit.model, family, i));
  }
}

bool AnyEntry(const FitReport& report, ParameterFamily family, bool estimated) {
  const std::uint32_t count =
      Family(family).extent == Extent::kGene ? report.fit.model.geneCount : report.fit.model.nodeCount;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (Estimated(report.fit.flags, family, i) == estimated) return true;
  }
  return false;
}

// Fixed values as given; a shape of 0 is no rate variation, printed as the control file writes it.
// The per-node families always have their heading, even with nothing under it.
void WriteFixed(std::FILE* file, const FitReport& report) {
  const EvolModel& model = report.fit.model;
  for (int f = 0; f < kFamilyCount; ++f) {
    const ParameterFamily family = static_cast<ParameterFamily>(f);
    const char* name = FamilyName(family);
    if (Family(family).extent != Extent::kModel) {
      if (Family(family).extent == Extent::kGene && !AnyEntry(report, family, false)) continue;
      std::fprintf(file, "%s:\n", name);
      WriteEntries(file, report, family, false);
    } else if (!Estimated(report.fit.flags, family, 0)) {
      const double value = Value(model, family, 0);
      const bool shape = family == kLLambda || family == kGLambda;
      if (shape && value == 0) {
        std::fprintf(file, "%s:\n\tinf\n", name);
      } else {
        std::fprintf(file, "%s:\n\t%lg\n", name, value);
      }
    }
  }
}

// Estimated values under their ranges. The probabilities p0 and nu show the model's range [0 1];
// so does xi's lower end, since its floor is a guard of the arithmetic, not of the model.
void WriteEstimated(std::FILE* file, const FitReport& report) {
  const FitResult& fit = report.fit;
  for (int f = 0; f < kFamilyCount; ++f) {
    const ParameterFamily family = static_cast<ParameterFamily>(f);
    const char* name = FamilyName(family);
    const Range range = FamilyRange(family, report.settings, fit.limits, fit.lossCategories, fit.gainCategories);
    if (Family(family).extent != Extent::kModel) {
      if (!AnyEntry(report, family, true)) continue;
      if (family == kXi) {
        std::fprintf(file, "%s [0 %lg]:\n", name, range.upper);
      } else {
        std::fprintf(file, "%s [%lg %lg]:\n", name, range.lower, range.upper);
      }
      WriteEntries(file, report, family, true);
    } else if (Estimated(fit.flags, family, 0)) {
      const double value = Value(fit.model, family, 0);
      if (family == kLLambda || family == kGLambda) {
        std::fprintf(file, "%s [%lg %u]:\n\t%lg\n", name, range.lower, static_cast<unsigned>(range.upper), value);
      } else {
        std::fprintf(file, "%s [0 1]:\n\t%lg\n", name, value);
      }
    }
  }
}

void WriteControlParameters(std::FILE* file, const FitReport& report) {
  const FitSettings& settings = report.settings;
  const FitResult& fit = report.fit;
  std::fprintf(file, "\n----------------------\n%% Control parameters:\n----------------------\n");
  std::fprintf(file, "number of categories (loss distribution): %u\n", static_cast<unsigned>(fit.lossCategories.count));
  std::fprintf(file, "number of categories (gain distribution): %u\n", static_cast<unsigned>(fit.gainCategories.count));
  std::fprintf(file, "minimal l-lambda value: %e\n", settings.minLLambda);
  std::fprintf(file, "minimal g-lambda value: %e\n", settings.minGLambda);
  std::fprintf(file, "likelihood tolerance: %e\n", settings.likelihoodTolerance);
  std::fprintf(file, "parameter tolerance: %e\n", settings.parameterTolerance);
  std::fprintf(file, "internal tolerance: %e\n", settings.internalTolerance);
  std::fprintf(file, "maximum number of iterations: %u\n", static_cast<unsigned>(settings.maxIterations));
  std::fprintf(file, fit.limits.thetaPhiInvariant ? "THETA-PHI invariant ACTIVE\n" : "THETA-PHI invariant NON-ACTIVE\n");
  std::fprintf(file, fit.limits.etaXiInvariant ? "ETA-XI invariant ACTIVE\n" : "ETA-XI invariant NON-ACTIVE\n");
}

}  // namespace

void WriteParameters(std::FILE* file, const FitReport& report) {
  const FitResult& fit = report.fit;
  std::fprintf(file, "-------------------\n%% Fixed parameters:\n-------------------\n");
  WriteFixed(file, report);
  std::fprintf(file, "\n-----------------------\n%% Estimated parameters:\n-----------------------\n");
  WriteEstimated(file, report);
  std::fprintf(file, "log likelihood:\n\t%.4f\n", fit.logLikelihood);
  if (report.settings.conditionOnPresence) {
    std::fprintf(file, "\t(conditioned on presence at some leaf: sites absent everywhere are not observed)\n");
  }
  std::fprintf(file, "\n--------------------------\n%% Loss Rate distribution:\n--------------------------\n");
  for (int i = 0; i < fit.lossCategories.count; ++i) {
    std::fprintf(file, "category #%d: the loss rate is %lg\n", i, fit.lossCategories.rates[i]);
  }
  std::fprintf(file, "\n--------------------------\n%% Gain Rate distribution:\n--------------------------\n");
  for (int i = 0; i < fit.gainCategories.count; ++i) {
    std::fprintf(file, "category #%d: the gain rate is %lg\n", i, fit.gainCategories.rates[i]);
  }
  WriteControlParameters(file, report);
}

namespace {

bool OpenOutput(OutputFile& file) {
  if (file.Open()) return true;
  std::fprintf(stderr, "Error:VORN:WriteOutput: The file %s cannot be opened\n", file.name().c_str());
  return false;
}

}  // namespace

bool CanWriteOutput(bool detailed, const std::string& projectName) {
  OutputFile report(projectName + ".output.txt", "WriteOutput");
  if (!OpenOutput(report)) return false;
  if (detailed) {
    OutputFile details(projectName + ".ar.txt", "WriteOutput");
    if (!OpenOutput(details)) return false;
  }
  return CanWriteResults(projectName);
}

// How sure the search is, for a screened search (whose runs are new: older reports keep their
// form): the starts that reached the best, and what the estimates at a bound mean.
void WriteSearchSummary(std::FILE* file, const FitReport& report) {
  std::uint32_t continued = 0;
  for (const StartOutcome& s : report.fit.starts) continued += s.continued && !s.skipped;
  std::fprintf(file, "\n-----------\n%% Search:\n-----------\n");
  std::fprintf(file, "starts at best: %u of %u climbed to their end (within %g log units of the best)\n",
               static_cast<unsigned>(report.fit.startsAtBest), static_cast<unsigned>(continued), kSameMaximum);
  for (const BoundNote& note : BoundNotes(report)) std::fprintf(file, "%s\n", note.text.c_str());
}

bool WriteOutput(const FitReport& report, int elapsedSeconds, const std::string& projectName) {
  std::printf("writing output file\n");
  OutputFile text(projectName + ".output.txt", "WriteOutput");
  OutputFile details(projectName + ".ar.txt", "WriteOutput");
  const bool detailed = report.reconstruction == ReconstructionMode::kDetailed;
  if (!OpenOutput(text) || (detailed && !OpenOutput(details))) return false;
  WriteJobStatistics(text.get(), elapsedSeconds, report.fit.iterations);
  WriteTreeSummary(text.get(), report.tree, report.Reading().ultrametricTolerance);
  WriteDataSummary(text.get(), report.data);
  WriteParameters(text.get(), report);
  if (report.Reconstructed()) WriteAncestralSummary(text.get(), report);
  if (report.settings.search == Search::kScreen) WriteSearchSummary(text.get(), report);
  if (report.uncertainty) WriteUncertaintyLine(text.get(), report);
  if (detailed) WriteAncestralDetails(details.get(), report);
  // Both renames come last and together, so that a report never stands beside the details of
  // another run for longer than it takes to rename one file.
  return text.Commit() && (!detailed || details.Commit());
}

bool FitReport::Reconstructed() const { return reconstruction != ReconstructionMode::kOff; }

const ReaderSettings& FitReport::Reading() const {
  static const ReaderSettings defaults;
  return reader ? *reader : defaults;
}

bool FitReport::Ultrametric() const {
  double shallowest = 0, deepest = 0;
  tree.LeafDepths(&shallowest, &deepest);
  return !(deepest - shallowest > Reading().ultrametricTolerance * deepest);
}

}  // namespace vorn
