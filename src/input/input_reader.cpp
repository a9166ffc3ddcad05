#include "input/input_reader.h"
#include "input/settings.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string_view>
#include <vector>

#include "data/alignment_data.h"
#include "data/c_file.h"
#include "data/output_file.h"
#include "data/character_table.h"
#include "data/phylogenetic_tree.h"
#include "data/text_io.h"
#include "estimation/em.h"
#include "numerics/run_seed.h"

namespace vorn {
namespace {

constexpr int kLastLine = 52;

InputLimits& MutableLimits() {
  static InputLimits limits;
  return limits;
}

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
    return ReadFileLine();
  }

  // Reads one more file line for the current template line (a value list or pair list that goes
  // on); every later template line moves down by one in the file.
  bool Continue() { return ReadFileLine(); }

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
    std::vector<std::string_view> words;
    if (!ReadWords(literal, "%s", &words)) return false;
    *word = std::string(words[0]);
    return true;
  }

  // The blank-separated words after the literal; at least one, else the line is unreadable as
  // "<literal><conversion>".
  bool ReadWords(std::string_view literal, const char* conversion, std::vector<std::string_view>* words) {
    std::string_view rest;
    if (MatchLiteral(literal, &rest)) {
      *words = SplitWhite(rest);
      if (!words->empty()) return true;
    }
    return Unreadable(literal, conversion);
  }

  bool ReadDouble(std::string_view literal, double* value) { return ReadDoubles(literal, value, 1); }

  // "<literal>%lg" (count 1) or "<literal>%lg %lg" (count 2).
  bool ReadDoubles(std::string_view literal, double* values, int count) {
    const char* conversion = count == 1 ? "%lg" : "%lg %lg";
    std::string_view rest;
    if (MatchLiteral(literal, &rest)) {
      const std::vector<std::string_view> tokens = SplitWhite(rest);
      bool ok = tokens.size() >= static_cast<std::size_t>(count);
      for (int i = 0; ok && i < count; ++i) ok = ParseDouble(tokens[i], &values[i]);
      if (ok) return true;
    }
    return Unreadable(literal, conversion);
  }

  bool ReadInt(std::string_view literal, int* value) {
    std::string_view rest;
    if (MatchLiteral(literal, &rest)) {
      const std::vector<std::string_view> tokens = SplitWhite(rest);
      long long number = 0;
      if (!tokens.empty() && ParseInt(tokens[0], &number) && number >= INT_MIN && number <= INT_MAX) {
        *value = static_cast<int>(number);
        return true;
      }
    }
    return Unreadable(literal, "%d");
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
    return MissingValue();
  }

  bool MissingValue() const {
    std::fprintf(stderr, "Error:VORN:ReadInput: Line %u ends before its value in %s\n", fileLine_, item_);
    return false;
  }

  bool HasToken(std::size_t i) const { return i < tokens_.size(); }
  std::string_view TokenAt(std::size_t i) const { return tokens_[i]; }
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

  bool ReadFileLine() {
    ++fileLine_;
    bool tooLong = false;
    if (!ReadLine(file_, line_, kMaxInputLineLength, &tooLong)) {
      // File lines, not template lines: a list over several lines moves everything after it.
      std::fprintf(stderr, "Error:VORN:ReadInput: The input file ends before line %u in %s\n", fileLine_, item_);
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

// Opens a file the reader writes. One that cannot be written ends the run, as everything else it
// would leave (the data fitted, the report) rests on it.
bool OpenOutput(OutputFile& file) {
  if (file.Open()) return true;
  std::fprintf(stderr, "Error:VORN:ReadInput: The file %s cannot be opened for writting\n", file.name().c_str());
  return false;
}

// Opens a file the control file names: relative to the working directory first, and, when it is not
// there, relative to the control file's folder, the folder part of the project name; so a run
// started from anywhere finds the files that lie beside its control file.
FilePtr OpenNamedInput(const std::string& name, const std::string& projectName) {
  FilePtr file = OpenFile(name, "r");
  const std::size_t slash = projectName.find_last_of('/');
  if (file || name.empty() || name[0] == '/' || slash == std::string::npos) return file;
  return OpenFile(projectName.substr(0, slash + 1) + name, "r");
}

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

  const InputLimits& limits = ActiveInputLimits();
  std::string_view source;
  if (!in.Next(3) || !in.Token(1, &source)) return false;
  const bool randomTree = Keyword(source, "rand");
  if (!randomTree) {
    const std::string treeFileName(source);
    FilePtr treeFile = OpenNamedInput(treeFileName, projectName);
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
  OutputFile out(tree.treeName, "ReadInput");
  if (!OpenOutput(out)) return false;
  tree.WritePhyl(out.get());
  return out.Commit();
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

bool ReadDataSection(TemplateReader& in, const PhylogeneticTree& tree, AlignmentData& data,
                     const std::string& projectName, SimulationSettings& sim) {
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
  if (table) {
    FilePtr tableFile = OpenNamedInput(data.patternFileName, projectName);
    if (!tableFile) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' cannot be opened\n", data.patternFileName.c_str());
      return false;
    }
    return ReadCharacterTable(tableFile.get(), data.patternFileName, tree, data);
  }
  FilePtr patternFile = OpenNamedInput(data.patternFileName, projectName);
  if (!patternFile) {
    std::fprintf(stderr, "Error:VORN:ReadInput: Pattern file '%s' cannot be opened\n", data.patternFileName.c_str());
    return false;
  }
  FilePtr countsFile = OpenNamedInput(data.countsFileName, projectName);
  if (!countsFile) {
    std::fprintf(stderr, "Error:VORN:ReadInput: Pattern counts file '%s' cannot be opened\n",
                 data.countsFileName.c_str());
    return false;
  }
  return data.ReadPatternFiles(patternFile.get(), countsFile.get(), tree.leafCount);
}

// Where the model section's random draws start from (lines 14 to 21); a value outside the range
// a draw accepts keeps the default.
struct DrawParameters {
  double p0Lower = 0.95;
  double thetaMean = 1;
  double phiWeight = 0.4;
  double phiMean = 1;
  double etaMean = 1.5;
  double xiWeight = 0.4;
  double xiMean = 1.5;
  double nuLower = 0.8;
  double llambdaMean = 1;
  double glambdaMean = 1;
};

// Values a parameter may take. Anything else would make every probability computed from it
// meaningless, so it is refused where it is read.
enum class Range { kProbability, kNonNegative };

bool CheckRange(double value, Range range, const std::string& where) {
  if (range == Range::kProbability) {
    if (value >= 0 && value <= 1) return true;
    std::fprintf(stderr, "Error:VORN:ReadInput: %lg is not a probability in %s\n", value, where.c_str());
    return false;
  }
  if (value >= 0) return true;
  std::fprintf(stderr, "Error:VORN:ReadInput: Negative value %lg in %s\n", value, where.c_str());
  return false;
}

bool ParseNumber(std::string_view token, const std::string& where, double* value) {
  if (ParseDouble(token, value)) return true;
  std::fprintf(stderr, "Error:VORN:ReadInput: %.*s is not a number in %s\n", static_cast<int>(token.size()),
               token.data(), where.c_str());
  return false;
}

bool ParseValue(std::string_view token, Range range, const std::string& where, double* value) {
  double parsed = 0;
  if (!ParseNumber(token, where, &parsed) || !CheckRange(parsed, range, where)) return false;
  *value = parsed;
  return true;
}

bool EndsList(std::string_view token) { return !token.empty() && token[0] == '%'; }

// The token right after the mode word that opens a value list; "%" or nothing there means the
// list was left out.
bool FirstListToken(const TemplateReader& in, const std::string& tail, std::string_view* token) {
  if (in.HasToken(2) && !EndsList(in.TokenAt(2))) {
    *token = in.TokenAt(2);
    return true;
  }
  std::fprintf(stderr, "Error:VORN:ReadInput: Numerical input is expected after %s\n", tail.c_str());
  return false;
}

// A value list of values.size() entries, ten to a line: the first ten after the mode word, each
// further ten from the first token of the next file line. Entries below checkedFrom (the root's,
// which is discarded) skip the range check. With onlyWhere, an entry is stored only where its
// flag is set (a starting value means nothing for a fixed entry).
bool ReadValueList(TemplateReader& in, std::uint32_t checkedFrom, Range range, const std::string& tail,
                   std::vector<double>& values, const std::vector<std::uint8_t>* onlyWhere) {
  std::size_t at = 2;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0 && i % 10 == 0) {
      if (!in.Continue()) return false;
      at = 0;
    }
    if (!in.HasToken(at) || EndsList(in.TokenAt(at))) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Not enough values in %s\n", tail.c_str());
      return false;
    }
    double value = 0;
    if (!ParseNumber(in.TokenAt(at), tail, &value)) return false;
    if (i >= checkedFrom && !CheckRange(value, range, tail)) return false;
    if (!onlyWhere || (*onlyWhere)[i]) values[i] = value;
    ++at;
  }
  return true;
}

