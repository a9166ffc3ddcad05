// Lines 1-13 of the control file: the tree and the alignment data.
#include "input/section_readers.h"

#include <algorithm>
#include <filesystem>
#include <string_view>

#include "data/alignment_data.h"
#include "data/character_table.h"
#include "data/diagnostics.h"
#include "data/phylogenetic_tree.h"
#include "data/text_io.h"
#include "input/input_reader.h"
#include "simulation/simulation.h"
#include "numerics/run_seed.h"

namespace vorn {
namespace control_file {

namespace {

// A tree unit said for a file that carries its own, or for a tree made here, would be ignored
// while the user believes it applied.
bool RefuseTreeUnit(const ReaderSettings& reader, const char* what) {
  if (reader.treeUnit.empty()) return true;
  std::fprintf(stderr, "Error:VORN:ReadInput: the setting 'tree unit: %s' applies to Newick and NEXUS trees, not to "
               "%s\n", reader.treeUnit.c_str(), what);
  return false;
}

}  // namespace

bool ReadTreeSection(TemplateReader& in, PhylogeneticTree& tree, const std::string& projectName,
                     const ReaderSettings& reader, bool* random) {
  if (!in.Next(1)) return false;

  std::string unit;
  if (!in.Next(2) || !in.ReadWord("time units: ", &unit)) return false;
  bool millions = false;
  if (Keyword(unit, "M")) {
    millions = true;
  } else if (!Keyword(unit, "B")) {
    PrintUnrecognized(unit, "phylogenetic tree -> time units\n");
    return false;
  }

  const InputLimits& limits = ActiveInputLimits();
  std::string_view source;
  if (!in.Next(3) || !in.Token(1, &source)) return false;
  const bool randomTree = Keyword(source, "rand");
  *random = randomTree;
  // A word that begins with "rand" asks for a random tree, whatever follows; a file of that name,
  // or a form after it, shows that a tree file was meant.
  std::error_code missing;
  if (randomTree && (in.HasToken(2) || std::filesystem::is_regular_file(std::string(source), missing))) {
    Warn("random-tree-keyword", "ReadInput",
         "'%.*s' on line 3 begins with \"rand\" and so asks for a random tree: a tree file of that name is not "
         "read (rename it to use it)",
         static_cast<int>(source.size()), source.data());
  }
  if (!randomTree) {
    const std::string treeFileName(source);
    bool refused = false;
    FilePtr treeFile = OpenReadInput(in, treeFileName, projectName, &refused);
    if (refused) return false;
    if (!treeFile) {
      std::fprintf(stderr, "Error:VORN:ReadInput: the phylogenetic tree '%s' cannot be found\n", treeFileName.c_str());
      return false;
    }
    tree.treeName = treeFileName;
    std::string_view form;
    if (!in.Token(2, &form)) return false;
    if (Keyword(form, "phyl")) {
      if (!RefuseTreeUnit(reader, "a 'phyl' file, whose ages are in millions of years")) return false;
      if (!reader.treeName.empty()) {
        std::fprintf(stderr, "Error:VORN:ReadInput: the setting 'tree name: %s' picks a tree of a NEXUS file, and "
                     "'%s' is a 'phyl' file\n", reader.treeName.c_str(), treeFileName.c_str());
        return false;
      }
      if (!tree.ReadPhyl(treeFile.get(), reader)) return false;
    } else if (Keyword(form, "newi") || Keyword(form, "nexu")) {
      if (!tree.ReadNewick(treeFile.get(), reader)) return false;
    } else {
      std::fprintf(stderr, "Error:VORN:ReadInput: unrecognized phylogenetic tree format\n");
      return false;
    }
    if (tree.leafCount > limits.maxTreeLeaves) {
      std::fprintf(stderr, "Error:VORN:ReadInput: the phylogenetic tree '%s' has more than %u leaves\n",
                   treeFileName.c_str(), static_cast<unsigned>(limits.maxTreeLeaves));
      return false;
    }
  }

  std::uint32_t leaves = 0;
  if (!in.Next(4) || (randomTree && !in.ReadUnsigned("number of leaves: ", &leaves))) return false;
  double span = 0.0;
  if (!in.Next(5) || (randomTree && !in.ReadDouble("total time span: ", &span))) return false;
  if (!randomTree) return true;

  if (!RefuseTreeUnit(reader, "a random tree, whose span line 5 gives in the unit of line 2")) return false;
  if (!reader.treeName.empty()) {
    std::fprintf(stderr, "Error:VORN:ReadInput: the setting 'tree name: %s' picks a tree of a NEXUS file, and the "
                 "tree is made at random\n", reader.treeName.c_str());
    return false;
  }
  if (leaves < 2 || leaves > limits.maxRandomTreeLeaves) {
    std::fprintf(stderr, "Error:VORN:ReadInput: A random tree needs from 2 to %u leaves in %s\n",
                 static_cast<unsigned>(limits.maxRandomTreeLeaves), LineItem(4));
    return false;
  }
  if (millions) span *= 0.001;
  if (!(span > 0.0)) {
    std::fprintf(stderr, "Error:VORN:ReadInput: A random tree needs a positive time span in %s\n", LineItem(5));
    return false;
  }
  tree.treeName = projectName + ".phyl";
  tree.GenerateRandomTree(leaves, span);
  return true;
}

namespace {

bool ReadSitesLine(TemplateReader& in, MersenneTwister& generator, SimulationSettings& sim) {
  std::string_view mode;
  if (!in.Token(3, &mode)) return false;
  sim.sitesPerGene.assign(sim.geneCount, 0);
  if (Keyword(mode, "rand")) {
    std::string_view token;
    long long mean = 0;
    if (!in.Token(4, &token)) return false;
    if (!ParseInt(token, &mean)) {
      std::fprintf(stderr, "Error:VORN:ReadInput: %.*s is not a whole number in %s\n", static_cast<int>(token.size()),
                   token.data(), in.item());
      return false;
    }
    if (mean < 0) mean = 5000;
    // Counts reach 2M + 2, which must stay a 32-bit count.
    if (mean > 2147483646LL) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Mean number of sites %lld is too large in %s\n", mean, in.item());
      return false;
    }
    const std::uint32_t bound = static_cast<std::uint32_t>(2 * mean + 1);
    for (std::uint32_t g = 0; g < sim.geneCount; ++g) sim.sitesPerGene[g] = 1 + generator.NextUpTo(bound);
    return true;
  }
  const bool fixed = Keyword(mode, "fixed");
  if (!fixed && !Keyword(mode, "const")) {
    PrintUnrecognized(mode, " alignment data -> number of sites\n");
    return false;
  }
  const std::uint32_t wanted = fixed ? sim.geneCount : 1;
  for (std::uint32_t read = 0; read < wanted; ++read) {
    const std::size_t at = 4 + read;
    std::string_view token;
    const bool present = at < in.TokenCount();
    if (present) in.Token(at, &token);
    if (!present || token == "%") {
      std::fprintf(stderr, "Error:VORN:ReadInput: Number of sites per gene (%d)%s", static_cast<int>(read),
                   fixed ? "" : " should be provided\n");
      if (fixed) std::fprintf(stderr, " do not match number of genes (%d)\n", static_cast<int>(sim.geneCount));
      return false;
    }
    unsigned long long sites = 0;
    if (!ParseUnsigned(token, 0xffffffffULL, &sites)) {
      std::fprintf(stderr, "Error:VORN:ReadInput: %.*s is not a number of sites in %s\n",
                   static_cast<int>(token.size()), token.data(), in.item());
      return false;
    }
    if (fixed) {
      sim.sitesPerGene[read] = static_cast<std::uint32_t>(sites);
    } else {
      sim.sitesPerGene.assign(sim.geneCount, static_cast<std::uint32_t>(sites));
    }
  }
  return true;
}

// The site counters of the data are 32-bit, so a simulation past them would wrap the totals.
bool CheckSimulatedSites(const TemplateReader& in, const SimulationSettings& sim) {
  std::uint64_t total = 0;
  for (std::uint32_t sites : sim.sitesPerGene) total += sites;
  const std::uint64_t most = std::min(ActiveInputLimits().maxSimulatedSites, kMaxSimulatedSites);
  if (total <= most) return true;
  std::fprintf(stderr, "Error:VORN:ReadInput: At most %llu sites can be simulated in %s\n",
               static_cast<unsigned long long>(most), in.item());
  return false;
}

// Lines 9 to 12: the genes, sites, unknowns and track of a simulation (only placeholders otherwise).
bool ReadSimulationLines(TemplateReader& in, MersenneTwister& generator, SimulationSettings& sim) {
  if (!in.Next(9)) return false;
  if (sim.simulate) {
    if (!in.ReadUnsigned("number of genes: ", &sim.geneCount)) return false;
    if (sim.geneCount == 0) {
      std::fprintf(stderr, "Error:VORN:ReadInput: At least one gene is needed in %s\n", in.item());
      return false;
    }
    if (sim.geneCount > ActiveInputLimits().maxSimulatedGenes) {
      std::fprintf(stderr, "Error:VORN:ReadInput: At most %u genes can be simulated in %s\n",
                   static_cast<unsigned>(ActiveInputLimits().maxSimulatedGenes), in.item());
      return false;
    }
  }
  if (!in.Next(10)) return false;
  if (sim.simulate && (!ReadSitesLine(in, generator, sim) || !CheckSimulatedSites(in, sim))) return false;

  if (!in.Next(11)) return false;
  if (sim.simulate) {
    if (!in.ReadDouble("fraction of unknowns: ", &sim.unknownFraction)) return false;
    if (sim.unknownFraction < 0) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Negative fraction of unknowns "
                           "in alignment data -> fraction of unknowns\n");
      return false;
    }
    if (sim.unknownFraction > 1) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Fraction of unknowns is greater "
                           "than one in alignment data -> fraction of unknowns\n");
      return false;
    }
  }

  if (!in.Next(12)) return false;
  if (sim.simulate) {
    std::string word;
    if (!in.ReadWord("track numbers of present characters: ", &word)) return false;
    if (Keyword(word, "on")) {
      sim.track = true;
    } else if (Keyword(word, "si")) {
      sim.track = true;
      sim.trackSites = true;
    } else if (Keyword(word, "of")) {
      sim.track = false;
    } else {
      PrintUnrecognized(word, " alignment data -> track numbers of present characters\n");
      return false;
    }
  }

  return true;
}

