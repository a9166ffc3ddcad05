#include "data/character_table.h"

#include <gtest/gtest.h>

#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::StreamOf;

struct ReadResult {
  bool ok;
  std::string errors;
};

// Leaves A, B, C, D at pattern positions 0 to 3.
const PhylogeneticTree& Tree() {
  static const PhylogeneticTree tree = testing_support::FourLeafTree();
  return tree;
}

ReadResult ReadTable(AlignmentData& data, const std::string& text, const std::string& name = "study/sites.tsv") {
  FilePtr file = StreamOf(text);
  testing::internal::CaptureStderr();
  const bool ok = ReadCharacterTable(file.get(), name, Tree(), data);
  return {ok, testing::internal::GetCapturedStderr()};
}

TEST(CharacterTableTest, EveryFormOfOneDataSetReadsAsItsPatternFiles) {
  // Sites (A B C D): 1 0 ? 1, then 0 0 1 1, then the first again; one gene named after the file.
  AlignmentData patternFiles;
  FilePtr wp = StreamOf("1 0 2 1\n0 0 1 1\n"), ngp = StreamOf("sites 2 1\n");
  ASSERT_TRUE(patternFiles.ReadPatternFiles(wp.get(), ngp.get(), 4));
  const std::string expected = testing_support::DataSummary(patternFiles);
  const std::pair<const char*, std::string> cases[] = {  // the form, the table
      {"tab, columns in another order, an id column, copy numbers, DOS lines, a byte-order mark",
       "\xEF\xBB\xBFid\tD\tC\tB\tA\r\nf1\t3\tNA\t0\t1\r\nf2\t 12 \t1.0\t0.0\t0\r\n\r\nf3\t1\t\t00\t2\r\n\t\t\t\t\r\n"},
      {"comma, quoted cells with a separator, a doubled quote and a line end inside",
       "\"family\",\"A\",\"B\",\"C\",\"D\"\n\"f1, \"\"x\"\"\",1,0,?,1\n\"f\n2\",0,0,1,1\nf3,\"1\" ,0,-,1\n"},
      {"semicolon, an unnamed row-name column, unknowns spelt N/A and n/a",
       ";B;A;D;C\n1;0;1;1;N/A\n2;0;0;1;1\n3;0;1;1;n/a\n"},
      {"FASTA with descriptions and rows over two lines", ">A first leaf\n1 0\n1\n>B\n000\n>C\n?1-\n>D\n11\n1\n"},
      {"PHYLIP, rows with blanks, one going on over the next line", "4 3\nA 101\nB   0 0 0\nC ?1\n-\nD 111\n"},
  };
  for (const auto& [form, text] : cases) {
    SCOPED_TRACE(form);
    AlignmentData data;
    const ReadResult r = ReadTable(data, text);
    ASSERT_TRUE(r.ok) << r.errors;
    EXPECT_EQ(testing_support::DataSummary(data), expected);
  }
}

TEST(CharacterTableTest, CellValues) {
  for (const std::vector<std::string>& c : testing_support::CaseTable("table_cells.txt")) {
    SCOPED_TRACE(c[0]);
    AlignmentData data;
    const ReadResult r = ReadTable(data, "A\tB\tC\tD\n0\t" + c[0] + "\t0\t0\n");
    ASSERT_EQ(r.ok, c[1] != "refused") << r.errors;
    if (r.ok) {
      EXPECT_EQ(data.patterns[0].values[1], std::stoi(c[1]));
    } else {
      EXPECT_EQ(r.errors, "Error:VORN:ReadInput: Table 'study/sites.tsv' line 2, column 2 ('B'): '" + c[0] +
                              "' is neither a number of copies (0 for absent) nor unknown (?, -, NA, N/A or empty)\n");
    }
  }
}

TEST(CharacterTableTest, MalformedFilesNameTheLineAtFault) {
  std::vector<std::vector<std::string>> cases = testing_support::CaseTable("table_errors.txt");
  cases.push_back({"A,B,C,D\n0,0,0," + std::string(256, 'n') + "\n", "line 2, column 4 holds more than 255 characters"});
  for (const std::vector<std::string>& c : cases) {
    SCOPED_TRACE(c[0]);
    AlignmentData data;
    const ReadResult r = ReadTable(data, c[0]);
    EXPECT_FALSE(r.ok);
    std::string message = c[1][0] == ':' ? c[1] : " " + c[1];
    if (message.rfind(" names: ", 0) == 0) message.replace(0, 7, " does not match the leaves of the tree 'four':");
    EXPECT_EQ(r.errors, "Error:VORN:ReadInput: Table 'study/sites.tsv'" + message + "\n");
  }
}

}  // namespace
}  // namespace vorn
