// The text of Newick and NEXUS tree files, taken apart into nested trees: comments in brackets,
// quoted labels, the trees block of NEXUS with its translate table. What the labels mean
// (lengths, support values, names) is decided by the tree reader. Internal to the data folder.
#pragma once
#include <string>
#include <string_view>
#include <unordered_map>

#include "data/nested_tree.h"

namespace vorn {

// The root flag of a comment before the tree: [&R] rooted, [&U] unrooted.
enum class RootFlag { kNone, kRooted, kUnrooted };

// Parses one Newick tree from text (which may end with ";" and nothing after it but blanks and
// comments). Prints "Error:VORN:ReadInput: the phylogenetic tree '<treeName>' <reason>" and
// returns false on a malformed text. Labels are kept as written: name (unquoted, '' read as '),
// the text after the colon, the comments.
bool ParseNewick(std::string_view text, const std::string& treeName, NestedTree* tree, RootFlag* flag);

// Whether the text is a NEXUS file: "#NEXUS" before anything but blanks.
bool IsNexus(std::string_view text);

// One tree of a NEXUS file's trees block: the first, or the one named (NEXUS names compare without
// regard to case), with the block's translate table (token to label). False after the message.
struct NexusTree {
  std::string name;
  std::string_view newick;  // into the file's text
  std::unordered_map<std::string, std::string> translate;
};
bool FindNexusTree(std::string_view text, const std::string& treeName, const std::string& wanted, NexusTree* tree);

// The value of key=value in a comment of the form "&key=value,key=value" (values may be quoted or
// hold braces); false when the key is not there.
bool CommentValue(std::string_view comments, std::string_view key, std::string* value);

}  // namespace vorn