// Index-value pairs after the mode word of a "mix" line, each fixing one entry. They go on over
// further file lines and end at a "%" where an index would be; an index and its value share a line.
bool ReadPairs(TemplateReader& in, std::uint32_t checkedFrom, Range range, const std::string& tail,
               std::vector<double>& values, std::vector<std::uint8_t>& estimated) {
  std::size_t at = 2;
  if (!in.HasToken(at)) {
    std::fprintf(stderr, "Error:VORN:ReadInput: A numerical value is expected after %s\n", tail.c_str());
    return false;
  }
  for (;;) {
    while (!in.HasToken(at)) {
      if (!in.Continue()) return false;
      at = 0;
    }
    const std::string_view indexToken = in.TokenAt(at++);
    if (EndsList(indexToken)) return true;
    long long index = 0;
    if (!ParseInt(indexToken, &index)) {
      std::fprintf(stderr, "Error:VORN:ReadInput: %.*s is not an index in %s\n", static_cast<int>(indexToken.size()),
                   indexToken.data(), tail.c_str());
      return false;
    }
    if (index < 0 || index >= static_cast<long long>(values.size())) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Index %lld out of range in %s\n", index, tail.c_str());
      return false;
    }
    if (!in.HasToken(at) || EndsList(in.TokenAt(at))) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Uncomplete pair found in %s\n", tail.c_str());
      return false;
    }
    double value = 0;
    if (!ParseNumber(in.TokenAt(at++), tail, &value)) return false;
    if (index >= checkedFrom && !CheckRange(value, range, tail)) return false;
    values[index] = value;
    estimated[index] = 0;
  }
}

