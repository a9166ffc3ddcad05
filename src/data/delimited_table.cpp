// A table of named columns as spreadsheets and the tools of the field write them: copy numbers
// (OrthoFinder's GeneCount, CAFE, Count, Panaroo's and Roary's .Rtab) or gene names in the cells
// (Roary's and Panaroo's gene_presence_absence.csv, OrthoFinder's Orthogroups.tsv and N0.tsv).
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "data/alignment_data.h"
#include "data/c_file.h"
#include "data/phylogenetic_tree.h"
#include "data/table_reading.h"

namespace vorn {
namespace table_reading {
namespace {

constexpr std::uint64_t kMaxSites = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// Columns of those tools that describe a row rather than a leaf: row names, totals, annotations.
const char* const kMetadataColumns[] = {
    // OrthoFinder
    "orthogroup", "hog", "og", "gene tree parent clade", "total",
    // CAFE and Count
    "desc", "description", "family id", "id", "family",
    // Roary and Panaroo
    "gene", "non-unique gene name", "annotation", "no. isolates", "no. sequences", "avg sequences per isolate",
    "genome fragment", "order within fragment", "accessory fragment", "accessory order with fragment", "qc",
    "min group size nuc", "max group size nuc", "avg group size nuc"};

bool IsMetadata(std::string_view name) {
  return std::any_of(std::begin(kMetadataColumns), std::end(kMetadataColumns),
                     [name](const char* known) { return EqualsIgnoringCase(name, known); });
}

// What a cell says before the table's form is known: an empty cell is unknown in a table of copy
// numbers and absent in a table of gene names.
enum CellKind : std::uint8_t { kAbsentCell = 0, kPresentCell = 1, kUnknownCell = 2, kEmptyCell, kTextCell };

// A decimal number, as spreadsheets export them: sign, digits, a fraction, an exponent. Only its
// sign matters (-1, 0 or 1), which its digits tell without converting it: it is 0 exactly when
// every digit before the exponent is 0.
bool IsNumber(std::string_view cell, int* sign) {
  std::size_t i = 0, digits = 0;
  bool nonzero = false;
  const bool negative = !cell.empty() && cell[0] == '-';
  if (i < cell.size() && (cell[i] == '+' || cell[i] == '-')) ++i;
  auto takeDigits = [&]() {
    for (; i < cell.size() && std::isdigit(static_cast<unsigned char>(cell[i])); ++i, ++digits) {
      nonzero = nonzero || cell[i] != '0';
    }
  };
  takeDigits();
  if (i < cell.size() && cell[i] == '.') {
    ++i;
    takeDigits();
  }
  if (digits == 0) return false;
  if (i < cell.size() && (cell[i] == 'e' || cell[i] == 'E')) {
    std::size_t exponent = 0;
    if (++i < cell.size() && (cell[i] == '+' || cell[i] == '-')) ++i;
    for (; i < cell.size() && std::isdigit(static_cast<unsigned char>(cell[i])); ++i) ++exponent;
    if (exponent == 0) return false;
  }
  if (i != cell.size()) return false;
  *sign = !nonzero ? 0 : negative ? -1 : 1;
  return true;
}

bool IsUnknownMark(std::string_view cell) {
  return cell == "?" || cell == "-" || EqualsIgnoringCase(cell, "na") || EqualsIgnoringCase(cell, "n/a");
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
  return true;
}

// Names are held to 255 characters; the cells of leaves and of skipped columns (annotations, lists
// of gene names) may be as long as a line.
bool CheckNameCell(const std::string& tableName, unsigned line, std::size_t column, const std::string& cell) {
  if (cell.size() <= kMaxNameLength) return true;
  std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' line %u, column %zu holds more than %zu characters\n",
               tableName.c_str(), line, column + 1, kMaxNameLength);
  return false;
}

// What each column of the header is. A leaf's name wins over every other role; the first column
// names the rows whatever its header says; the gene column is the one the settings name, or else
// a later column headed "gene"; the known columns of the tools are skipped.
struct Columns {
  std::size_t gene = kNone;
  bool rowNames = false;  // the first column names the rows
  std::vector<std::size_t> leaves;
  std::vector<std::string> leafNames;
  std::string skipped;  // for the notice
};

bool SortColumns(const std::vector<std::string>& header, const std::string& tableName, unsigned line,
                 const ReaderSettings& reader, const PhylogeneticTree& tree, Columns* columns) {
  std::unordered_map<std::string_view, char> isLeaf;
  for (std::uint32_t j = 0; j < tree.leafCount; ++j) isLeaf.emplace(tree.nodeNames[tree.leafCount - 1 + j], 1);
  const bool named = !reader.geneColumn.empty();
  for (std::size_t k = 0; k < header.size(); ++k) {
    const std::string& name = header[k];
    if (!CheckNameCell(tableName, line, k, name)) return false;
    const bool leaf = isLeaf.count(name) != 0;
    if (!leaf && named && name == reader.geneColumn && columns->gene == kNone) {
      columns->gene = k;
    } else if (!leaf && k == 0) {
      columns->rowNames = true;
      // Today's row-name headers were always skipped without a word.
      if (!(name.empty() || EqualsIgnoringCase(name, "id") || EqualsIgnoringCase(name, "site") ||
            EqualsIgnoringCase(name, "family"))) {
        columns->skipped = "'" + name + "' (row names)";
      }
    } else if (!leaf && !named && EqualsIgnoringCase(name, "gene") && columns->gene == kNone) {
      columns->gene = k;
    } else if (!leaf && IsMetadata(name)) {
      columns->skipped += (columns->skipped.empty() ? "'" : ", '") + name + "'";
    } else if (!leaf && name.empty()) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' line %u: column %zu has no name\n", tableName.c_str(),
                   line, k + 1);
      return false;
    } else {
      columns->leaves.push_back(k);
      columns->leafNames.push_back(name);
    }
  }
  if (named && columns->gene == kNone) {
    std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' has no column '%s', which the setting 'gene column' names\n",
                 tableName.c_str(), reader.geneColumn.c_str());
    return false;
  }
  return true;
}

