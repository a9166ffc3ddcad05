#include "input/input_reader.h"

#include <cctype>
#include <cstring>
#include <string_view>
#include <vector>

#include "data/alignment_data.h"
#include "data/c_file.h"
#include "data/phylogenetic_tree.h"
#include "data/text_io.h"
#include "estimation/em.h"
#include "numerics/mersenne_twister.h"

namespace vorn {
namespace {

constexpr int kLastLine = 52;

// What each line of the template holds, for the messages about missing or unreadable lines.
const char* LineItem(int line) {
  static const char* const kItems[kLastLine + 1] = {
      "",
      "phylogenetic tree",
      "phylogenetic tree -> time units",
      "phylogenetic tree -> source",
      "phylogenetic tree -> number of leaves",
      "phylogenetic tree -> total time span",
      "alignment data",
      "alignment data",
      "alignment data -> source",
      "alignment data -> number of genes",
      "alignment data -> number of sites",
      "alignment data -> fraction of unknowns",
      "alignment data -> track numbers of present characters",
      "alignment data -> filter unknowns",
      "alignment data -> p0 distribution",
      "alignment data -> theta distribution",
      "alignment data -> phi distribution",
      "alignment data -> eta distribution",
      "alignment data -> xi distribution",
      "alignment data -> nu distribution",
      "alignment data -> l-lambda distribution",
      "alignment data -> g-lambda distribution",
      "model parameters",
      "model parameters",
      "model parameters -> p0",
      "model parameters -> theta",
      "model parameters -> phi",
      "model parameters -> eta",
      "model parameters -> xi",
      "model parameters -> nu",
      "model parameters -> minimal l-lambda value",
      "model parameters -> minimal g-lambda value",
      "model parameters -> l-lambda",
      "model parameters -> g-lambda",
      "control parameters",
      "control parameters",
      "control parameters -> # categories (loss distribution)",
      "control parameters -> # categories (gain distribution)",
      "control parameters -> likelihood tolerance",
      "control parameters -> parameter tolerance",
      "control parameters -> internal tolerance",
      "control parameters -> maximum # iterations",
      "control parameters -> ancestral reconstruction",
      "initialization parameters",
      "initialization parameters",
      "initialization parameters -> p0",
      "initialization parameters -> theta",
      "initialization parameters -> phi",
      "initialization parameters -> eta",
      "initialization parameters -> xi",
      "initialization parameters -> nu",
      "initialization parameters -> l-lambda",
      "initialization parameters -> g-lambda",
  };
  return line >= 1 && line <= kLastLine ? kItems[line] : "";
}

// A word matches a keyword when its first k characters are the keyword's.
bool Keyword(std::string_view word, std::string_view keyword) {
  return word.size() >= keyword.size() && word.compare(0, keyword.size(), keyword) == 0;
}

// Reads the control file one line at a time and knows which template line it is on, so every
// complaint about form names the line's section and item.
class TemplateReader {
 public:
  explicit TemplateReader(std::FILE* file) : file_(file) {}

  // Reads the next template line (templateLine is its place in the 52-line layout).
  bool Next(int templateLine) {
    item_ = LineItem(templateLine);
    ++fileLine_;
    bool tooLong = false;
    if (!ReadLine(file_, line_, kMaxInputLineLength, &tooLong)) {
      std::fprintf(stderr, "Error:VORN:ReadInput: The input file ends before line %d in %s\n", templateLine, item_);
      return false;
    }
    if (tooLong) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Line %u of the input file is longer than %u characters\n",
                   fileLine_, static_cast<unsigned>(kMaxInputLineLength));
      return false;
    }
    tokens_ = Tokenize(line_);
    return true;
  }

  // Matches the line against a pattern's literal text: a blank matches any run of white space,
  // also none; every other character matches itself. On success *rest is what follows.
  bool MatchLiteral(std::string_view literal, std::string_view* rest) const {
    std::size_t at = 0;
    for (char c : literal) {
      if (c == ' ') {
        while (at < line_.size() && std::isspace(static_cast<unsigned char>(line_[at]))) ++at;
      } else if (at < line_.size() && line_[at] == c) {
        ++at;
      } else {
        return false;
      }
    }
    *rest = std::string_view(line_).substr(at);
    return true;
  }