// Line 13: the filter of sites with unknown values.
bool ReadFilterLine(TemplateReader& in, AlignmentData& data) {
  std::string_view filter;
  if (!in.Next(13) || !in.Token(2, &filter)) return false;
  if (Keyword(filter, "non")) {
    data.ukfFilter = false;
  } else if (Keyword(filter, "ukf")) {
    std::string_view token;
    double threshold = 0.0;
    if (!in.Token(3, &token)) return false;
    if (!ParseDouble(token, &threshold)) {
      std::fprintf(stderr, "Error:VORN:ReadInput: %.*s is not a number in %s\n", static_cast<int>(token.size()),
                   token.data(), in.item());
      return false;
    }
    if (threshold < 0) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Negative parameter of the UKF filter "
                           "in alignment data -> filter unknowns: ukf\n");
      return false;
    }
    if (threshold > 1) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Parameter of the UKF filter is greater "
                           "than one in alignment data -> filter unknowns: ukf\n");
      return false;
    }
    data.ukfFilter = true;
    data.ukfThreshold = threshold;
  } else {
    PrintUnrecognized(filter, " alignment data -> filter unknowns\n");
    return false;
  }

  return true;
}

// Gene names go into every output as the tree's names do, so they meet the same test.
bool CheckGeneNames(const AlignmentData& data) {
  for (std::uint32_t g = 0; g < data.geneCount; ++g) {
    const std::string& name = data.genes[g].geneName;
    const char* fault = NameFault(name);
    if (!fault) continue;
    std::fprintf(stderr, "Error:VORN:ReadInput: '%s' gives gene %u a name that holds %s, '%s': a name must be one "
                 "line of UTF-8 text without tabs, as every output keeps it\n", data.countsFileName.c_str(),
                 static_cast<unsigned>(g + 1), fault, EscapedName(name).c_str());
    return false;
  }
  return true;
}

