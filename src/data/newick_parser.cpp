#include "data/newick_parser.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace vorn {
namespace {

bool TreeError(const std::string& treeName, const char* reason) {
  std::fprintf(stderr, "Error:VORN:ReadInput: the phylogenetic tree '%s' %s\n", treeName.c_str(), reason);
  return false;
}

bool IsWhiteSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsDelimiter(char c) { return c == '(' || c == ')' || c == ',' || c == ';'; }

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsWhiteSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsWhiteSpace(text.back())) text.remove_suffix(1);
  return text;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// A bracketed comment starting at text[pos] == '['; brackets nest. Advances pos past it.
bool SkipComment(std::string_view text, std::size_t& pos, const std::string& treeName, std::string* comment) {
  const std::size_t begin = ++pos;
  int depth = 1;
  for (; pos < text.size(); ++pos) {
    if (text[pos] == '[') ++depth;
    if (text[pos] == ']' && --depth == 0) break;
  }
  if (pos == text.size()) return TreeError(treeName, "has a comment ('[') that is not closed");
  if (comment) {
    if (!comment->empty()) *comment += '\n';
    comment->append(text.substr(begin, pos - begin));
  }
  ++pos;
  return true;
}

// A label in single quotes starting at text[pos] == '\''; '' inside stands for one quote.
bool TakeQuoted(std::string_view text, std::size_t& pos, const std::string& treeName, std::string* out) {
  for (++pos; pos < text.size(); ++pos) {
    if (text[pos] != '\'') {
      out->push_back(text[pos]);
    } else if (pos + 1 < text.size() && text[pos + 1] == '\'') {
      out->push_back('\'');
      ++pos;
    } else {
      ++pos;
      return true;
    }
  }
  return TreeError(treeName, "has a quoted label that is not closed");
}

bool SkipBlanksAndComments(std::string_view text, std::size_t& pos, const std::string& treeName,
                           std::string* comments) {
  while (pos < text.size()) {
    if (IsWhiteSpace(text[pos])) {
      ++pos;
    } else if (text[pos] == '[') {
      if (!SkipComment(text, pos, treeName, comments)) return false;
    } else {
      break;
    }
  }
  return true;
}

// The label after a leaf's start or a closing parenthesis, up to the next delimiter. The name and
// the length split at the last colon outside quotes, as unquoted names may hold colons; a quoted
// name stands alone before it.
bool ReadLabel(std::string_view text, std::size_t& pos, const std::string& treeName, NestedNode* node) {
  constexpr char kQuotedName = '\x01';  // where the quoted name stood in the unquoted text
  std::string raw, quotedName;
  bool quoted = false;
  node->at = pos;
  while (pos < text.size() && !IsDelimiter(text[pos])) {
    const char c = text[pos];
    if (c == '[') {
      if (!SkipComment(text, pos, treeName, &node->comments)) return false;
    } else if (c == '\'' && !quoted && Trimmed(raw).empty()) {
      if (!TakeQuoted(text, pos, treeName, &quotedName)) return false;
      quoted = true;
      raw.push_back(kQuotedName);
    } else {
      raw.push_back(c);
      ++pos;
    }
  }
  const std::size_t colon = raw.rfind(':');
  const std::string_view name = Trimmed(std::string_view(raw).substr(0, colon == std::string::npos ? raw.size() : colon));
  if (quoted) {
    if (name.size() != 1 || name[0] != kQuotedName) return TreeError(treeName, "has text beside a quoted label");
    node->name = quotedName;
    node->quoted = true;
  } else {
    node->name = std::string(name);
  }
  if (colon != std::string::npos) {
    node->hasLength = true;
    node->lengthText = std::string(Trimmed(std::string_view(raw).substr(colon + 1)));
  }
  return true;
}

RootFlag FlagOf(std::string_view comments) {
  RootFlag flag = RootFlag::kNone;
  std::size_t at = 0;
  while (at <= comments.size()) {
    const std::size_t end = std::min(comments.find('\n', at), comments.size());
    const std::string_view one = Trimmed(comments.substr(at, end - at));
    if (EqualsIgnoringCase(one, "&R")) flag = RootFlag::kRooted;
    if (EqualsIgnoringCase(one, "&U")) flag = RootFlag::kUnrooted;
    at = end + 1;
  }
  return flag;
}

}  // namespace