  // "<literal>%s": the first word after the literal.
  bool ReadWord(std::string_view literal, std::string* word) {
    std::string_view rest;
    if (MatchLiteral(literal, &rest)) {
      const std::vector<std::string_view> tokens = SplitWhite(rest);
      if (!tokens.empty()) {
        *word = std::string(tokens[0]);
        return true;
      }
    }
    return Unreadable(literal, "%s");
  }

  bool ReadDouble(std::string_view literal, double* value) {
    std::string_view rest;
    if (MatchLiteral(literal, &rest)) {
      const std::vector<std::string_view> tokens = SplitWhite(rest);
      if (!tokens.empty() && ParseDouble(tokens[0], value)) return true;
    }
    return Unreadable(literal, "%lg");
  }

  bool ReadUnsigned(std::string_view literal, std::uint32_t* value) {
    std::string_view rest;
    if (MatchLiteral(literal, &rest)) {
      const std::vector<std::string_view> tokens = SplitWhite(rest);
      unsigned long long number = 0;
      if (!tokens.empty() && ParseUnsigned(tokens[0], 0xffffffffULL, &number)) {
        *value = static_cast<std::uint32_t>(number);
        return true;
      }
    }
    return Unreadable(literal, "%u");
  }

  // Token i of a token line (labels included), or a complaint that the line ends before it.
  bool Token(std::size_t i, std::string_view* token) const {
    if (i < tokens_.size()) {
      *token = tokens_[i];
      return true;
    }
    std::fprintf(stderr, "Error:VORN:ReadInput: Line %u ends before its value in %s\n", fileLine_, item_);
    return false;
  }

  std::size_t TokenCount() const { return tokens_.size(); }
  const char* item() const { return item_; }
  unsigned fileLine() const { return fileLine_; }

 private:
  static std::vector<std::string_view> SplitWhite(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < text.size()) {
      while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
      const std::size_t start = at;
      while (at < text.size() && !std::isspace(static_cast<unsigned char>(text[at]))) ++at;
      if (at > start) words.push_back(text.substr(start, at - start));
    }
    return words;
  }

  bool Unreadable(std::string_view literal, const char* conversion) const {
    std::fprintf(stderr, "Error:VORN:ReadInput: Line %u does not read as '%.*s%s' in %s\n", fileLine_,
                 static_cast<int>(literal.size()), literal.data(), conversion, item_);
    return false;
  }

  std::FILE* file_;
  std::string line_;
  std::vector<std::string_view> tokens_;
  const char* item_ = "";
  unsigned fileLine_ = 0;
};

void PrintUnrecognized(std::string_view word, const char* tail) {
  std::fprintf(stderr, "Error:VORN:ReadInput: %.*s. Unrecognized keyword in %s", static_cast<int>(word.size()),
               word.data(), tail);
}

bool ReadTreeSection(TemplateReader& in, PhylogeneticTree& tree, const std::string& projectName) {
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

  std::string_view source;
  if (!in.Next(3) || !in.Token(1, &source)) return false;
  const bool randomTree = Keyword(source, "rand");
  if (!randomTree) {
    const std::string treeFileName(source);
    FilePtr treeFile = OpenFile(treeFileName, "r");
    if (!treeFile) {
      std::fprintf(stderr, "Error:VORN:ReadInput: the phylogenetic tree '%s' cannot be found\n", treeFileName.c_str());
      return false;
    }
    tree.treeName = treeFileName;
    std::string_view form;
    if (!in.Token(2, &form)) return false;
    if (Keyword(form, "phyl")) {
      if (!tree.ReadPhyl(treeFile.get())) return false;
    } else if (Keyword(form, "newi")) {
      if (!tree.ReadNewick(treeFile.get())) return false;
    } else {
      std::fprintf(stderr, "Error:VORN:ReadInput: unrecognized phylogenetic tree format\n");
      return false;
    }
  }

  std::uint32_t leaves = 0;
  if (!in.Next(4) || (randomTree && !in.ReadUnsigned("number of leaves: ", &leaves))) return false;
  double span = 0.0;
  if (!in.Next(5) || (randomTree && !in.ReadDouble("total time span: ", &span))) return false;
  if (!randomTree) return true;

  if (leaves < 2 || leaves > kMaxRandomTreeLeaves) {
    std::fprintf(stderr, "Error:VORN:ReadInput: A random tree needs from 2 to %u leaves in %s\n",
                 static_cast<unsigned>(kMaxRandomTreeLeaves), LineItem(4));
    return false;
  }
  if (millions) span *= 0.001;
  if (!(span > 0.0)) {
    std::fprintf(stderr, "Error:VORN:ReadInput: A random tree needs a positive time span in %s\n", LineItem(5));
    return false;
  }
  tree.treeName = projectName + ".phyl";
  tree.GenerateRandomTree(leaves, span);
  FilePtr out = OpenFile(tree.treeName, "w");
  if (!out) {
    std::fprintf(stderr, "Warning:VORN:ReadInput: The file %s cannot be opened for writting\n", tree.treeName.c_str());
    return true;
  }
  tree.WritePhyl(out.get());
  return true;
}