// The rows of a table, held until the table's form is known, which any one cell of a gene name
// settles: per row the kind of each leaf's cell, and the row's gene.
struct HeldRows {
  std::vector<std::uint8_t> kinds;
  std::vector<std::uint32_t> genes;
  std::vector<std::string> names;  // the rows' names, when the first column holds them
  std::string firstText;  // where the first gene name stands, for the notice
};

bool ReadRows(TableLines& lines, char delimiter, const std::string& tableName, std::size_t width,
              const Columns& columns, AlignmentData& data, HeldRows* held) {
  std::unordered_map<std::string, std::uint32_t> geneIndex;
  std::vector<std::string> cells;
  std::string line;
  while (lines.Next(line)) {
    // Count's tables end with a comment line ("#NFAM ..."); no tool starts a row name with "#".
    if (!line.empty() && line[0] == '#') continue;
    if (!SplitRecord(lines, line, delimiter, tableName, cells)) return false;
    if (std::all_of(cells.begin(), cells.end(), [](const std::string& cell) { return cell.empty(); })) continue;
    const unsigned row = lines.number();
    if (cells.size() != width) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' line %u holds %zu cells where the first line has %zu\n",
                   tableName.c_str(), row, cells.size(), width);
      return false;
    }
    for (std::size_t i = 0; i < columns.leaves.size(); ++i) {
      const std::string& cell = cells[columns.leaves[i]];
      int sign = 0;
      CellKind kind = kTextCell;
      if (cell.empty()) {
        kind = kEmptyCell;
      } else if (IsUnknownMark(cell)) {
        kind = kUnknownCell;
      } else if (IsNumber(cell, &sign)) {
        if (sign < 0) {
          std::fprintf(stderr,
                       "Error:VORN:ReadInput: Table '%s' line %u, column %zu ('%s'): '%s' is a negative number; a "
                       "cell holds a number of copies (0 for absent), a gene name (present) or unknown (?, -, NA, "
                       "N/A)\n",
                       tableName.c_str(), row, columns.leaves[i] + 1, columns.leafNames[i].c_str(), Shown(cell).c_str());
          return false;
        }
        kind = sign > 0 ? kPresentCell : kAbsentCell;
      } else if (held->firstText.empty()) {
        held->firstText = "line " + std::to_string(row) + ", column " + std::to_string(columns.leaves[i] + 1) + ": '" +
                          Shown(cell) + "'";
      }
      held->kinds.push_back(kind);
    }
    if (held->genes.size() >= kMaxSites) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' holds more than %llu sites\n", tableName.c_str(),
                   static_cast<unsigned long long>(kMaxSites));
      return false;
    }
    std::uint32_t gene = 0;
    if (columns.gene != kNone) {
      const std::string& name = cells[columns.gene];
      if (name.empty()) {
        std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' line %u: the gene cell is empty\n", tableName.c_str(),
                     row);
        return false;
      }
      if (!CheckNameCell(tableName, row, columns.gene, name)) return false;
      const auto found = geneIndex.find(name);
      gene = found != geneIndex.end() ? found->second : (geneIndex[name] = data.AddGene(name));
    } else if (data.geneCount == 0) {
      data.AddGene(GeneNameOf(tableName));
    }
    held->genes.push_back(gene);
    if (columns.rowNames) held->names.push_back(cells[0]);
  }
  return !lines.failed();
}

}  // namespace

