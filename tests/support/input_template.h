#pragma once
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "input/input_reader.h"
#include "support/test_support.h"

namespace vorn {
namespace testing_support {

// The 52 lines of tests/testdata/control_template.txt, a control file that reads "tree.phyl" and
// the pattern pair "data.wp.txt", "data.ngp.txt" and estimates everything, with lines replaced
// (numbered from 1; one past the last adds a line); a replacement may hold line feeds, for the
// continuation lines of a list.
std::string ControlText(const std::map<int, std::string>& replacements = {});

// A four-leaf tree in the node/edge form: ((A,B),(C,D)), root 100 My, cherries at 40 and 60 My.
extern const char* const kFourLeafPhyl;
// That tree read: root 0, AB 1, CD 2, leaves A..D = nodes 3..6 = pattern positions 0..3.
PhylogeneticTree FourLeafTree();
// The data as text: every pattern (its values in leaf order), then per gene "| name", its entries
// as pattern:count and "(filtered/all sites)", then "| filtered/all sites" of the whole data.
std::string DataSummary(const AlignmentData& data);
// Writes into the working directory the template's files (the four-leaf tree and two genes of
// three patterns) and, as "run.txt", the control text given.
void WriteFourLeafRun(const std::string& control = ControlText());

// What a whole run of the program with these arguments (after "vorn") returned and printed.
struct RunOutcome {
  int status;
  std::string out, err;
};
RunOutcome RunVorn(std::vector<const char*> args);

// In a scratch folder holding the template's files, Read() reads a control text as a run would
// (simulating the data when it says so), into a fresh tree, data and control file, every read
// from the same run seed.
class ControlFileTest : public ScratchTest {
 protected:
  ControlFileTest() { WriteFourLeafRun(); }
  // Reads the control text; captures what the reader printed on each stream.
  bool Read(const std::string& text);
  bool ReadWith(const std::map<int, std::string>& replacements) { return Read(ControlText(replacements)); }

  // What the estimator derives from the control file read.
  FitLimits Limits() const { return DeriveLimits(control_.fit, control_.model, tree_); }

  PhylogeneticTree tree_;
  AlignmentData data_;
  ControlFile control_;
  std::string errors_, output_;
};

}  // namespace testing_support
}  // namespace vorn