// The data files that line 8 names: a table, or a pattern file with its counts.
bool ReadDataFiles(TemplateReader& in, PhylogeneticTree& tree, AlignmentData& data, const std::string& projectName,
                   const ReaderSettings& reader, bool table) {
  bool refused = false;
  if (table) {
    FilePtr tableFile = OpenReadInput(in, data.patternFileName, projectName, &refused);
    if (refused) return false;
    if (!tableFile) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' cannot be opened\n", data.patternFileName.c_str());
      return false;
    }
    return ReadCharacterTable(tableFile.get(), data.patternFileName, reader, tree, data) && CheckGeneNames(data);
  }
  FilePtr patternFile = OpenReadInput(in, data.patternFileName, projectName, &refused);
  if (refused) return false;
  if (!patternFile) {
    std::fprintf(stderr, "Error:VORN:ReadInput: Pattern file '%s' cannot be opened\n", data.patternFileName.c_str());
    return false;
  }
  FilePtr countsFile = OpenReadInput(in, data.countsFileName, projectName, &refused);
  if (refused) return false;
  if (!countsFile) {
    std::fprintf(stderr, "Error:VORN:ReadInput: Pattern counts file '%s' cannot be opened\n",
                 data.countsFileName.c_str());
    return false;
  }
  return data.ReadPatternFiles(patternFile.get(), countsFile.get(), tree.leafCount) && CheckGeneNames(data);
}

}  // namespace