// What the alignment section asks of a simulation; used once the model is known.
struct SimulationSettings {
  bool simulate = true;
  std::uint32_t geneCount = 0;
  std::vector<std::uint32_t> sitesPerGene;
  double unknownFraction = 0.0;
  bool track = false;
};

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

bool ReadDataSection(TemplateReader& in, const PhylogeneticTree& tree, AlignmentData& data,
                     const std::string& projectName, SimulationSettings& sim) {
  if (!in.Next(6) || !in.Next(7)) return false;

  std::string_view source;
  if (!in.Next(8) || !in.Token(1, &source)) return false;
  if (Keyword(source, "sim")) {
    data.patternFileName = projectName + ".wp.txt";
    data.countsFileName = projectName + ".ngp.txt";
  } else if (Keyword(source, "pat")) {
    std::string_view patternName, countsName;
    if (!in.Token(2, &patternName) || !in.Token(3, &countsName)) return false;
    data.patternFileName = std::string(patternName);
    data.countsFileName = std::string(countsName);
    sim.simulate = false;
  } else {
    PrintUnrecognized(source, "alignment data -> source\n");
    return false;
  }

  // Site counts are random only for simulated data, from the reader's own generator.
  MersenneTwister generator;
  generator.SeedFromEntropy();

  if (!in.Next(9)) return false;
  if (sim.simulate) {
    if (!in.ReadUnsigned("number of genes: ", &sim.geneCount)) return false;
    if (sim.geneCount == 0) {
      std::fprintf(stderr, "Error:VORN:ReadInput: At least one gene is needed in %s\n", in.item());
      return false;
    }
  }
  if (!in.Next(10)) return false;
  if (sim.simulate && !ReadSitesLine(in, generator, sim)) return false;

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
    } else if (Keyword(word, "of")) {
      sim.track = false;
    } else {
      PrintUnrecognized(word, " alignment data -> track numbers of present characters\n");
      return false;
    }
  }

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

  if (sim.simulate) return true;
  FilePtr patternFile = OpenFile(data.patternFileName, "r");
  if (!patternFile) {
    std::fprintf(stderr, "Error:VORN:ReadInput: Pattern file '%s' cannot be opened\n", data.patternFileName.c_str());
    return false;
  }
  FilePtr countsFile = OpenFile(data.countsFileName, "r");
  if (!countsFile) {
    std::fprintf(stderr, "Error:VORN:ReadInput: Pattern counts file '%s' cannot be opened\n",
                 data.countsFileName.c_str());
    return false;
  }
  return data.ReadPatternFiles(patternFile.get(), countsFile.get(), tree.leafCount);
}

}  // namespace

bool ReadInput(PhylogeneticTree& tree, AlignmentData& data, EM& em, std::FILE* input,
               const std::string& projectName) {
  std::printf("reading and processing input file\n");
  std::fflush(stdout);
  TemplateReader in(input);
  SimulationSettings sim;
  if (!ReadTreeSection(in, tree, projectName)) return false;
  if (!ReadDataSection(in, tree, data, projectName, sim)) return false;
  // The parameter sections follow; until they are read, their lines must at least be present.
  for (int line = 14; line <= kLastLine; ++line) {
    if (!in.Next(line)) return false;
  }
  (void)em;
  return true;
}

}  // namespace vorn