bool ReadDrawParameters(TemplateReader& in, DrawParameters& draws) {
  double value[2] = {0, 0};
  // Lower ends of uniform draws and the parent weights of the tree-correlated ones must stay in
  // [0, 1], or the drawn probabilities leave it.
  auto lowerEnd = [&in](double read, double* lower) {
    if (!(read > 0)) return true;
    if (!CheckRange(read, Range::kProbability, in.item())) return false;
    *lower = read;
    return true;
  };
  auto weightAndMean = [&in, &value](double* weight, double* mean) {
    if (value[0] >= 0) {
      if (!CheckRange(value[0], Range::kProbability, in.item())) return false;
      *weight = value[0];
    }
    if (value[1] > 0) *mean = value[1];
    return true;
  };

  if (!in.Next(14) || !in.ReadDouble("p0: ", value) || !lowerEnd(value[0], &draws.p0Lower)) return false;
  if (!in.Next(15) || !in.ReadDouble("theta: ", value)) return false;
  if (value[0] > 0) draws.thetaMean = value[0];
  if (!in.Next(16) || !in.ReadDoubles("phi: ", value, 2) || !weightAndMean(&draws.phiWeight, &draws.phiMean)) {
    return false;
  }
  if (!in.Next(17) || !in.ReadDouble("eta: ", value)) return false;
  if (value[0] > 0) draws.etaMean = value[0];
  if (!in.Next(18) || !in.ReadDoubles("xi: ", value, 2) || !weightAndMean(&draws.xiWeight, &draws.xiMean)) {
    return false;
  }
  if (!in.Next(19) || !in.ReadDouble("nu: ", value) || !lowerEnd(value[0], &draws.nuLower)) return false;
  if (!in.Next(20) || !in.ReadDouble("l-lambda: ", value)) return false;
  if (value[0] > 0) draws.llambdaMean = value[0];
  if (!in.Next(21) || !in.ReadDouble("g-lambda: ", value)) return false;
  if (value[0] > 0) draws.glambdaMean = value[0];
  return true;
}

