#include "output/report.h"

#include <algorithm>
#include <vector>

#include "data/alignment_data.h"
#include "data/output_file.h"
#include "data/phylogenetic_tree.h"
#include "estimation/fit.h"
#include "output/results.h"
#include "output/run_report.h"

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

void WriteParameters(std::FILE* file, const FitReport& report) {
  const AlignmentData& data = report.data;
  const PhylogeneticTree& tree = report.tree;
  const FitSettings& settings = report.settings;
  const FitResult& fit = report.fit;
  const EvolModel& model = fit.model;
  const EstimationFlags& flags = fit.flags;
  const auto range = [&](ParameterFamily family) {
    return FamilyRange(family, settings, fit.limits, fit.lossCategories, fit.gainCategories);
  };
  auto geneLine = [&](std::uint32_t g, double value) {
    std::fprintf(file, "\tgene #%u (%s): %lg\n", static_cast<unsigned>(g), data.genes[g].geneName.c_str(), value);
  };
  auto nodeLine = [&](std::uint32_t v, double value) {
    std::fprintf(file, "\tnode #%u (%s): %lg\n", static_cast<unsigned>(v), tree.nodeNames[v].c_str(), value);
  };
  auto any = [](const std::vector<std::uint8_t>& f, bool wanted) {
    return std::any_of(f.begin(), f.end(), [wanted](std::uint8_t x) { return static_cast<bool>(x) == wanted; });
  };
  const std::uint32_t genes = model.geneCount, nodes = model.nodeCount;

  std::fprintf(file, "-------------------\n%% Fixed parameters:\n-------------------\n");
  if (!flags.p0) std::fprintf(file, "p0:\n\t%lg\n", model.p0);
  if (any(flags.theta, false)) {
    std::fprintf(file, "theta:\n");
    for (std::uint32_t g = 0; g < genes; ++g) {
      if (!flags.theta[g]) geneLine(g, model.theta[g]);
    }
  }
  std::fprintf(file, "phi:\n");
  for (std::uint32_t v = 0; v < nodes; ++v) {
    if (!flags.phi[v]) nodeLine(v, model.phi[v]);
  }
  if (any(flags.eta, false)) {
    std::fprintf(file, "eta:\n");
    for (std::uint32_t g = 0; g < genes; ++g) {
      if (!flags.eta[g]) geneLine(g, model.eta[g]);
    }
  }
  std::fprintf(file, "xi:\n");
  for (std::uint32_t v = 0; v < nodes; ++v) {
    if (!flags.xi[v]) nodeLine(v, model.xi[v]);
  }
  if (!flags.nu) std::fprintf(file, "nu:\n\t%lg\n", model.nu);
  if (!flags.llambda) {
    if (model.llambda == 0) {
      std::fprintf(file, "l-lambda:\n\tinf\n");
    } else {
      std::fprintf(file, "l-lambda:\n\t%lg\n", model.llambda);
    }
  }
  if (!flags.glambda) {
    if (model.glambda == 0) {
      std::fprintf(file, "g-lambda:\n\tinf\n");
    } else {
      std::fprintf(file, "g-lambda:\n\t%lg\n", model.glambda);
    }
  }

  std::fprintf(file, "\n-----------------------\n%% Estimated parameters:\n-----------------------\n");
  if (flags.p0) std::fprintf(file, "p0 [0 1]:\n\t%lg\n", model.p0);
  if (any(flags.theta, true)) {
    std::fprintf(file, "theta [%lg %lg]:\n", range(kTheta).lower, range(kTheta).upper);
    for (std::uint32_t g = 0; g < genes; ++g) {
      if (flags.theta[g]) geneLine(g, model.theta[g]);
    }
  }
  if (any(flags.phi, true)) {
    std::fprintf(file, "phi [%lg %lg]:\n", range(kPhi).lower, range(kPhi).upper);
    for (std::uint32_t v = 0; v < nodes; ++v) {
      if (flags.phi[v]) nodeLine(v, model.phi[v]);
    }
  }
  if (any(flags.eta, true)) {
    std::fprintf(file, "eta [%lg %lg]:\n", range(kEta).lower, range(kEta).upper);
    for (std::uint32_t g = 0; g < genes; ++g) {
      if (flags.eta[g]) geneLine(g, model.eta[g]);
    }
  }
  if (any(flags.xi, true)) {
    // The range of the model, [0 1]: the floor of the updates is a guard of the arithmetic.
    std::fprintf(file, "xi [0 %lg]:\n", range(kXi).upper);
    for (std::uint32_t v = 0; v < nodes; ++v) {
      if (flags.xi[v]) nodeLine(v, model.xi[v]);
    }
  }
  if (flags.nu) std::fprintf(file, "nu [0 1]:\n\t%lg\n", model.nu);
  if (flags.llambda) {
    std::fprintf(file, "l-lambda [%lg %u]:\n\t%lg\n", range(kLLambda).lower, static_cast<unsigned>(range(kLLambda).upper),
                 model.llambda);
  }
  if (flags.glambda) {
    std::fprintf(file, "g-lambda [%lg %u]:\n\t%lg\n", range(kGLambda).lower, static_cast<unsigned>(range(kGLambda).upper),
                 model.glambda);
  }
  std::fprintf(file, "log likelihood:\n\t%.4f\n", fit.logLikelihood);
  if (settings.conditionOnPresence) std::fprintf(file, "\t(conditioned on presence at some leaf: sites absent everywhere are not observed)\n");

  std::fprintf(file, "\n--------------------------\n%% Loss Rate distribution:\n--------------------------\n");
  for (int i = 0; i < fit.lossCategories.count; ++i) {
    std::fprintf(file, "category #%d: the loss rate is %lg\n", i, fit.lossCategories.rates[i]);
  }
  std::fprintf(file, "\n--------------------------\n%% Gain Rate distribution:\n--------------------------\n");
  for (int i = 0; i < fit.gainCategories.count; ++i) {
    std::fprintf(file, "category #%d: the gain rate is %lg\n", i, fit.gainCategories.rates[i]);
  }
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
