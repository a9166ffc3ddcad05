#include "data/character_table.h"

#include <gtest/gtest.h>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
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

// The data as text: every pattern (values in leaf order), then per gene its name and its entries
// as pattern:count, then the site totals.
std::string Summary(const AlignmentData& data) {
  std::string text;
  for (const Pattern& pattern : data.patterns) {
    for (std::uint8_t value : pattern.values) text += static_cast<char>('0' + value);
    text += " ";
  }
  for (const Gene& gene : data.genes) {
    text += "| " + gene.geneName;
    for (std::uint32_t e = 0; e < gene.entryCount; ++e) {
      text += " " + std::to_string(gene.patternIndices[e]) + ":" + std::to_string(gene.counts[e]);
    }
    text += " (" + std::to_string(gene.allSites) + ") ";
  }
  return text + "| " + std::to_string(data.filteredSites) + " of " + std::to_string(data.allSites);
}

// The pattern files that hold the same data, read by their own reader.
std::string SummaryOfPatternFiles(const std::string& patterns, const std::string& counts, bool ukf = false) {
  AlignmentData data;
  data.ukfFilter = ukf;
  data.ukfThreshold = 0.5;
  FilePtr wp = StreamOf(patterns), ngp = StreamOf(counts);
  EXPECT_TRUE(data.ReadPatternFiles(wp.get(), ngp.get(), 4));
  return Summary(data);
}