bool ReadDelimited(TableLines& lines, std::string line, const std::string& tableName, const ReaderSettings& reader,
                   PhylogeneticTree& tree, AlignmentData& data) {
  const char delimiter = DetectDelimiter(line);
  if (delimiter == 0) {
    std::fprintf(stderr,
                 "Error:VORN:ReadInput: Table '%s' line %u: the column names are not separated by tabs, commas or "
                 "semicolons\n",
                 tableName.c_str(), lines.number());
    return false;
  }
  std::vector<std::string> header;
  const unsigned headerLine = lines.number();
  if (!SplitRecord(lines, line, delimiter, tableName, header)) return false;
  Columns columns;
  if (!SortColumns(header, tableName, headerLine, reader, tree, &columns)) return false;
  std::vector<std::uint32_t> positions;
  if (!MatchLeaves(tableName, tree, columns.leafNames, "column", reader.leavesWithoutData, positions,
                   columns.rowNames ? &header[0] : nullptr)) {
    return false;
  }
  data.PrepareForSimulation(tree.leafCount, 0);
  if (!columns.skipped.empty()) {
    std::printf("Table '%s': the columns %s name no leaf and are skipped\n", tableName.c_str(),
                columns.skipped.c_str());
  }

  HeldRows held;
  if (!ReadRows(lines, delimiter, tableName, header.size(), columns, data, &held)) return false;
  const std::vector<std::uint32_t>& genes = held.genes;
  const std::size_t width = columns.leaves.size();
  if (genes.empty()) {
    std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' holds no sites\n", tableName.c_str());
    return false;
  }
  const bool names = !held.firstText.empty();
  if (names) {
    std::printf("Table '%s' holds gene names in its cells (the first on %s): a cell with a name or a number above 0 "
                "is present, an empty one or 0 absent\n",
                tableName.c_str(), held.firstText.c_str());
  }
  // A leaf without a column (leaves without data: unknown) keeps the unknown value at every site.
  std::vector<std::uint8_t> values(tree.leafCount, 2);
  data.recordSites = true;
  data.siteNames = std::move(held.names);
  for (std::size_t r = 0; r < genes.size(); ++r) {
    for (std::size_t i = 0; i < width; ++i) {
      const std::uint8_t kind = held.kinds[r * width + i];
      values[positions[i]] = kind == kTextCell ? 1 : kind == kEmptyCell ? (names ? 0 : 2) : kind;
    }
    data.AddSite(values.data(), genes[r]);
  }
  return true;
}

}  // namespace table_reading
}  // namespace vorn
