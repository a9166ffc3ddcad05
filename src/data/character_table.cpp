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
#include "data/text_io.h"

namespace vorn {
namespace {

constexpr std::uint8_t kNotAValue = 255;
constexpr int kShownCellLength = 32;
constexpr std::uint64_t kMaxSites = std::numeric_limits<std::uint32_t>::max();

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsBlankLine(std::string_view line) { return std::all_of(line.begin(), line.end(), IsBlank); }

bool EqualsIgnoringCase(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != lower[i]) return false;
  }
  return true;
}

// The file's lines, numbered from 1, without their line ends (a DOS carriage return goes too) and
// without the byte-order mark a spreadsheet may put before the first.
class TableLines {
 public:
  TableLines(std::FILE* file, const std::string& tableName) : file_(file), tableName_(tableName) {}

  // False at the end of the file, or after the message about a line too long (failed() then).
  bool Next(std::string& line) {
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

  // The next line that holds more than blanks.
  bool NextFilled(std::string& line) {
    while (Next(line)) {
      if (!IsBlankLine(line)) return true;
    }
    return false;
  }

  unsigned number() const { return number_; }
  bool failed() const { return failed_; }

 private:
  std::FILE* file_;
  const std::string& tableName_;
  unsigned number_ = 0;
  bool failed_ = false;
};

std::string Shown(std::string_view text) {
  return std::string(text.substr(0, kShownCellLength)) + (text.size() > kShownCellLength ? "..." : "");
}

// The cell values of a table: copy numbers (any number of at least 1 is present, 0 absent, with or
// without decimals as spreadsheets export them) and the spellings of an unknown value.
std::uint8_t CellValue(std::string_view cell) {
  if (cell.empty() || cell == "?" || cell == "-" || EqualsIgnoringCase(cell, "na") || EqualsIgnoringCase(cell, "n/a")) {
    return 2;
  }
  const std::size_t point = cell.find('.');
  const std::string_view whole = cell.substr(0, point);
  const std::string_view fraction = point == std::string_view::npos ? std::string_view() : cell.substr(point + 1);
  const auto digits = [](std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (whole.size() + fraction.size() == 0 || !digits(whole) || !digits(fraction)) return kNotAValue;
  const auto zero = [](std::string_view text) { return text.find_first_not_of('0') == std::string_view::npos; };
  if (!zero(whole)) return 1;
  return zero(fraction) ? 0 : kNotAValue;  // 0.5 copies is neither
}

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

// The gene of a file without a gene column: the file's name without its folder and extension.
std::string GeneNameOf(const std::string& tableName) {
  const std::size_t slash = tableName.find_last_of('/');
  std::string base = tableName.substr(slash == std::string::npos ? 0 : slash + 1);
  const std::size_t dot = base.find_last_of('.');
  if (dot != std::string::npos && dot > 0) base.erase(dot);
  return base.substr(0, kMaxNameLength);
}

// Maps each name to the position of the tree's leaf of that name. Every mismatch is listed, so a
// user can mend them all at once: leaves without a name, names without a leaf, names given twice.
// `kind` says what carries the names ("column" or "row").
bool MatchLeaves(const std::string& tableName, const PhylogeneticTree& tree, const std::vector<std::string>& names,
                 const char* kind, std::vector<std::uint32_t>& positions) {
  std::unordered_map<std::string_view, std::uint32_t> leafAt;
  for (std::uint32_t j = 0; j < tree.leafCount; ++j) {
    const std::string& name = tree.nodeNames[tree.leafCount - 1 + j];
    if (!leafAt.emplace(name, j).second) {
      std::fprintf(stderr,
                   "Error:VORN:ReadInput: Table '%s' cannot be matched: the tree '%s' has more than one leaf "
                   "named '%s'\n",
                   tableName.c_str(), tree.treeName.c_str(), name.c_str());
      return false;
    }
  }
  std::vector<char> named(tree.leafCount, 0);
  std::string unknown, twice;
  positions.assign(names.size(), 0);
  for (std::size_t i = 0; i < names.size(); ++i) {
    const auto leaf = leafAt.find(names[i]);
    if (leaf == leafAt.end()) {
      unknown += (unknown.empty() ? "'" : ", '") + names[i] + "'";
    } else if (named[leaf->second]) {
      twice += (twice.empty() ? "'" : ", '") + names[i] + "'";
    } else {
      named[leaf->second] = 1;
      positions[i] = leaf->second;
    }
  }
  std::string missing;
  for (std::uint32_t j = 0; j < tree.leafCount; ++j) {
    if (!named[j]) missing += (missing.empty() ? "'" : ", '") + tree.nodeNames[tree.leafCount - 1 + j] + "'";
  }
  if (missing.empty() && unknown.empty() && twice.empty()) return true;
  std::string problems;
  const auto add = [&problems](const std::string& what, const std::string& list) {
    if (!list.empty()) problems += (problems.empty() ? "" : "; ") + what + list;
  };
  add(std::string("no ") + kind + " for the leaves ", missing);
  add(std::string("no leaf for the ") + kind + "s ", unknown);
  add(std::string("more than one ") + kind + " for ", twice);
  std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' does not match the leaves of the tree '%s': %s\n",
               tableName.c_str(), tree.treeName.c_str(), problems.c_str());
  return false;
}

// Adds the sites of rows given per name (values 0, 1, 2; all rows of equal length) to gene 0.
void AddRows(const std::vector<std::string>& rows, const std::vector<std::uint32_t>& positions,
             std::uint32_t leafCount, AlignmentData& data) {
  std::vector<std::uint8_t> values(leafCount);
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
bool AddSequenceRows(const std::string& tableName, const PhylogeneticTree& tree, const std::vector<std::string>& names,
                     const std::vector<std::string>& rows, AlignmentData& data) {
  for (std::size_t r = 1; r < rows.size(); ++r) {
    if (rows[r].size() != rows[0].size()) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s': the row of '%s' holds %zu values where the row of '%s' "
                           "holds %zu\n",
                   tableName.c_str(), names[r].c_str(), rows[r].size(), names[0].c_str(), rows[0].size());
      return false;
    }
  }
  std::vector<std::uint32_t> positions;
  if (!MatchLeaves(tableName, tree, names, "row", positions)) return false;
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

bool ReadFasta(TableLines& lines, std::string line, const std::string& tableName, const PhylogeneticTree& tree,
               AlignmentData& data) {
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
  return !lines.failed() && AddSequenceRows(tableName, tree, names, rows, data);
}

bool ReadPhylip(TableLines& lines, std::uint64_t rowCount, std::uint64_t siteCount, const std::string& tableName,
                const PhylogeneticTree& tree, AlignmentData& data) {
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
  return AddSequenceRows(tableName, tree, names, rows, data);
}

// The separator the first line of a table holds most of, outside quotes; ties go to tab, then
// semicolon. 0 when it holds none.
char DetectDelimiter(std::string_view header) {
  std::size_t tabs = 0, semicolons = 0, commas = 0;
  bool quoted = false;
  for (char c : header) {
    if (c == '"') quoted = !quoted;
    if (quoted) continue;
    tabs += c == '\t';
    semicolons += c == ';';
    commas += c == ',';
  }
  if (tabs + semicolons + commas == 0) return 0;
  if (tabs >= semicolons && tabs >= commas) return '\t';
  return semicolons >= commas ? ';' : ',';
}

// Splits one record of a delimited table into cells, as spreadsheets write them: a cell that
// begins with a double quote runs to the next lone one and may hold separators, line ends and
// doubled quotes ("" for "); other cells lose their surrounding blanks. `line` is the record's
// first line; a quoted cell left open at a line's end takes in the next one.
bool SplitRecord(TableLines& lines, std::string& line, char delimiter, const std::string& tableName,
                 std::vector<std::string>& cells) {
  const unsigned firstLine = lines.number();
  cells.clear();
  std::string cell;
  bool inQuotes = false, wasQuoted = false, afterQuote = false;
  const auto finish = [&]() {
    if (!wasQuoted) {
      const auto blank = [delimiter](char c) { return c == ' ' || (c == '\t' && delimiter != '\t'); };
      std::size_t end = cell.size();
      while (end > 0 && blank(cell[end - 1])) --end;
      std::size_t start = 0;
      while (start < end && blank(cell[start])) ++start;
      cell = cell.substr(start, end - start);
    }
    cells.push_back(std::move(cell));
    cell.clear();
    inQuotes = wasQuoted = afterQuote = false;
  };
  for (;;) {
    for (std::size_t i = 0; i < line.size(); ++i) {
      const char c = line[i];
      if (inQuotes) {
        if (c != '"') {
          cell.push_back(c);
        } else if (i + 1 < line.size() && line[i + 1] == '"') {
          cell.push_back('"');
          ++i;
        } else {
          inQuotes = false;
          afterQuote = true;
        }
      } else if (c == delimiter) {
        finish();
      } else if (afterQuote) {
        if (!IsBlank(c)) {
          std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' line %u, column %zu: text after a closing quote\n",
                       tableName.c_str(), lines.number(), cells.size() + 1);
          return false;
        }
      } else if (c == '"' && !wasQuoted && IsBlankLine(cell)) {
        inQuotes = wasQuoted = true;
        cell.clear();
      } else {
        cell.push_back(c);
      }
    }
    if (!inQuotes) break;
    cell.push_back('\n');
    if (!lines.Next(line)) {
      if (!lines.failed()) {
        std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' line %u: a quoted cell is not closed\n",
                     tableName.c_str(), firstLine);
      }
      return false;
    }
  }
  finish();
  for (std::size_t k = 0; k < cells.size(); ++k) {
    if (cells[k].size() > kMaxNameLength) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' line %u, column %zu holds more than %zu characters\n",
                   tableName.c_str(), firstLine, k + 1, kMaxNameLength);
      return false;
    }
  }
  return true;
}

