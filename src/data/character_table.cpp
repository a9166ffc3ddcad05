// FASTA, PHYLIP and table input turned into the genes' patterns.
#include "data/character_table.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "data/alignment_data.h"
#include "data/c_file.h"
#include "data/phylogenetic_tree.h"
#include "data/table_reading.h"
#include "data/text_io.h"

namespace vorn {
namespace table_reading {

constexpr int kShownCellLength = 32;

bool IsBlankLine(std::string_view line) { return std::all_of(line.begin(), line.end(), IsBlank); }

bool EqualsIgnoringCase(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != lower[i]) return false;
  }
  return true;
}

std::string Shown(std::string_view text) {
  return std::string(text.substr(0, kShownCellLength)) + (text.size() > kShownCellLength ? "..." : "");
}

std::string GeneNameOf(const std::string& tableName) {
  const std::size_t slash = tableName.find_last_of('/');
  std::string base = tableName.substr(slash == std::string::npos ? 0 : slash + 1);
  const std::size_t dot = base.find_last_of('.');
  if (dot != std::string::npos && dot > 0) base.erase(dot);
  return base.substr(0, kMaxNameLength);
}

bool TableLines::Next(std::string& line) {
  bool tooLong = false;
  if (!ReadLine(file_, line, kMaxTableLineLength, &tooLong)) return false;
  ++number_;
  if (tooLong) {
    std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' line %u is longer than %zu characters\n",
                 tableName_.c_str(), number_, kMaxTableLineLength);
    failed_ = true;
    return false;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (number_ == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
  return true;
}

bool TableLines::NextFilled(std::string& line) {
  while (Next(line)) {
    if (!IsBlankLine(line)) return true;
  }
  return false;
}

}  // namespace table_reading

namespace {

using namespace table_reading;

constexpr std::uint8_t kNotAValue = 255;
constexpr std::uint64_t kMaxSites = std::numeric_limits<std::uint32_t>::max();

std::uint8_t SequenceValue(char c) {
  switch (c) {
    case '0':
      return 0;
    case '1':
      return 1;
    case '?':
    case '-':
      return 2;
    default:
      return kNotAValue;
  }
}

// Adds the sites of rows given per name (values 0, 1, 2; all rows of equal length) to gene 0.
void AddRows(const std::vector<std::string>& rows, const std::vector<std::uint32_t>& positions,
             std::uint32_t leafCount, AlignmentData& data) {
  std::vector<std::uint8_t> values(leafCount, 2);  // unknown for a leaf without a row
  data.recordSites = true;
  for (std::size_t s = 0; s < rows[0].size(); ++s) {
    for (std::size_t r = 0; r < rows.size(); ++r) values[positions[r]] = static_cast<std::uint8_t>(rows[r][s]);
    data.AddSite(values.data(), 0);
  }
}

// Appends the values of `text` to a row of FASTA or PHYLIP, blanks skipped.
bool AppendSequence(std::string_view text, const std::string& tableName, unsigned line, const std::string& name,
                    std::string& row) {
  for (char c : text) {
    if (IsBlank(c)) continue;
    const std::uint8_t value = SequenceValue(c);
    if (value == kNotAValue) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' line %u: '%c' in the row of '%s' is not 0, 1, ? or -\n",
                   tableName.c_str(), line, c, name.c_str());
      return false;
    }
    row.push_back(static_cast<char>(value));
  }
  return true;
}

// The rows of FASTA or PHYLIP, checked for equal lengths and matched to the leaves, as one gene.
bool AddSequenceRows(const std::string& tableName, LeavesWithoutData mode, PhylogeneticTree& tree,
                     const std::vector<std::string>& names, const std::vector<std::string>& rows, AlignmentData& data) {
  for (std::size_t r = 1; r < rows.size(); ++r) {
    if (rows[r].size() != rows[0].size()) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s': the row of '%s' holds %zu values where the row of '%s' "
                           "holds %zu\n",
                   tableName.c_str(), names[r].c_str(), rows[r].size(), names[0].c_str(), rows[0].size());
      return false;
    }
  }
  std::vector<std::uint32_t> positions;
  if (!MatchLeaves(tableName, tree, names, "row", mode, positions)) return false;
  data.PrepareForSimulation(tree.leafCount, 0);
  if (rows[0].empty()) {
    std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' holds no sites\n", tableName.c_str());
    return false;
  }
  if (rows[0].size() > kMaxSites) {
    std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' holds more than %llu sites\n", tableName.c_str(),
                 static_cast<unsigned long long>(kMaxSites));
    return false;
  }
  data.AddGene(GeneNameOf(tableName));
  AddRows(rows, positions, tree.leafCount, data);
  return true;
}

