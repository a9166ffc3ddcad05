#pragma once
#include <string>
#include <vector>

#include "data/phylogenetic_tree.h"

namespace vorn {
namespace testing_support {

// The 52 lines of a control file that reads "tree.phyl" and the pattern pair "data.wp.txt",
// "data.ngp.txt" and estimates everything; tests replace single lines.
std::vector<std::string> TemplateLines();
std::string JoinLines(const std::vector<std::string>& lines);

// A four-leaf tree in the node/edge form: ((A,B),(C,D)), root 100 My, cherries at 40 and 60 My.
extern const char* const kFourLeafPhyl;
// That tree read: root 0, AB 1, CD 2, leaves A..D = nodes 3..6 = pattern positions 0..3.
PhylogeneticTree FourLeafTree();

}  // namespace testing_support
}  // namespace vorn
