// The pieces the readers of tables, FASTA and PHYLIP files share: the file's lines, how names meet
// the tree's leaves, and the delimited table itself. Internal to the data folder.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "data/reader_settings.h"

namespace vorn {

class AlignmentData;
class PhylogeneticTree;

namespace table_reading {

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsBlankLine(std::string_view line);
// text in any case against a lower-case word.
bool EqualsIgnoringCase(std::string_view text, std::string_view lower);
// A cell shortened for a message.
std::string Shown(std::string_view text);
// The gene of a file without a gene column: the file's name without its folder and extension.
std::string GeneNameOf(const std::string& tableName);

// The file's lines, numbered from 1, without their line ends (a DOS carriage return goes too) and
// without the byte-order mark a spreadsheet may put before the first.
class TableLines {
 public:
  TableLines(std::FILE* file, const std::string& tableName) : file_(file), tableName_(tableName) {}
  // False at the end of the file, or after the message about a line too long (failed() then).
  bool Next(std::string& line);
  // The next line that holds more than blanks.
  bool NextFilled(std::string& line);
  unsigned number() const { return number_; }
  bool failed() const { return failed_; }

 private:
  std::FILE* file_;
  const std::string& tableName_;
  unsigned number_ = 0;
  bool failed_ = false;
};

// Maps each name to the position of the tree's leaf of that name. Every mismatch is listed, so a
// user can mend them all at once: leaves without a name, names without a leaf, names given twice,
// and the likely pairs among them (names that differ in case, blanks against underscores, or a
// suffix after a dot or a bar). `kind` says what carries the names ("column" or "row"). Leaves
// without a name are an error, or, as the settings say, left unknown (no position names them) or
// pruned from the tree, with a warning; positions are then those of the pruned tree. rowNames,
// when given, is the header of a first column taken for the row names, offered as a likely pair.
bool MatchLeaves(const std::string& tableName, PhylogeneticTree& tree, const std::vector<std::string>& names,
                 const char* kind, LeavesWithoutData mode, std::vector<std::uint32_t>& positions,
                 const std::string* rowNames = nullptr);

// A table of named columns (delimited_table.cpp), from its first line on.
bool ReadDelimited(TableLines& lines, std::string line, const std::string& tableName, const ReaderSettings& reader,
                   PhylogeneticTree& tree, AlignmentData& data);

}  // namespace table_reading
}  // namespace vorn