bool ParseNewick(std::string_view text, const std::string& treeName, NestedTree* tree, RootFlag* flag) {
  tree->nodes.clear();
  std::size_t pos = 0;
  std::string before;
  if (!SkipBlanksAndComments(text, pos, treeName, &before)) return false;
  *flag = FlagOf(before);
  if (pos == text.size()) return TreeError(treeName, "is empty");
  if (text[pos] != '(') return TreeError(treeName, "has fewer than two leaves");

  std::vector<NestedNode>& nodes = tree->nodes;
  std::vector<std::uint32_t> open;  // the pairs whose ")" is still to come, innermost last
  auto addChild = [&]() {
    const std::uint32_t v = static_cast<std::uint32_t>(nodes.size());
    nodes.emplace_back();
    if (!open.empty()) nodes[open.back()].children.push_back(v);
    return v;
  };
  open.push_back(addChild());
  ++pos;
  bool expectChild = true;
  for (;;) {
    while (pos < text.size() && IsWhiteSpace(text[pos])) ++pos;
    if (expectChild) {
      if (pos < text.size() && text[pos] == '(') {
        open.push_back(addChild());
        ++pos;
        continue;
      }
      const std::uint32_t leaf = addChild();
      if (!ReadLabel(text, pos, treeName, &nodes[leaf])) return false;
      expectChild = false;
      continue;
    }
    if (pos == text.size() || text[pos] == ';') return TreeError(treeName, "has unbalanced parentheses");
    if (text[pos] == '(') return TreeError(treeName, "has a misplaced '('");
    if (text[pos] == ',') {
      ++pos;
      expectChild = true;
      continue;
    }
    ++pos;  // ")"
    const std::uint32_t closed = open.back();
    open.pop_back();
    if (!ReadLabel(text, pos, treeName, &nodes[closed])) return false;
    if (open.empty()) break;
  }
  std::string after;
  if (!SkipBlanksAndComments(text, pos, treeName, &after)) return false;
  if (pos < text.size() && text[pos] == ')') return TreeError(treeName, "has unbalanced parentheses");
  if (pos < text.size() && text[pos] != ';') return TreeError(treeName, "has text after the tree");
  if (pos < text.size()) {
    ++pos;
    if (!SkipBlanksAndComments(text, pos, treeName, &after)) return false;
    if (pos < text.size()) return TreeError(treeName, "has text after ';'");
  }
  return true;
}

bool CommentValue(std::string_view comments, std::string_view key, std::string* value) {
  // Keys start a comment's "&" list or follow one of its commas outside braces and quotes.
  int depth = 0;
  bool quoted = false, atKey = false;
  for (std::size_t i = 0; i < comments.size(); ++i) {
    const char c = comments[i];
    if (quoted) {
      quoted = c != '"';
      continue;
    }
    if (c == '"') quoted = true;
    if (c == '{') ++depth;
    if (c == '}' && depth > 0) --depth;
    if (c == '\n') atKey = false;
    if ((c == '&' || c == ',') && depth == 0) {
      atKey = c == '&' || atKey;
      if (atKey && comments.compare(i + 1, key.size(), key) == 0 && i + 1 + key.size() < comments.size() &&
          comments[i + 1 + key.size()] == '=') {
        std::size_t at = i + 2 + key.size(), end = at;
        if (at < comments.size() && comments[at] == '"') {
          end = comments.find('"', at + 1);
          if (end == std::string_view::npos) return false;
          *value = std::string(comments.substr(at + 1, end - at - 1));
          return true;
        }
        while (end < comments.size() && comments[end] != ',' && comments[end] != '\n') ++end;
        *value = std::string(Trimmed(comments.substr(at, end - at)));
        return true;
      }
    }
  }
  return false;
}

bool IsNexus(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size() && IsWhiteSpace(text[pos])) ++pos;
  return EqualsIgnoringCase(text.substr(pos, 6), "#NEXUS");
}

namespace {

// The commands of a NEXUS file: the text up to each ";" outside quotes and comments.
class NexusCommands {
 public:
  NexusCommands(std::string_view text, const std::string& treeName) : text_(text), treeName_(treeName) {
    pos_ = text.find_first_of("#") + 6;  // past "#NEXUS"
  }
  // False at the end of the file (failed() after a message).
  bool Next(std::string_view* command) {
    const std::size_t begin = pos_;
    while (pos_ < text_.size() && text_[pos_] != ';') {
      if (text_[pos_] == '[') {
        if (!SkipComment(text_, pos_, treeName_, nullptr)) return Fail();
      } else if (text_[pos_] == '\'') {
        std::string ignored;
        if (!TakeQuoted(text_, pos_, treeName_, &ignored)) return Fail();
      } else {
        ++pos_;
      }
    }
    if (pos_ == text_.size()) {
      if (!Trimmed(text_.substr(begin)).empty()) {
        std::size_t at = begin;
        std::string ignored;
        // Only comments and blanks may follow the last command.
        if (!SkipBlanksAndComments(text_, at, treeName_, &ignored) || at != text_.size()) {
          TreeError(treeName_, "has a NEXUS command that does not end with ';'");
          return Fail();
        }
      }
      return false;
    }
    *command = text_.substr(begin, pos_ - begin);
    ++pos_;
    return true;
  }
  bool failed() const { return failed_; }