// The model line of a parameter with one entry per gene (theta, eta) or per node (phi, xi). The
// root (node entry 0) has no branch: it is never estimated and ends at 0 whatever the line says.
struct EntryLine {
  int line;
  const char* name;
  const char* unrecognizedTail;
  bool perNode;
  Range range;
  std::vector<double>& values;
  std::vector<std::uint8_t>& estimated;
  bool& any;
  std::function<void()> draw;
};

bool ReadEntryLine(TemplateReader& in, const EntryLine& p, bool simulate) {
  std::string_view mode;
  if (!in.Next(p.line) || !in.Token(1, &mode)) return false;
  const std::uint32_t first = p.perNode ? 1 : 0;
  const std::string section = std::string("model parameters -> ") + p.name;
  if (Keyword(mode, "est")) {
    p.estimated.assign(p.values.size(), 1);
    if (simulate) p.draw();
  } else if (Keyword(mode, "fix")) {
    p.estimated.assign(p.values.size(), 0);
    const std::string tail = section + ": fixed";
    std::string_view token;
    if (!FirstListToken(in, tail, &token)) return false;
    if (Keyword(token, "rand")) {
      p.draw();
    } else if (!ReadValueList(in, first, p.range, tail, p.values, nullptr)) {
      return false;
    }
  } else if (Keyword(mode, "con")) {
    p.estimated.assign(p.values.size(), 0);
    std::string_view token;
    double value = 0;
    if (!in.Token(2, &token) || !ParseValue(token, p.range, section, &value)) return false;
    std::fill(p.values.begin() + first, p.values.end(), value);
  } else if (Keyword(mode, "mix")) {
    p.estimated.assign(p.values.size(), 1);
    // A simulation reads every entry, also those the pairs leave to the estimation.
    if (simulate) p.draw();
    if (!ReadPairs(in, first, p.range, section + ": mixed", p.values, p.estimated)) return false;
  } else {
    PrintUnrecognized(mode, p.unrecognizedTail);
    return false;
  }
  if (p.perNode) {
    p.values[0] = 0;
    p.estimated[0] = 0;
  }
  p.any = std::any_of(p.estimated.begin(), p.estimated.end(), [](std::uint8_t flag) { return flag != 0; });
  return true;
}

// "est" estimates (drawn when simulating); "fix" takes "inf" (no rate variation, stored as 0),
// "rand" or a shape.
bool ReadLambdaLine(TemplateReader& in, int line, const char* unrecognizedTail, bool& estimated, double& value,
                    double mean, double minimum, void (EvolModel::*drawInto)(double, double), EvolModel& model,
                    bool simulate) {
  // A mean hundreds of times below the minimum underflows the truncated exponential's formula.
  auto draw = [&] {
    (model.*drawInto)(mean, minimum);
    if (std::isfinite(value)) return true;
    std::fprintf(stderr, "Error:VORN:ReadInput: The draw with mean %lg and minimum %lg gives no finite value in %s\n",
                 mean, minimum, in.item());
    return false;
  };
  std::string_view mode;
  if (!in.Next(line) || !in.Token(1, &mode)) return false;
  if (Keyword(mode, "est")) {
    estimated = true;
    return !simulate || draw();
  }
  if (!Keyword(mode, "fix")) {
    PrintUnrecognized(mode, unrecognizedTail);
    return false;
  }
  estimated = false;
  std::string_view token;
  if (!in.Token(2, &token)) return false;
  if (token == "inf") {
    value = 0;
    return true;
  }
  if (token == "rand") return draw();
  return ParseValue(token, Range::kNonNegative, in.item(), &value);
}

