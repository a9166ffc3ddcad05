#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "data/c_file.h"
#include "data/file_identity.h"

// The pieces every section reader of the control file shares: the line reader that knows its
// place in the 52-line template, keyword matching, the numbers and value lists of the model and
// initialization lines, and the files the reader opens. Internal to the input folder.
namespace vorn {

namespace control_file {

constexpr int kLastLine = 52;

// What each line of the template holds, for the messages about missing or unreadable lines.
const char* LineItem(int line);

// A word matches a keyword when its first k characters are the keyword's.
inline bool Keyword(std::string_view word, std::string_view keyword) {
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
  bool MatchLiteral(std::string_view literal, std::string_view* rest) const;

  // "<literal>%s": the first word after the literal.
  bool ReadWord(std::string_view literal, std::string* word);
  // The blank-separated words after the literal; at least one, else the line is unreadable as
  // "<literal><conversion>".
  bool ReadWords(std::string_view literal, const char* conversion, std::vector<std::string_view>* words);
  bool ReadDouble(std::string_view literal, double* value) { return ReadDoubles(literal, value, 1); }
  // "<literal>%lg" (count 1) or "<literal>%lg %lg" (count 2).
  bool ReadDoubles(std::string_view literal, double* values, int count);
  bool ReadInt(std::string_view literal, int* value);
  bool ReadUnsigned(std::string_view literal, std::uint32_t* value);

  // Token i of a token line (labels included), or a complaint that the line ends before it.
  bool Token(std::size_t i, std::string_view* token) const {
    if (i < tokens_.size()) {
      *token = tokens_[i];
      return true;
    }
    return MissingValue();
  }

  bool MissingValue() const;

  bool HasToken(std::size_t i) const { return i < tokens_.size(); }
  std::string_view TokenAt(std::size_t i) const { return tokens_[i]; }
  std::size_t TokenCount() const { return tokens_.size(); }
  const char* item() const { return item_; }
  unsigned fileLine() const { return fileLine_; }

  // The files the control file led to reading, for the check that no output is one of them.
  const std::vector<FileIdentity>& filesRead() const { return filesRead_; }
  void NoteFileRead(const FileIdentity& file) { filesRead_.push_back(file); }

 private:
  bool ReadFileLine();
  bool Unreadable(std::string_view literal, const char* conversion) const;

  std::FILE* file_;
  std::string line_;
  std::vector<std::string_view> tokens_;
  const char* item_ = "";
  unsigned fileLine_ = 0;
  std::vector<FileIdentity> filesRead_;
};

// "Error:VORN:ReadInput: <word>. Unrecognized keyword in <tail>"; the tail ends the line.
void PrintUnrecognized(std::string_view word, const char* tail);

// Opens a file the control file names: relative to the working directory first, and, when it is not
// there, relative to the control file's folder, the folder part of the project name; so a run
// started from anywhere finds the files that lie beside its control file.
FilePtr OpenNamedInput(const std::string& name, const std::string& projectName, std::string* opened = nullptr);

// OpenNamedInput, then InspectInput, noting the file in `in`. Null when the file is not found
// (the caller says so in its words) or when it is refused (*refused, already reported).
FilePtr OpenReadInput(TemplateReader& in, const std::string& name, const std::string& projectName, bool* refused);

// Values a parameter may take. Anything else would make every probability computed from it
// meaningless, so it is refused where it is read.
enum class Range { kProbability, kNonNegative };

bool CheckRange(double value, Range range, const std::string& where);
bool ParseNumber(std::string_view token, const std::string& where, double* value);
bool ParseValue(std::string_view token, Range range, const std::string& where, double* value);

inline bool EndsList(std::string_view token) { return !token.empty() && token[0] == '%'; }

// The token right after the mode word that opens a value list; "%" or nothing there means the
// list was left out.
bool FirstListToken(const TemplateReader& in, const std::string& tail, std::string_view* token);

// A value list of values.size() entries, ten to a line: the first ten after the mode word, each
// further ten from the first token of the next file line. Entries below checkedFrom (the root's,
// which is discarded) skip the range check. With onlyWhere, an entry is stored only where its
// flag is set (a starting value means nothing for a fixed entry).
bool ReadValueList(TemplateReader& in, std::uint32_t checkedFrom, Range range, const std::string& tail,
                   std::vector<double>& values, const std::vector<std::uint8_t>* onlyWhere);

}  // namespace control_file
}  // namespace vorn
