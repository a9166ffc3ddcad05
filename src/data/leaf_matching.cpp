// How the names of a table's columns (or a FASTA or PHYLIP file's rows) meet the leaves of the
// tree, and what becomes of leaves that no name meets.
#include <cctype>
#include <utility>
#include <string_view>
#include <unordered_map>

#include "data/diagnostics.h"
#include "data/phylogenetic_tree.h"
#include "data/table_reading.h"

namespace vorn {
namespace table_reading {
namespace {

std::string Quoted(const std::string& name) { return "'" + name + "'"; }

void Append(std::string& list, const std::string& item) { list += (list.empty() ? "" : ", ") + item; }

// A list for an error line: a table of many thousand columns that match nothing would make one
// line of megabytes, so it shows the first kShown and says how many there are in all.
constexpr std::size_t kShown = 20;

class CappedList {
 public:
  void Add(const std::string& item) {
    if (count_++ < kShown) Append(text_, item);
  }
  bool empty() const { return count_ == 0; }
  std::string Text() const {
    if (count_ <= kShown) return text_;
    return text_ + " and " + std::to_string(count_ - kShown) + " more (" + std::to_string(count_) + " in all)";
  }

 private:
  std::string text_;
  std::size_t count_ = 0;
};

// A name as the tools of a field may spell it otherwise: in lower case, blanks as underscores.
std::string Canonical(std::string_view name) {
  std::string canonical;
  for (char c : name) canonical += c == ' ' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return canonical;
}

// The canonical name and its prefixes before a dot or a bar, longest first ("ecoli.faa" gives
// "ecoli.faa", "ecoli"), as files often carry a suffix that the tree does not.
std::vector<std::string> Spellings(std::string_view name) {
  const std::string canonical = Canonical(name);
  std::vector<std::string> spellings{canonical};
  for (std::size_t at = canonical.size(); at-- > 1;) {
    if (canonical[at] == '.' || canonical[at] == '|') spellings.push_back(canonical.substr(0, at));
  }
  return spellings;
}

// Pairs of a name without a leaf and a leaf without a name that are likely the same; each name
// comes with the words that show it.
std::string LikelyPairs(const std::vector<std::pair<std::string, std::string>>& unknown,
                        const std::vector<std::string>& missing) {
  std::unordered_map<std::string, std::size_t> leafOf;
  std::vector<std::vector<std::string>> leafSpellings;
  for (const std::string& leaf : missing) leafSpellings.push_back(Spellings(leaf));
  // Whole names first, so that no prefix of one leaf hides another leaf's whole name.
  for (std::size_t depth = 0;; ++depth) {
    bool any = false;
    for (std::size_t i = 0; i < missing.size(); ++i) {
      if (depth < leafSpellings[i].size()) {
        leafOf.emplace(leafSpellings[i][depth], i);
        any = true;
      }
    }
    if (!any) break;
  }
  std::vector<char> paired(missing.size(), 0);
  CappedList pairs;
  for (const auto& [name, shown] : unknown) {
    for (const std::string& spelling : Spellings(name)) {
      const auto found = leafOf.find(spelling);
      if (found == leafOf.end() || paired[found->second]) continue;
      paired[found->second] = 1;
      pairs.Add(shown + " for the leaf " + Quoted(missing[found->second]));
      break;
    }
  }
  return pairs.Text();
}

}  // namespace

bool MatchLeaves(const std::string& tableName, PhylogeneticTree& tree, const std::vector<std::string>& names,
                 const char* kind, LeavesWithoutData mode, std::vector<std::uint32_t>& positions,
                 const std::string* rowNames) {
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
  std::vector<std::uint8_t> named(tree.leafCount, 0);
  CappedList unknownList, twiceList;
  // A first column taken for the row names may be a leaf's column misspelt.
  std::vector<std::pair<std::string, std::string>> unknown;
  if (rowNames) unknown.emplace_back(*rowNames, "column " + Quoted(*rowNames) + " (taken for the row names)");
  positions.assign(names.size(), 0);
  for (std::size_t i = 0; i < names.size(); ++i) {
    const auto leaf = leafAt.find(names[i]);
    if (leaf == leafAt.end()) {
      unknownList.Add(Quoted(names[i]));
      unknown.emplace_back(names[i], std::string(kind) + " " + Quoted(names[i]));
    } else if (named[leaf->second]) {
      twiceList.Add(Quoted(names[i]));
    } else {
      named[leaf->second] = 1;
      positions[i] = leaf->second;
    }
  }
  std::string missingList;  // whole, for the warnings, which go on one line each as before
  CappedList missingShown;
  std::vector<std::string> missing;
  for (std::uint32_t j = 0; j < tree.leafCount; ++j) {
    if (named[j]) continue;
    missing.push_back(tree.nodeNames[tree.leafCount - 1 + j]);
    Append(missingList, Quoted(missing.back()));
    missingShown.Add(Quoted(missing.back()));
  }
  const bool missingIsError = mode == LeavesWithoutData::kError && !missing.empty();
  if (missingIsError || !unknownList.empty() || !twiceList.empty()) {
    std::string problems;
    const auto add = [&problems](const std::string& what, const std::string& list) {
      if (!list.empty()) problems += (problems.empty() ? "" : "; ") + what + list;
    };
    if (missingIsError) add(std::string("no ") + kind + " for the leaves ", missingShown.Text());
    add(std::string("no leaf for the ") + kind + "s ", unknownList.Text());
    add(std::string("more than one ") + kind + " for ", twiceList.Text());
    add("likely the same: ", LikelyPairs(unknown, missing));
    if (missingIsError && unknownList.empty()) {
      add("", std::string("to read the table without them, the setting 'leaves without data: unknown' or 'prune' "
                          "gives them unknown values or removes them from the tree"));
    }
    std::fprintf(stderr, "Error:VORN:ReadInput: Table '%s' does not match the leaves of the tree '%s': %s\n",
                 tableName.c_str(), tree.treeName.c_str(), problems.c_str());
    return false;
  }
  if (missing.empty()) return true;
  if (mode == LeavesWithoutData::kUnknown) {
    Warn("leaves-without-data", "ReadInput",
         "Table '%s' has no %s for the leaves %s: their values are unknown at every site, as the setting 'leaves "
         "without data: unknown' asks",
         tableName.c_str(), kind, missingList.c_str());
    return true;
  }
  std::vector<std::uint8_t> removed(tree.leafCount, 0);
  for (std::uint32_t j = 0; j < tree.leafCount; ++j) removed[j] = !named[j];
  if (!tree.PruneLeaves(removed)) return false;
  Warn("leaves-pruned", "ReadInput",
       "Table '%s' has no %s for the leaves %s: they are removed from the tree '%s', as the setting 'leaves without "
       "data: prune' asks, which keeps %u leaves",
       tableName.c_str(), kind, missingList.c_str(), tree.treeName.c_str(), static_cast<unsigned>(tree.leafCount));
  leafAt.clear();
  for (std::uint32_t j = 0; j < tree.leafCount; ++j) leafAt.emplace(tree.nodeNames[tree.leafCount - 1 + j], j);
  for (std::size_t i = 0; i < names.size(); ++i) positions[i] = leafAt.at(names[i]);
  return true;
}

}  // namespace table_reading
}  // namespace vorn