bool ReadModelSection(TemplateReader& in, const PhylogeneticTree& tree, EM& em, const DrawParameters& draws,
                      bool simulate) {
  EvolModel& model = em.model;
  EstimationFlags& flags = em.flags;
  if (!in.Next(22) || !in.Next(23)) return false;

  std::string_view mode;
  if (!in.Next(24) || !in.Token(1, &mode)) return false;
  if (Keyword(mode, "est")) {
    flags.p0 = true;
    if (simulate) model.DrawP0(draws.p0Lower);
  } else if (Keyword(mode, "fix")) {
    flags.p0 = false;
    std::string_view token;
    if (!in.Token(2, &token)) return false;
    if (Keyword(token, "rand")) {
      model.DrawP0(draws.p0Lower);
    } else if (!ParseValue(token, Range::kProbability, in.item(), &model.p0)) {
      return false;
    }
  } else {
    PrintUnrecognized(mode, " model parameters -> p0\n");
    return false;
  }

  const EntryLine lines[] = {
      {25, "theta", " model parameters -> theta\n", false, Range::kNonNegative, model.theta, flags.theta,
       flags.thetaAny, [&] { model.DrawTheta(draws.thetaMean); }},
      {26, "phi", " model parameters -> phi\n", true, Range::kProbability, model.phi, flags.phi, flags.phiAny,
       [&] { model.DrawPhi(draws.phiWeight, tree, draws.phiMean); }},
      {27, "eta", " model parameters -> eta\n", false, Range::kNonNegative, model.eta, flags.eta, flags.etaAny,
       [&] { model.DrawEta(draws.etaMean); }},
      {28, "xi", " model parameters -> xi\n", true, Range::kProbability, model.xi, flags.xi, flags.xiAny,
       [&] { model.DrawXi(draws.xiWeight, tree, draws.xiMean); }},
  };
  for (const EntryLine& line : lines) {
    if (!ReadEntryLine(in, line, simulate)) return false;
  }

  if (!in.Next(29) || !in.Token(1, &mode)) return false;
  if (Keyword(mode, "est")) {
    flags.nu = true;
    if (simulate) model.DrawNu(draws.nuLower);
    if (in.HasToken(2) && Keyword(in.TokenAt(2), "fix")) em.nuHeldFixed = true;
  } else if (Keyword(mode, "fix")) {
    flags.nu = false;
    std::string_view token;
    if (!in.Token(2, &token)) return false;
    if (Keyword(token, "rand")) {
      model.DrawNu(draws.nuLower);
    } else if (!ParseValue(token, Range::kProbability, in.item(), &model.nu)) {
      return false;
    }
  } else {
    PrintUnrecognized(mode, " model parameters -> nu\n");
    return false;
  }

  double minimum = 0;
  if (!in.Next(30) || !in.ReadDouble("minimal l-lambda value: ", &minimum)) return false;
  em.minLLambda = minimum > 0 ? minimum : 0.05;
  if (!in.Next(31) || !in.ReadDouble("minimal g-lambda value: ", &minimum)) return false;
  em.minGLambda = minimum > 0 ? minimum : 0.06;

  return ReadLambdaLine(in, 32, " model parameters -> l-lambda\n", flags.llambda, model.llambda, draws.llambdaMean,
                        em.minLLambda, &EvolModel::DrawLLambda, model, simulate) &&
         ReadLambdaLine(in, 33, " model parameters -> g-lambda\n", flags.glambda, model.glambda, draws.glambdaMean,
                        em.minGLambda, &EvolModel::DrawGLambda, model, simulate);
}

// Makes the data of a "sim" source from the model just read, and leaves beside them what a user
// needs to check or reuse them: the true model, the history (when tracked) and the pattern files.
// All are opened before the simulation, so that none fails after it, and renamed into place
// together at the end: a killed run leaves a true model beside the data of another run only if
// it dies between two renames.
bool SimulateData(const PhylogeneticTree& tree, AlignmentData& data, EM& em, SimulationSettings& sim,
                  const std::string& projectName) {
  data.PrepareForSimulation(tree.leafCount, sim.geneCount);
  OutputFile modelFile(projectName + "_truemodel.m", "ReadInput");
  OutputFile patternFile(data.patternFileName, "ReadInput");
  OutputFile countsFile(data.countsFileName, "ReadInput");
  if (!OpenOutput(modelFile) || !OpenOutput(patternFile) || !OpenOutput(countsFile)) return false;
  em.model.WriteTrueModel(modelFile.get());
  if (!em.model.Simulate(data, tree, sim.unknownFraction, sim.sitesPerGene, sim.track, projectName,
                         em.conditionOnPresence)) {
    return false;
  }
  data.NameGenes();
  sim.sitesPerGene = std::vector<std::uint32_t>();
  data.WritePatternFiles(patternFile.get(), countsFile.get());
  return modelFile.Commit() && patternFile.Commit() && countsFile.Commit();
}