bool CheckName(const std::string& tableName, unsigned line, const std::string& name) {
  if (name.empty()) {
    std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' line %u: a row without a name\n", tableName.c_str(), line);
    return false;
  }
  if (name.size() > kMaxNameLength) {
    std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' line %u: the name '%s' is longer than %zu characters\n",
                 tableName.c_str(), line, Shown(name).c_str(), kMaxNameLength);
    return false;
  }
  return true;
}

bool ReadFasta(TableLines& lines, std::string line, const std::string& tableName, LeavesWithoutData mode,
               PhylogeneticTree& tree, AlignmentData& data) {
  std::vector<std::string> names, rows;
  do {
    if (line[0] == '>') {
      const std::string_view rest = std::string_view(line).substr(1);
      const std::size_t start = std::min(rest.find_first_not_of(" \t"), rest.size());
      const std::size_t end = std::min(rest.find_first_of(" \t", start), rest.size());
      names.emplace_back(rest.substr(start, end - start));
      rows.emplace_back();
      if (!CheckName(tableName, lines.number(), names.back())) return false;
    } else if (!AppendSequence(line, tableName, lines.number(), names.back(), rows.back())) {
      return false;
    }
  } while (lines.NextFilled(line));
  return !lines.failed() && AddSequenceRows(tableName, mode, tree, names, rows, data);
}

bool ReadPhylip(TableLines& lines, std::uint64_t rowCount, std::uint64_t siteCount, const std::string& tableName,
                LeavesWithoutData mode, PhylogeneticTree& tree, AlignmentData& data) {
  std::vector<std::string> names, rows;
  std::string line;
  while (names.size() < rowCount && lines.NextFilled(line)) {
    const std::size_t start = line.find_first_not_of(" \t");
    const std::size_t end = std::min(line.find_first_of(" \t", start), line.size());
    names.push_back(line.substr(start, end - start));
    rows.emplace_back();
    if (!CheckName(tableName, lines.number(), names.back()) ||
        !AppendSequence(std::string_view(line).substr(end), tableName, lines.number(), names.back(), rows.back())) {
      return false;
    }
    // A row may go on over the next lines until it holds every site.
    while (rows.back().size() < siteCount && lines.NextFilled(line)) {
      if (!AppendSequence(line, tableName, lines.number(), names.back(), rows.back())) return false;
    }
    if (lines.failed()) return false;
    if (rows.back().size() != siteCount) {
      std::fprintf(stderr,
                   "Error:VORN:ReadInput: Table '%s' line %u: the row of '%s' holds %zu values where the first line "
                   "announces %llu\n",
                   tableName.c_str(), lines.number(), names.back().c_str(), rows.back().size(),
                   static_cast<unsigned long long>(siteCount));
      return false;
    }
  }
  if (lines.failed()) return false;
  if (names.size() < rowCount) {
    std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' holds %zu rows where its first line announces %llu\n",
                 tableName.c_str(), names.size(), static_cast<unsigned long long>(rowCount));
    return false;
  }
  if (lines.NextFilled(line)) {
    std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' line %u: more rows than the %llu its first line announces\n",
                 tableName.c_str(), lines.number(), static_cast<unsigned long long>(rowCount));
    return false;
  }
  if (lines.failed()) return false;
  if (names.empty()) {
    std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' holds no rows\n", tableName.c_str());
    return false;
  }
  return AddSequenceRows(tableName, mode, tree, names, rows, data);
}

}  // namespace

bool ReadCharacterTable(std::FILE* file, const std::string& tableName, const ReaderSettings& reader,
                        PhylogeneticTree& tree, AlignmentData& data) {
  data.PrepareForSimulation(tree.leafCount, 0);
  TableLines lines(file, tableName);
  std::string first;
  if (!lines.NextFilled(first)) {
    if (!lines.failed()) std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' is empty\n", tableName.c_str());
    return false;
  }
  bool read = false;
  const std::vector<std::string_view> tokens = Tokenize(first);
  unsigned long long rowCount = 0, siteCount = 0;
  if (first[0] == '>') {
    read = ReadFasta(lines, first, tableName, reader.leavesWithoutData, tree, data);
  } else if (tokens.size() == 2 && first.find_first_of(",;") == std::string::npos &&
             ParseUnsigned(tokens[0], kMaxSites, &rowCount) && ParseUnsigned(tokens[1], kMaxSites, &siteCount)) {
    read = ReadPhylip(lines, rowCount, siteCount, tableName, reader.leavesWithoutData, tree, data);
  } else {
    read = ReadDelimited(lines, first, tableName, reader, tree, data);
  }
  if (!read) return false;
  data.OrderEntriesByPattern();
  return true;
}

}  // namespace vorn