bool ReadDelimited(TableLines& lines, std::string line, const std::string& tableName, const PhylogeneticTree& tree,
                   AlignmentData& data) {
  const char delimiter = DetectDelimiter(line);
  if (delimiter == 0) {
    std::fprintf(stderr,
                 "Error:VORN:ReadInput: Table '%s' line %u: the column names are not separated by tabs, commas or "
                 "semicolons\n",
                 tableName.c_str(), lines.number());
    return false;
  }
  std::vector<std::string> header;
  if (!SplitRecord(lines, line, delimiter, tableName, header)) return false;

  // Columns by role: a leaf's name wins over the names of the gene and row-name columns.
  constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  std::size_t geneColumn = kNone;
  std::vector<std::size_t> leafColumns;
  std::vector<std::string> leafNames;
  std::unordered_map<std::string_view, char> isLeaf;
  for (std::uint32_t j = 0; j < tree.leafCount; ++j) isLeaf.emplace(tree.nodeNames[tree.leafCount - 1 + j], 1);
  for (std::size_t k = 0; k < header.size(); ++k) {
    const std::string& name = header[k];
    if (isLeaf.count(name) == 0) {
      if (k == 0 && (name.empty() || EqualsIgnoringCase(name, "id") || EqualsIgnoringCase(name, "site") ||
                     EqualsIgnoringCase(name, "family"))) {
        continue;
      }
      if (EqualsIgnoringCase(name, "gene") && geneColumn == kNone) {
        geneColumn = k;
        continue;
      }
      if (name.empty()) {
        std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' line %u: column %zu has no name\n", tableName.c_str(),
                     lines.number(), k + 1);
        return false;
      }
    }
    leafColumns.push_back(k);
    leafNames.push_back(name);
  }
  std::vector<std::uint32_t> positions;
  if (!MatchLeaves(tableName, tree, leafNames, "column", positions)) return false;

  std::unordered_map<std::string, std::uint32_t> geneIndex;
  std::vector<std::uint8_t> values(tree.leafCount);
  std::vector<std::string> cells;
  std::uint64_t sites = 0;
  while (lines.Next(line)) {
    if (!SplitRecord(lines, line, delimiter, tableName, cells)) return false;
    if (std::all_of(cells.begin(), cells.end(), [](const std::string& cell) { return cell.empty(); })) continue;
    const unsigned row = lines.number();
    if (cells.size() != header.size()) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' line %u holds %zu cells where the first line has %zu\n",
                   tableName.c_str(), row, cells.size(), header.size());
      return false;
    }
    for (std::size_t i = 0; i < leafColumns.size(); ++i) {
      const std::string& cell = cells[leafColumns[i]];
      const std::uint8_t value = CellValue(cell);
      if (value == kNotAValue) {
        std::fprintf(stderr,
                     "Error:VORN:ReadInput: Table '%s' line %u, column %zu ('%s'): '%s' is neither a number of copies "
                     "(0 for absent) nor unknown (?, -, NA, N/A or empty)\n",
                     tableName.c_str(), row, leafColumns[i] + 1, leafNames[i].c_str(), Shown(cell).c_str());
        return false;
      }
      values[positions[i]] = value;
    }
    if (++sites > kMaxSites) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' holds more than %llu sites\n", tableName.c_str(),
                   static_cast<unsigned long long>(kMaxSites));
      return false;
    }
    std::uint32_t gene = 0;
    if (geneColumn != kNone) {
      const std::string& name = cells[geneColumn];
      if (name.empty()) {
        std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' line %u: the gene cell is empty\n", tableName.c_str(),
                     row);
        return false;
      }
      const auto found = geneIndex.find(name);
      gene = found != geneIndex.end() ? found->second : (geneIndex[name] = data.AddGene(name));
    } else if (data.geneCount == 0) {
      data.AddGene(GeneNameOf(tableName));
    }
    data.AddSite(values.data(), gene);
  }
  if (lines.failed()) return false;
  if (sites == 0) {
    std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' holds no sites\n", tableName.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool ReadCharacterTable(std::FILE* file, const std::string& tableName, const PhylogeneticTree& tree,
                        AlignmentData& data) {
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
    read = ReadFasta(lines, first, tableName, tree, data);
  } else if (tokens.size() == 2 && first.find_first_of(",;") == std::string::npos &&
             ParseUnsigned(tokens[0], kMaxSites, &rowCount) && ParseUnsigned(tokens[1], kMaxSites, &siteCount)) {
    read = ReadPhylip(lines, rowCount, siteCount, tableName, tree, data);
  } else {
    read = ReadDelimited(lines, first, tableName, tree, data);
  }
  if (!read) return false;
  data.OrderEntriesByPattern();
  return true;
}

}  // namespace vorn