bool ReadCategoryCount(const TemplateReader& in, int count, std::uint16_t* categories) {
  const std::uint32_t most = std::min(ActiveInputLimits().maxCategories, kMaxCategories);
  if (static_cast<std::uint32_t>(count) > most) {
    std::fprintf(stderr, "Error:VORN:ReadInput: At most %d categories are possible in %s\n", static_cast<int>(most),
                 in.item());
    return false;
  }
  *categories = static_cast<std::uint16_t>(count);
  return true;
}

bool ReadControlSection(TemplateReader& in, EM& em) {
  if (!in.Next(34) || !in.Next(35)) return false;

  // A shape of 0 not estimated means no variation: one loss category, or the zero-rate gain
  // category and one other, whatever the file asks.
  int asked = 0;
  std::uint16_t categories = 0;
  if (!in.Next(36) || !in.ReadInt("# categories (loss distribution): ", &asked)) return false;
  int count = 1;
  if (em.flags.llambda || em.model.llambda != 0) count = asked > 1 ? asked : 4;
  if (!ReadCategoryCount(in, count, &categories)) return false;
  em.lossCategories.InitLossCategories(categories);

  if (!in.Next(37) || !in.ReadInt("# categories (gain distribution): ", &asked)) return false;
  count = 2;
  if (em.flags.glambda || em.model.glambda != 0) {
    if (asked == 1) {
      std::fprintf(stderr, "Warning:VORN:ReadInput: Gain rate variation cannot be "
                           "described with a single category -> setting two categories\n");
      count = 2;
    } else {
      count = asked > 1 ? asked : 5;
    }
  }
  if (!ReadCategoryCount(in, count, &categories)) return false;
  em.gainCategories.InitGainCategories(categories);

  // A negative tolerance is never met: the fit, or its inner Newton steps, would always run to
  // their limit.
  if (!in.Next(38) || !in.ReadDouble("likelihood tolerance: ", &em.likelihoodTolerance) ||
      !CheckRange(em.likelihoodTolerance, Range::kNonNegative, in.item())) {
    return false;
  }
  if (!in.Next(39) || !in.ReadDouble("parameter tolerance: ", &em.parameterTolerance) ||
      !CheckRange(em.parameterTolerance, Range::kNonNegative, in.item())) {
    return false;
  }
  if (!in.Next(40) || !in.ReadDouble("internal tolerance: ", &em.internalTolerance) ||
      !CheckRange(em.internalTolerance, Range::kNonNegative, in.item())) {
    return false;
  }

  int iterations = 0;
  if (!in.Next(41) || !in.ReadInt("maximum # iterations: ", &iterations)) return false;
  if (iterations >= 0) em.maxIterations = static_cast<std::uint32_t>(iterations);

  std::string word;
  if (!in.Next(42) || !in.ReadWord("ancestral reconstruction: ", &word)) return false;
  if (Keyword(word, "on")) {
    em.ancestralMode = 1;
  } else if (Keyword(word, "of")) {
    em.ancestralMode = 0;
  } else if (Keyword(word, "de")) {
    em.ancestralMode = 2;
  } else {
    PrintUnrecognized(word, "control parameters -> ancestral reconstruction\n");
    return false;
  }
  return true;
}

// The optional number after the mode word of an initialization line: *present is false when
// there is none (a "%" counts as none); a token that is not a number is an error.
bool OptionalNumber(const std::string_view* token, const char* where, bool* present, double* value) {
  *present = token && !EndsList(*token);
  return !*present || ParseNumber(*token, where, value);
}

// "<name>: <mode> <number>" for p0, nu and the lambdas. The random mode's number is a lower end
// of a uniform draw (p0, nu: used when >= 0) or a mean (the lambdas: used when > 0); the fixed
// mode's number is the starting value, stored only when the parameter is estimated.
struct ScalarInitLine {
  int line;
  const char* literal;
  const char* unrecognizedTail;
  const char* observedKeyword;  // nullptr: the line has no observed mode
  const char* randKeyword;
  const char* fixKeyword;
  bool randIsLowerEnd;
  Range range;
  std::string& mode;
  double& randNumber;
  bool estimated;
  double& value;
};