bool ReadDataSection(TemplateReader& in, PhylogeneticTree& tree, AlignmentData& data, const std::string& projectName,
                     const ReaderSettings& reader, SimulationSettings& sim) {
  if (!in.Next(6) || !in.Next(7)) return false;

  std::string_view source;
  if (!in.Next(8) || !in.Token(1, &source)) return false;
  bool table = false;
  if (Keyword(source, "sim")) {
    data.patternFileName = projectName + ".wp.txt";
    data.countsFileName = projectName + ".ngp.txt";
  } else if (Keyword(source, "pat")) {
    std::string_view patternName, countsName;
    if (!in.Token(2, &patternName) || !in.Token(3, &countsName)) return false;
    data.patternFileName = std::string(patternName);
    data.countsFileName = std::string(countsName);
    sim.simulate = false;
  } else if (Keyword(source, "tab")) {
    std::string_view tableName;
    if (!in.Token(2, &tableName)) return false;
    data.patternFileName = std::string(tableName);
    data.countsFileName = data.patternFileName;
    sim.simulate = false;
    table = true;
  } else {
    PrintUnrecognized(source, "alignment data -> source\n");
    return false;
  }

  // Site counts are random only for simulated data, from the reader's own generator.
  MersenneTwister generator = NextGenerator(RandomPurpose::kSiteCounts);

  if (!ReadSimulationLines(in, generator, sim) || !ReadFilterLine(in, data)) return false;
  if (!table) {
    // Nothing is misread without them, so they need not stop a run that changed its source.
    if (!reader.geneColumn.empty()) {
      Warn("setting-not-used", "ReadInput", "the setting 'gene column: %s' applies to tables (source: table); it is "
           "not used", reader.geneColumn.c_str());
    }
    if (reader.leavesWithoutData != LeavesWithoutData::kError) {
      Warn("setting-not-used", "ReadInput", "the setting 'leaves without data: %s' applies to tables (source: "
           "table); it is not used", LeavesWithoutDataName(reader.leavesWithoutData));
    }
  }
  return sim.simulate || ReadDataFiles(in, tree, data, projectName, reader, table);
}

}  // namespace control_file
}  // namespace vorn