 private:
  bool Fail() {
    failed_ = true;
    return false;
  }
  std::string_view text_;
  const std::string& treeName_;
  std::size_t pos_ = 0;
  bool failed_ = false;
};

// The next word of a command: a quoted label, or a run of characters up to a blank, a comment or
// one of the punctuation marks "=", ",", "*". Empty at the command's end.
bool NexusWord(std::string_view command, std::size_t& pos, const std::string& treeName, std::string* word) {
  word->clear();
  std::string ignored;
  if (!SkipBlanksAndComments(command, pos, treeName, &ignored)) return false;
  if (pos < command.size() && command[pos] == '\'') return TakeQuoted(command, pos, treeName, word);
  if (pos < command.size() && (command[pos] == '=' || command[pos] == ',' || command[pos] == '*')) {
    word->push_back(command[pos++]);
    return true;
  }
  while (pos < command.size() && !IsWhiteSpace(command[pos]) && command[pos] != '[' && command[pos] != '=' &&
         command[pos] != ',') {
    word->push_back(command[pos++]);
  }
  return true;
}

bool ReadTranslate(std::string_view command, std::size_t pos, const std::string& treeName,
                   std::unordered_map<std::string, std::string>* translate) {
  std::string key, label;
  for (;;) {
    if (!NexusWord(command, pos, treeName, &key)) return false;
    if (key.empty()) return true;
    if (!NexusWord(command, pos, treeName, &label)) return false;
    if (label.empty() || label == ",") return TreeError(treeName, "has a translate entry without a label");
    (*translate)[key] = label;
    std::size_t at = pos;
    std::string comma;
    if (!NexusWord(command, at, treeName, &comma)) return false;
    if (comma == ",") pos = at;
  }
}

}  // namespace

bool FindNexusTree(std::string_view text, const std::string& treeName, const std::string& wanted, NexusTree* tree) {
  NexusCommands commands(text, treeName);
  std::string_view command;
  bool inTrees = false, sawTrees = false, found = false;
  std::vector<std::string> names;
  std::string word;
  while (!found && commands.Next(&command)) {
    std::size_t pos = 0;
    if (!NexusWord(command, pos, treeName, &word)) return false;
    if (EqualsIgnoringCase(word, "begin")) {
      if (!NexusWord(command, pos, treeName, &word)) return false;
      inTrees = EqualsIgnoringCase(word, "trees");
      sawTrees = sawTrees || inTrees;
    } else if (EqualsIgnoringCase(word, "end") || EqualsIgnoringCase(word, "endblock")) {
      inTrees = false;
    } else if (inTrees && EqualsIgnoringCase(word, "translate")) {
      if (!ReadTranslate(command, pos, treeName, &tree->translate)) return false;
    } else if (inTrees && (EqualsIgnoringCase(word, "tree") || EqualsIgnoringCase(word, "utree"))) {
      if (!NexusWord(command, pos, treeName, &word)) return false;
      if (word == "*" && !NexusWord(command, pos, treeName, &word)) return false;
      std::string equals;
      if (!NexusWord(command, pos, treeName, &equals)) return false;
      if (word.empty() || equals != "=") return TreeError(treeName, "has a tree command without 'NAME ='");
      names.push_back(word);
      if (wanted.empty() || EqualsIgnoringCase(word, wanted)) {
        tree->name = word;
        tree->newick = command.substr(pos);
        found = true;
      }
    }
  }
  if (commands.failed()) return false;
  if (found) return true;
  if (!sawTrees) return TreeError(treeName, "is a NEXUS file without a trees block");
  if (names.empty()) return TreeError(treeName, "has a trees block without a tree");
  std::string list;
  for (std::size_t i = 0; i < names.size() && i < 10; ++i) list += (i ? ", '" : "'") + names[i] + "'";
  if (names.size() > 10) list += ", ...";
  std::fprintf(stderr, "Error:VORN:ReadInput: the phylogenetic tree '%s' has no tree named '%s' (the setting 'tree "
               "name'); its trees are %s\n", treeName.c_str(), wanted.c_str(), list.c_str());
  return false;
}

}  // namespace vorn