bool ReadScalarInitLine(TemplateReader& in, const ScalarInitLine& p) {
  std::vector<std::string_view> words;
  if (!in.Next(p.line) || !in.ReadWords(p.literal, "%s %lg", &words)) return false;
  const std::string_view word = words[0];
  const std::string_view* numberToken = words.size() > 1 ? &words[1] : nullptr;
  bool present = false;
  double number = 0;
  if (p.observedKeyword && Keyword(word, p.observedKeyword)) {
    p.mode = "observed";
  } else if (Keyword(word, p.randKeyword)) {
    p.mode = "rand";
    if (!OptionalNumber(numberToken, in.item(), &present, &number)) return false;
    if (present && p.randIsLowerEnd && number >= 0) {
      if (!CheckRange(number, Range::kProbability, in.item())) return false;
      p.randNumber = number;
    } else if (present && !p.randIsLowerEnd && number > 0) {
      p.randNumber = number;
    }
  } else if (Keyword(word, p.fixKeyword)) {
    p.mode = "fixed";
    if (!OptionalNumber(numberToken, in.item(), &present, &number)) return false;
    if (!present) return in.MissingValue();
    if (!CheckRange(number, p.range, in.item())) return false;
    if (p.estimated) p.value = number;
  } else {
    PrintUnrecognized(word, p.unrecognizedTail);
    return false;
  }
  return true;
}

// theta (line 46) and eta (line 48): a random mean, a value list or one value for every gene.
bool ReadGeneInitLine(TemplateReader& in, int line, const char* name, const char* unrecognizedTail,
                      std::string& mode, double& mean, std::vector<double>& values,
                      const std::vector<std::uint8_t>& estimated) {
  std::string_view word;
  if (!in.Next(line) || !in.Token(1, &word)) return false;
  if (Keyword(word, "ran")) {
    mode = "rand";
    bool present = false;
    double number = 0;
    const std::string_view token = in.HasToken(2) ? in.TokenAt(2) : std::string_view();
    if (!OptionalNumber(in.HasToken(2) ? &token : nullptr, in.item(), &present, &number)) return false;
    if (present && number > 0) mean = number;
  } else if (Keyword(word, "fix")) {
    mode = "fixed";
    const std::string tail = std::string("initialization parameters -> ") + name + ": fixed";
    std::string_view token;
    if (!FirstListToken(in, tail, &token) || !ReadValueList(in, 0, Range::kNonNegative, tail, values, &estimated)) {
      return false;
    }
  } else if (Keyword(word, "con")) {
    mode = "fixed";
    std::string_view token;
    double value = 0;
    if (!in.Token(2, &token) || !ParseValue(token, Range::kNonNegative, in.item(), &value)) return false;
    for (std::size_t g = 0; g < values.size(); ++g) {
      if (estimated[g]) values[g] = value;
    }
  } else {
    PrintUnrecognized(word, unrecognizedTail);
    return false;
  }
  return true;
}

// phi (line 47) and xi (line 49): from the Dollo reconstruction or a value list, node 0 first.
bool ReadNodeInitLine(TemplateReader& in, int line, const char* name, const char* unrecognizedTail,
                      std::string& mode, std::vector<double>& values, const std::vector<std::uint8_t>& estimated) {
  std::string_view word;
  if (!in.Next(line) || !in.Token(1, &word)) return false;
  if (Keyword(word, "dol")) {
    mode = "dollo";
  } else if (Keyword(word, "fix")) {
    mode = "fixed";
    const std::string tail = std::string("initialization parameters -> ") + name + ": fixed";
    std::string_view token;
    if (!FirstListToken(in, tail, &token) ||
        !ReadValueList(in, 1, Range::kProbability, tail, values, &estimated)) {
      return false;
    }
    values[0] = 0;
  } else {
    PrintUnrecognized(word, unrecognizedTail);
    return false;
  }
  return true;
}