TEST(CharacterTableTest, EveryFormOfOneDataSetReadsAsItsPatternFiles) {
  // Sites (A B C D): 1 0 ? 1, then 0 0 1 1, then the first again; one gene named after the file.
  const std::string expected = SummaryOfPatternFiles("1 0 2 1\n0 0 1 1\n", "sites 2 1\n");
  const struct {
    const char* form;
    std::string text;
  } cases[] = {
      {"tab, columns in another order, an id column, copy numbers, DOS lines, a byte-order mark",
       "\xEF\xBB\xBFid\tD\tC\tB\tA\r\nf1\t3\tNA\t0\t1\r\nf2\t 12 \t1.0\t0.0\t0\r\n\r\nf3\t1\t\t00\t2\r\n\t\t\t\t\r\n"},
      {"comma, quoted cells with a separator, a doubled quote and a line end inside",
       "\"family\",\"A\",\"B\",\"C\",\"D\"\n\"f1, \"\"x\"\"\",1,0,?,1\n\"f\n2\",0,0,1,1\nf3,\"1\" ,0,-,1\n"},
      {"semicolon, an unnamed row-name column, unknowns spelt N/A and n/a",
       ";B;A;D;C\n1;0;1;1;N/A\n2;0;0;1;1\n3;0;1;1;n/a\n"},
      {"FASTA with descriptions and rows over two lines", ">A first leaf\n1 0\n1\n>B\n000\n>C\n?1-\n>D\n11\n1\n"},
      {"PHYLIP, rows with blanks, one going on over the next line", "4 3\nA 101\nB   0 0 0\nC ?1\n-\nD 111\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.form);
    AlignmentData data;
    const ReadResult r = ReadTable(data, c.text);
    ASSERT_TRUE(r.ok) << r.errors;
    EXPECT_EQ(Summary(data), expected);
  }
}

TEST(CharacterTableTest, CellValues) {
  const struct {
    const char* cell;
    int value;  // -1: refused
  } cases[] = {
      {"0", 0},   {"0.0", 0},  {"000", 0},  {"1", 1},   {"2", 1},    {"17", 1},   {"1.5", 1},   {"10.", 1},
      {"?", 2},   {"-", 2},    {"NA", 2},   {"na", 2},  {"N/A", 2},  {"n/a", 2},  {"", 2},     {"0.5", -1},
      {"-1", -1}, {"1e3", -1}, {"x", -1},   {".", -1},  {"+1", -1},  {"NaN", -1}, {"1 2", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cell);
    AlignmentData data;
    const ReadResult r = ReadTable(data, std::string("A\tB\tC\tD\n0\t") + c.cell + "\t0\t0\n");
    ASSERT_EQ(r.ok, c.value >= 0) << r.errors;
    if (c.value >= 0) {
      EXPECT_EQ(data.patterns[0].values[1], c.value);
    } else {
      EXPECT_EQ(r.errors, std::string("Error:VORN:ReadInput: Table 'study/sites.tsv' line 2, column 2 ('B'): '") +
                              c.cell + "' is neither a number of copies (0 for absent) nor unknown (?, -, NA, N/A or "
                                       "empty)\n");
    }
  }
}

TEST(CharacterTableTest, GeneColumnGroupsRowsLikeTheCountsFile) {
  // Genes in order of first appearance; a gene's entries in pattern order, whatever its row order;
  // the ukf filter (0.5) drops 1 2 2 1 (a copy number 2, then two unknowns) but counts it.
  const std::string table =
      "A,B,Gene,C,D\n"
      "1,1,g2,0,0\n"
      "0,0,g1,0,1\n"
      "2,?,g1,,1\n"
      "1,1,g1,0,0\n"
      "0,0,g2,0,1\n"
      "0,0,g2,0,1\n";
  AlignmentData data;
  data.ukfFilter = true;
  data.ukfThreshold = 0.5;
  const ReadResult r = ReadTable(data, table);
  ASSERT_TRUE(r.ok) << r.errors;
  EXPECT_EQ(Summary(data),
            SummaryOfPatternFiles("1 1 0 0\n0 0 0 1\n1 2 2 1\n", "g2 1 2 0\ng1 1 1 1\n", /*ukf=*/true));
}

TEST(CharacterTableTest, NameMismatchesListEveryName) {
  const char* const prefix = "Error:VORN:ReadInput: Table 'study/sites.tsv' does not match the leaves of the tree 'four': ";
  const struct {
    const char* text;
    const char* problems;
  } cases[] = {
      {"A\tb\tC\tx\ty\n1\t1\t1\t1\t1\n",
       "no column for the leaves 'B', 'D'; no leaf for the columns 'b', 'x', 'y'"},
      {"A,B,C,D,A,D\n", "more than one column for 'A', 'D'"},
      {"id,A,B,C,D,AB\n", "no leaf for the columns 'AB'"},  // an inner node is no leaf
      {">A\n1\n>B\n1\n>C\n1\n", "no row for the leaves 'D'"},
      {"2 1\nD 1\nE 0\n", "no row for the leaves 'A', 'B', 'C'; no leaf for the rows 'E'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    AlignmentData data;
    const ReadResult r = ReadTable(data, c.text);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.errors, std::string(prefix) + c.problems + "\n");
  }
}

TEST(CharacterTableTest, MalformedFilesNameTheLineAtFault) {
  const std::string longName(256, 'n');
  const struct {
    std::string text;
    const char* message;  // after "Error:VORN:ReadInput: Table 'study/sites.tsv' "
  } cases[] = {
      {"", "is empty"},
      {"A\tB\tC\tD\n\n", "holds no sites"},
      {"A B C D\n1 0 1 0\n", "line 1: the column names are not separated by tabs, commas or semicolons"},
      {"A\tB\tC\tD\n1\t0\t1\n", "line 2 holds 3 cells where the first line has 4"},
      {"A,B,,C,D\n", "line 1: column 3 has no name"},
      {"A,B,C,D\n\"1,0,1,0\n", "line 2: a quoted cell is not closed"},
      {"A,B,C,D\n\"1\"x,0,1,0\n", "line 2, column 1: text after a closing quote"},
      {"A,B,C,D\n0,0,0," + longName + "\n", "line 2, column 4 holds more than 255 characters"},
      {"A,B,C,D,gene\n0,0,0,1,\n", "line 2: the gene cell is empty"},
      {">A\n10\n>B\n1x\n", "line 4: 'x' in the row of 'B' is not 0, 1, ? or -"},
      {">A\n10\n>B\n1\n>C\n10\n>D\n10\n", ": the row of 'B' holds 1 values where the row of 'A' holds 2"},
      {">\n10\n", "line 1: a row without a name"},
      {"4 2\nA 10\nB 1\n\nC 01\n", "line 5: 'C' in the row of 'B' is not 0, 1, ? or -"},
      {"4 2\nA 10\nB 10\n", "holds 2 rows where its first line announces 4"},
      {"1 2\nA 10\nB 10\n", "line 3: more rows than the 1 its first line announces"},
      {"2 3\nA 10\n", "line 2: the row of 'A' holds 2 values where the first line announces 3"},
      {"2 1\nA 10\nB 1\n", "line 2: the row of 'A' holds 2 values where the first line announces 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    AlignmentData data;
    const ReadResult r = ReadTable(data, c.text);
    EXPECT_FALSE(r.ok);
    const std::string space = c.message[0] == ':' ? "" : " ";
    EXPECT_EQ(r.errors, "Error:VORN:ReadInput: Table 'study/sites.tsv'" + space + c.message + "\n");
  }
}

}  // namespace
}  // namespace vorn
