// The line reader of the 52-line template and the value parsing the sections share.
#include "input/template_reader.h"

#include <cctype>
#include <climits>

#include "data/output_file.h"
#include "data/text_io.h"
#include "input/input_reader.h"

namespace vorn {
namespace control_file {
namespace {

std::vector<std::string_view> SplitWhite(std::string_view text) {
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

}  // namespace

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

bool TemplateReader::MatchLiteral(std::string_view literal, std::string_view* rest) const {
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

bool TemplateReader::ReadWord(std::string_view literal, std::string* word) {
  std::vector<std::string_view> words;
  if (!ReadWords(literal, "%s", &words)) return false;
  *word = std::string(words[0]);
  return true;
}

bool TemplateReader::ReadWords(std::string_view literal, const char* conversion,
                               std::vector<std::string_view>* words) {
  std::string_view rest;
  if (MatchLiteral(literal, &rest)) {
    *words = SplitWhite(rest);
    if (!words->empty()) return true;
  }
  return Unreadable(literal, conversion);
}

bool TemplateReader::ReadDoubles(std::string_view literal, double* values, int count) {
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

bool TemplateReader::ReadInt(std::string_view literal, int* value) {
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

bool TemplateReader::ReadUnsigned(std::string_view literal, std::uint32_t* value) {
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

bool TemplateReader::MissingValue() const {
  std::fprintf(stderr, "Error:VORN:ReadInput: Line %u ends before its value in %s\n", fileLine_, item_);
  return false;
}

bool TemplateReader::ReadFileLine() {
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

bool TemplateReader::Unreadable(std::string_view literal, const char* conversion) const {
  std::fprintf(stderr, "Error:VORN:ReadInput: Line %u does not read as '%.*s%s' in %s\n", fileLine_,
               static_cast<int>(literal.size()), literal.data(), conversion, item_);
  return false;
}

FilePtr OpenNamedInput(const std::string& name, const std::string& projectName, std::string* opened) {
  FilePtr file = OpenFile(name, "r");
  const std::size_t slash = projectName.find_last_of('/');
  if (opened) *opened = name;
  if (file || name.empty() || name[0] == '/' || slash == std::string::npos) return file;
  const std::string beside = projectName.substr(0, slash + 1) + name;
  if (opened) *opened = beside;
  return OpenFile(beside, "r");
}

FilePtr OpenReadInput(TemplateReader& in, const std::string& name, const std::string& projectName, bool* refused) {
  std::string opened;
  FilePtr file = OpenNamedInput(name, projectName, &opened);
  *refused = false;
  if (!file) return file;
  FileIdentity identity;
  if (!InspectInput(file.get(), opened, "ReadInput", &identity)) {
    *refused = true;
    return FilePtr();
  }
  in.NoteFileRead(identity);
  return file;
}

void PrintUnrecognized(std::string_view word, const char* tail) {
  std::fprintf(stderr, "Error:VORN:ReadInput: %.*s. Unrecognized keyword in %s", static_cast<int>(word.size()),
               word.data(), tail);
}

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

bool FirstListToken(const TemplateReader& in, const std::string& tail, std::string_view* token) {
  if (in.HasToken(2) && !EndsList(in.TokenAt(2))) {
    *token = in.TokenAt(2);
    return true;
  }
  std::fprintf(stderr, "Error:VORN:ReadInput: Numerical input is expected after %s\n", tail.c_str());
  return false;
}

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

}  // namespace control_file
}  // namespace vorn