bool ReadInitializationSection(TemplateReader& in, EM& em) {
  InitializationSettings& init = em.initialization;
  EvolModel& model = em.model;
  const EstimationFlags& flags = em.flags;
  if (!in.Next(43) || !in.Next(44)) return false;
  return ReadScalarInitLine(in, {45, "p0: ", "initialization parameters -> p0\n", "observed", "rand", "fix", true,
                                 Range::kProbability, init.p0Mode, init.p0Lower, flags.p0, model.p0}) &&
         ReadGeneInitLine(in, 46, "theta", "initialization parameters -> theta\n", init.thetaMode, init.thetaMean,
                          model.theta, flags.theta) &&
         ReadNodeInitLine(in, 47, "phi", "initialization parameters -> phi\n", init.phiMode, model.phi, flags.phi) &&
         ReadGeneInitLine(in, 48, "eta", "initialization parameters -> eta\n", init.etaMode, init.etaMean, model.eta,
                          flags.eta) &&
         ReadNodeInitLine(in, 49, "xi", "initialization parameters -> xi\n", init.xiMode, model.xi, flags.xi) &&
         ReadScalarInitLine(in, {50, "nu: ", "initialization parameters -> nu\n", "obs", "ran", "fix", true,
                                 Range::kProbability, init.nuMode, init.nuLower, flags.nu, model.nu}) &&
         ReadScalarInitLine(in, {51, "l-lambda: ", "initialization parameters -> l-lambda\n", nullptr, "rand",
                                 "fixed", false, Range::kNonNegative, init.llambdaMode, init.llambdaMean,
                                 flags.llambda, model.llambda}) &&
         ReadScalarInitLine(in, {52, "g-lambda: ", "initialization parameters -> g-lambda\n", nullptr, "rand",
                                 "fixed", false, Range::kNonNegative, init.glambdaMode, init.glambdaMean,
                                 flags.glambda, model.glambda});
}

}  // namespace

const InputLimits& ActiveInputLimits() { return MutableLimits(); }
void SetInputLimitsForTesting(const InputLimits& limits) { MutableLimits() = limits; }
void ClearInputLimitsForTesting() { MutableLimits() = InputLimits(); }

bool ReadInput(PhylogeneticTree& tree, AlignmentData& data, EM& em, std::FILE* input,
               const std::string& projectName) {
  std::printf("reading and processing input file\n");
  std::fflush(stdout);
  SkipByteOrderMark(input);
  TemplateReader in(input);
  SimulationSettings sim;
  if (!ReadTreeSection(in, tree, projectName)) return false;
  if (!ReadDataSection(in, tree, data, projectName, sim)) return false;

  DrawParameters draws;
  if (!ReadDrawParameters(in, draws)) return false;
  em.Resize(tree.nodeCount, sim.simulate ? sim.geneCount : data.geneCount);
  // The M-steps bound theta and eta by this cap (over the largest rate multiplier), so that no
  // scaled rate times a branch length passes 153.5.
  double longest = 0;
  for (std::uint32_t v = 1; v < tree.nodeCount; ++v) longest = std::max(longest, tree.branchLength[v]);
  em.thetaCap = 153.5 / longest;
  em.etaCap = em.thetaCap;
  if (!ReadModelSection(in, tree, em, draws, sim.simulate)) return false;
  // On a tree whose branches all have length 0 no rate acts on anything: the caps are infinite
  // and an estimate of theta or eta would mean nothing.
  if (longest == 0 && (em.flags.thetaAny || em.flags.etaAny)) {
    std::fprintf(stderr, "Error:VORN:ReadInput: theta and eta cannot be estimated on a tree whose branches all "
                         "have length 0\n");
    return false;
  }

  const EstimationFlags& flags = em.flags;
  em.thetaPhiInvariant = flags.thetaAny && flags.phiAny && !flags.llambda && em.model.llambda == 0;
  em.etaXiInvariant =
      flags.etaAny && flags.xiAny && !flags.glambda && em.model.glambda == 0 && em.model.geneCount == 1;
  if (!sim.simulate) em.model.geneCount = data.geneCount;

  if (!ReadControlSection(in, em) || !ReadInitializationSection(in, em) ||
      !ReadSettings(input, in.fileLine() + 1, em)) {
    return false;
  }
  // The simulation follows the whole file, whose settings may change what it draws, so that a
  // mistake anywhere in the file stops the run before the work.
  if (sim.simulate) return SimulateData(tree, data, em, sim, projectName);
  if (em.conditionOnPresence) data.DropSitesWithoutPresence();
  return true;
}

}  // namespace vorn
