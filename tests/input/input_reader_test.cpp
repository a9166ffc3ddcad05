#include "input/input_reader.h"

#include <gtest/gtest.h>

#include <cmath>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/em.h"
#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::FileExists;
using testing_support::TemplateLines;
using testing_support::WriteText;

class InputReaderTest : public testing_support::ControlFileTest {
 protected:
  bool ReadWith(int line, const std::string& replacement) {
    std::vector<std::string> lines = TemplateLines();
    lines[line - 1] = replacement;
    return Read(testing_support::JoinLines(lines));
  }
  bool ReadSimulationWith(int line, const std::string& replacement) {
    std::vector<std::string> lines = TemplateLines();
    lines[7] = "source: sim";
    lines[line - 1] = replacement;
    return Read(testing_support::JoinLines(lines));
  }
};

TEST_F(InputReaderTest, ReadsTreeAndPatternFiles) {
  ASSERT_TRUE(Read(testing_support::JoinLines(TemplateLines()))) << errors_;
  EXPECT_EQ(output_, "reading and processing input file\n");
  EXPECT_EQ(errors_, "");
  EXPECT_EQ(tree_.treeName, "tree.phyl");
  EXPECT_EQ(tree_.leafCount, 4U);
  EXPECT_EQ(data_.patternFileName, "data.wp.txt");
  EXPECT_EQ(data_.countsFileName, "data.ngp.txt");
  EXPECT_EQ(data_.leafCount, 4U);
  EXPECT_EQ(data_.geneCount, 2U);
  EXPECT_EQ(data_.patternCount, 3U);
  EXPECT_EQ(data_.filteredSites, 10U);
  EXPECT_FALSE(data_.ukfFilter);
}

TEST_F(InputReaderTest, FilesFromOtherSystemsReadAlike) {
  // A byte-order mark before the first line and CR LF line ends, as some editors save text.
  auto foreign = [](const std::string& text) {
    std::string saved = "\xEF\xBB\xBF";
    for (char c : text) saved += c == '\n' ? "\r\n" : std::string(1, c);
    return saved;
  };
  auto summary = [this] {
    std::string text = tree_.treeName;
    for (std::uint32_t v = 0; v < tree_.nodeCount; ++v) {
      text += " " + tree_.nodeNames[v] + ":" + std::to_string(tree_.branchLength[v]);
    }
    for (const Pattern& pattern : data_.patterns) {
      text += " ";
      for (std::uint8_t value : pattern.values) text += static_cast<char>('0' + value);
    }
    for (const Gene& gene : data_.genes) {
      text += " " + gene.geneName;
      for (std::uint32_t count : gene.counts) text += " " + std::to_string(count);
    }
    return text;
  };
  // A name that begins with the mark's first byte (a fullwidth G) is no mark.
  WriteText("data.ngp.txt", "\xEF\xBC\xA7" "1 5 0 2\ng2 1 1 1\n");
  ASSERT_TRUE(Read(testing_support::JoinLines(TemplateLines()))) << errors_;
  EXPECT_EQ(data_.genes[0].geneName, "\xEF\xBC\xA7" "1");
  const std::string expected = summary();
  for (const char* file : {"tree.phyl", "data.wp.txt", "data.ngp.txt"}) {
    WriteText(file, foreign(testing_support::ReadText(file)));
  }
  ASSERT_TRUE(Read(foreign(testing_support::JoinLines(TemplateLines())))) << errors_;
  EXPECT_EQ(summary(), expected);

  WriteText("tree.nwk", foreign("((A:0.04,B:0.04):0.06,(C:0.06,D:0.06):0.04);\n"));
  ASSERT_TRUE(ReadWith(3, "tree: tree.nwk newick")) << errors_;
  // Leaves are numbered down from the last node as their pairs close, right first.
  EXPECT_EQ(std::vector<std::string>(tree_.nodeNames.begin() + 3, tree_.nodeNames.end()),
            (std::vector<std::string>{"C", "D", "A", "B"}));
}

TEST_F(InputReaderTest, SettingsAfterTheTemplate) {
  const std::string base = testing_support::JoinLines(TemplateLines());
  ASSERT_TRUE(Read(base + "\n% a note\n  OPTIMIZER :  fast \nstarts: 12\nsome notes of the user\n")) << errors_;
  EXPECT_EQ(em_.optimizer, Optimizer::kFast);
  EXPECT_EQ(em_.starts, 12U);
  EXPECT_EQ(errors_, "Warning:VORN:ReadInput: Line 57 ('some notes of the user') is not a setting; it is ignored\n");
  struct Case {
    const char* line;
    const char* error;
  };
  const Case cases[] = {
      {"optimizer: newton", "Error:VORN:ReadInput: Line 53: the setting 'optimizer' takes em or fast, not 'newton'\n"},
      {"starts: 0", "Error:VORN:ReadInput: Line 53: the setting 'starts' takes a whole number from 1 to 1000, not '0'\n"},
      {"starts: 1001", "Error:VORN:ReadInput: Line 53: the setting 'starts' takes a whole number from 1 to 1000, not "
                       "'1001'\n"},
      {"starts: 2.5", "Error:VORN:ReadInput: Line 53: the setting 'starts' takes a whole number from 1 to 1000, not "
                      "'2.5'\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_FALSE(Read(base + c.line + "\n"));
    EXPECT_EQ(errors_, c.error);
  }
}

TEST_F(InputReaderTest, ConditionedOnPresenceSitesWithoutAPresentLeafAreDropped) {
  // Patterns: two with a present leaf, one absent everywhere, one of absences and unknowns only.
  WriteText("data.wp.txt", "0 1 1 0\n0 0 0 0\n1 1 2 1\n2 0 2 0\n");
  WriteText("data.ngp.txt", "g1 5 3 2 1\ng2 0 4 1 0\n");
  ASSERT_TRUE(Read(testing_support::JoinLines(TemplateLines()) + "condition on presence: on\n")) << errors_;
  EXPECT_TRUE(em_.conditionOnPresence);
  EXPECT_EQ(data_.allSites, 16U);
  EXPECT_EQ(data_.filteredSites, 8U);
  ASSERT_EQ(data_.patternCount, 2U);
  EXPECT_EQ(data_.patterns[1].values, (std::vector<std::uint8_t>{1, 1, 2, 1}));
  EXPECT_EQ(data_.genes[0].counts, (std::vector<std::uint32_t>{5, 2}));
  EXPECT_EQ(data_.genes[1].patternIndices, (std::vector<std::uint32_t>{1}));
  EXPECT_EQ(data_.genes[1].filteredSites, 1U);
  EXPECT_EQ(data_.genes[1].allSites, 5U);
}

TEST_F(InputReaderTest, ReadsATableAsItsPatternFiles) {
  ASSERT_TRUE(Read(testing_support::JoinLines(TemplateLines()))) << errors_;
  const AlignmentData fromPatternFiles = data_;
  // The template's data: g1 shows patterns 0 and 2 (5 and 2 sites), g2 each pattern once.
  WriteText("sites.csv",
            "gene,D,C,B,A\ng1,0,1,1,0\ng1,0,1,1,0\ng1,0,1,1,0\ng1,0,1,1,0\ng1,0,1,1,0\ng2,1,?,1,1\n"
            "g1,1,0,0,0\ng1,1,0,0,0\ng2,0,1,1,0\ng2,1,0,0,0\n");
  ASSERT_TRUE(ReadWith(8, "source: tab sites.csv")) << errors_;
  EXPECT_EQ(data_.patternFileName, "sites.csv");
  EXPECT_EQ(data_.countsFileName, "sites.csv");
  ASSERT_EQ(data_.patternCount, fromPatternFiles.patternCount);
  for (std::uint32_t p = 0; p < data_.patternCount; ++p) {
    EXPECT_EQ(data_.patterns[p].values, fromPatternFiles.patterns[p].values) << p;
  }
  ASSERT_EQ(data_.geneCount, fromPatternFiles.geneCount);
  for (std::uint32_t g = 0; g < data_.geneCount; ++g) {
    SCOPED_TRACE(g);
    EXPECT_EQ(data_.genes[g].geneName, fromPatternFiles.genes[g].geneName);
    EXPECT_EQ(data_.genes[g].patternIndices, fromPatternFiles.genes[g].patternIndices);
    EXPECT_EQ(data_.genes[g].counts, fromPatternFiles.genes[g].counts);
  }
  EXPECT_EQ(em_.model.geneCount, 2U);
}

TEST_F(InputReaderTest, KeywordsAreMatchedByTheirLeadingCharacters) {
  std::vector<std::string> lines = TemplateLines();
  lines[1] = "time units:Billion";
  lines[2] = "tree:\ttree.phyl,phylip";
  lines[3] = "with a pattern file this line is never examined";
  lines[7] = "source: pattern data.wp.txt data.ngp.txt";
  lines[8] = "";
  lines[12] = "filter unknowns: ukfilter 0.5";
  ASSERT_TRUE(Read(testing_support::JoinLines(lines))) << errors_;
  EXPECT_TRUE(data_.ukfFilter);
  EXPECT_EQ(data_.ukfThreshold, 0.5);
  // "1 1 2 1" has one unknown of four leaves: 0.25 < 0.5 keeps it.
  EXPECT_EQ(data_.patternCount, 3U);
}

TEST_F(InputReaderTest, EveryMessageOfTheTreeAndDataSections) {
  struct Case {
    int line;
    const char* text;
    bool simulate;
    const char* message;
  };
  const Case cases[] = {
      {2, "time units: years", false,
       "Error:VORN:ReadInput: years. Unrecognized keyword in phylogenetic tree -> time units\n"},
      {3, "tree: missing.phyl phyl", false,
       "Error:VORN:ReadInput: the phylogenetic tree 'missing.phyl' cannot be found\n"},
      {3, "tree: tree.phyl nexus", false, "Error:VORN:ReadInput: unrecognized phylogenetic tree format\n"},
      {8, "source: fasta x y", false, "Error:VORN:ReadInput: fasta. Unrecognized keyword in alignment data -> source\n"},
      {10, "number of sites: fixed 10 20 %", true,
       "Error:VORN:ReadInput: Number of sites per gene (2) do not match number of genes (3)\n"},
      {10, "number of sites: const %", true, "Error:VORN:ReadInput: Number of sites per gene (0) should be provided\n"},
      {10, "number of sites: many 10", true,
       "Error:VORN:ReadInput: many. Unrecognized keyword in  alignment data -> number of sites\n"},
      {11, "fraction of unknowns: -0.1", true,
       "Error:VORN:ReadInput: Negative fraction of unknowns in alignment data -> fraction of unknowns\n"},
      {11, "fraction of unknowns: 1.01", true,
       "Error:VORN:ReadInput: Fraction of unknowns is greater than one in alignment data -> fraction of unknowns\n"},
      {12, "track numbers of present characters: yes", true,
       "Error:VORN:ReadInput: yes. Unrecognized keyword in  alignment data -> track numbers of present "
       "characters\n"},
      {13, "filter unknowns: ukf -0.5", false,
       "Error:VORN:ReadInput: Negative parameter of the UKF filter in alignment data -> filter unknowns: ukf\n"},
      {13, "filter unknowns: ukf 1.5", false,
       "Error:VORN:ReadInput: Parameter of the UKF filter is greater than one in alignment data -> filter "
       "unknowns: ukf\n"},
      {13, "filter unknowns: all", false,
       "Error:VORN:ReadInput: all. Unrecognized keyword in  alignment data -> filter unknowns\n"},
      {8, "source: pat nothere.wp.txt data.ngp.txt", false,
       "Error:VORN:ReadInput: Pattern file 'nothere.wp.txt' cannot be opened\n"},
      {8, "source: pat data.wp.txt nothere.ngp.txt", false,
       "Error:VORN:ReadInput: Pattern counts file 'nothere.ngp.txt' cannot be opened\n"},
      {8, "source: table nothere.tsv", false, "Error:VORN:ReadInput: Table 'nothere.tsv' cannot be opened\n"},
      {8, "source: table", false, "Error:VORN:ReadInput: Line 8 ends before its value in alignment data -> source\n"},
      // Lines that do not hold what their place asks for.
      {2, "units: M", false,
       "Error:VORN:ReadInput: Line 2 does not read as 'time units: %s' in phylogenetic tree -> time units\n"},
      {3, "tree:", false, "Error:VORN:ReadInput: Line 3 ends before its value in phylogenetic tree -> source\n"},
      {3, "tree: tree.phyl", false,
       "Error:VORN:ReadInput: Line 3 ends before its value in phylogenetic tree -> source\n"},
      {8, "source: pat data.wp.txt", false,
       "Error:VORN:ReadInput: Line 8 ends before its value in alignment data -> source\n"},
      {9, "number of genes: three", true,
       "Error:VORN:ReadInput: Line 9 does not read as 'number of genes: %u' in alignment data -> number of "
       "genes\n"},
      {9, "number of genes: 0", true,
       "Error:VORN:ReadInput: At least one gene is needed in alignment data -> number of genes\n"},
      {9, "number of genes: 4000000000", true,
       "Error:VORN:ReadInput: At most 1000000 genes can be simulated in alignment data -> number of genes\n"},
      {10, "number of sites: fixed 10 20", true,
       "Error:VORN:ReadInput: Number of sites per gene (2) do not match number of genes (3)\n"},
      {10, "number of sites: fixed 10 x 5", true,
       "Error:VORN:ReadInput: x is not a number of sites in alignment data -> number of sites\n"},
      {10, "number of sites: rand", true,
       "Error:VORN:ReadInput: Line 10 ends before its value in alignment data -> number of sites\n"},
      {10, "number of sites: rand 2147483647", true,
       "Error:VORN:ReadInput: Mean number of sites 2147483647 is too large in alignment data -> number of sites\n"},
      {11, "fraction of unknowns:", true,
       "Error:VORN:ReadInput: Line 11 does not read as 'fraction of unknowns: %lg' in alignment data -> fraction "
       "of unknowns\n"},
      {13, "filter unknowns: ukf", false,
       "Error:VORN:ReadInput: Line 13 ends before its value in alignment data -> filter unknowns\n"},
      {13, "filter unknowns: ukf half", false,
       "Error:VORN:ReadInput: half is not a number in alignment data -> filter unknowns\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const bool ok = c.simulate ? ReadSimulationWith(c.line, c.text) : ReadWith(c.line, c.text);
    EXPECT_FALSE(ok);
    EXPECT_EQ(errors_, c.message);
  }
}

TEST_F(InputReaderTest, AcceptedBoundaryValues) {
  const std::pair<int, const char*> accepted[] = {
      {11, "fraction of unknowns: 1"},   {11, "fraction of unknowns: 0"},
      {10, "number of sites: fixed 1 2 3 %"}, {10, "number of sites: fixed 1 2 3 4 5"},
      {10, "number of sites: rand -3"},  {12, "track numbers of present characters: on"},
  };
  for (const auto& [line, text] : accepted) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(ReadSimulationWith(line, text)) << errors_;
  }
  // A threshold of 0 removes every site; 1 only all-unknown ones.
  EXPECT_TRUE(ReadWith(13, "filter unknowns: ukf 0")) << errors_;
  EXPECT_EQ(data_.patternCount, 0U);
  EXPECT_EQ(data_.allSites, 10U);
  EXPECT_TRUE(ReadWith(13, "filter unknowns: ukf 1")) << errors_;
  EXPECT_EQ(data_.patternCount, 3U);
}

TEST_F(InputReaderTest, ShortOrOverlongFilesAreErrors) {
  std::vector<std::string> lines = TemplateLines();
  lines.pop_back();
  EXPECT_FALSE(Read(testing_support::JoinLines(lines)));
  EXPECT_EQ(errors_, "Error:VORN:ReadInput: The input file ends before line 52 in initialization parameters -> "
                     "g-lambda\n");

  EXPECT_FALSE(Read("PHYLOGENETIC TREE\ntime units: M\n"));
  EXPECT_EQ(errors_, "Error:VORN:ReadInput: The input file ends before line 3 in phylogenetic tree -> source\n");

  EXPECT_FALSE(ReadWith(7, std::string(2047, 'x')));
  EXPECT_EQ(errors_, "Error:VORN:ReadInput: Line 7 of the input file is longer than 2046 characters\n");
  EXPECT_TRUE(ReadWith(7, std::string(2046, 'x'))) << errors_;

  // The last line may lack its line feed.
  std::string text = testing_support::JoinLines(TemplateLines());
  text.pop_back();
  EXPECT_TRUE(Read(text)) << errors_;
}

TEST_F(InputReaderTest, RandomTreeIsMadeAndWritten) {
  std::vector<std::string> lines = TemplateLines();
  lines[2] = "tree: random";
  lines[3] = "number of leaves: 5";
  lines[4] = "total time span: 1500";
  lines[7] = "source: sim";
  ASSERT_TRUE(Read(testing_support::JoinLines(lines))) << errors_;
  EXPECT_EQ(tree_.treeName, "run.phyl");
  EXPECT_EQ(tree_.leafCount, 5U);
  EXPECT_NEAR(tree_.Age(0), 1.5, 1e-12);  // 1500 My in units of 1000 My
  const std::string written = testing_support::ReadText("run.phyl");
  EXPECT_EQ(written.rfind("9 Nodes (ID name age):\n1: 'Node #1' 1500.00\n", 0), 0U) << written;

  const std::pair<const char*, const char*> bad[] = {
      {"number of leaves: 1", "Error:VORN:ReadInput: A random tree needs from 2 to 16777216 leaves in phylogenetic "
                              "tree -> number of leaves\n"},
      {"number of leaves: 16777217", "Error:VORN:ReadInput: A random tree needs from 2 to 16777216 leaves in "
                                     "phylogenetic tree -> number of leaves\n"},
  };
  for (const auto& [text, message] : bad) {
    lines[3] = text;
    EXPECT_FALSE(Read(testing_support::JoinLines(lines)));
    EXPECT_EQ(errors_, message);
  }
  lines[3] = "number of leaves: 5";
  lines[4] = "total time span: 0";
  EXPECT_FALSE(Read(testing_support::JoinLines(lines)));
  EXPECT_EQ(errors_, "Error:VORN:ReadInput: A random tree needs a positive time span in phylogenetic tree -> total "
                     "time span\n");
}

TEST_F(InputReaderTest, MalformedTreeFileStopsTheRead) {
  WriteText("tree.phyl", "4 Nodes\n");
  EXPECT_FALSE(Read(testing_support::JoinLines(TemplateLines())));
  EXPECT_EQ(errors_.rfind("Error:VORN:ReadInput: the phylogenetic tree 'tree.phyl' ", 0), 0U) << errors_;
  EXPECT_EQ(std::count(errors_.begin(), errors_.end(), '\n'), 1);
}

TEST_F(InputReaderTest, PatternLengthMustMatchTheTree) {
  WriteText("data.wp.txt", "0 1 1\n");
  EXPECT_FALSE(Read(testing_support::JoinLines(TemplateLines())));
  EXPECT_EQ(errors_, "Error:VORN:ReadInput: Pattern file 'data.wp.txt' line 1 holds 3 values where the tree has 4 "
                     "leaves\n");
}

TEST_F(InputReaderTest, SimulatedSitesMustFitTheSiteCounters) {
  // Each count fits 32 bits, their sum over the three genes does not: the totals would wrap.
  EXPECT_FALSE(ReadSimulationWith(10, "number of sites: fixed 4294967295 1 0"));
  EXPECT_EQ(errors_, "Error:VORN:ReadInput: At most 4294967295 sites can be simulated in alignment data -> number "
                     "of sites\n");
  EXPECT_FALSE(ReadSimulationWith(10, "number of sites: const 2147483648"));
  EXPECT_EQ(errors_, "Error:VORN:ReadInput: At most 4294967295 sites can be simulated in alignment data -> number "
                     "of sites\n");
}

TEST_F(InputReaderTest, LoweredLimitsRefuseWhatTheyExclude) {
  InputLimits limits;
  limits.maxTreeLeaves = 3;
  limits.maxRandomTreeLeaves = 6;
  limits.maxSimulatedGenes = 2;
  limits.maxSimulatedSites = 50;
  limits.maxCategories = 5;
  SetInputLimitsForTesting(limits);
  struct Restore {
    ~Restore() { ClearInputLimitsForTesting(); }
  } restore;
  struct Case {
    bool simulate;
    std::vector<std::pair<int, std::string>> lines;
    const char* message;
  };
  const Case cases[] = {
      {false, {}, "Error:VORN:ReadInput: the phylogenetic tree 'tree.phyl' has more than 3 leaves\n"},
      {true, {{3, "tree: rand"}, {4, "number of leaves: 7"}},
       "Error:VORN:ReadInput: A random tree needs from 2 to 6 leaves in phylogenetic tree -> number of leaves\n"},
      {true, {{3, "tree: rand"}, {4, "number of leaves: 6"}, {9, "number of genes: 3"}},
       "Error:VORN:ReadInput: At most 2 genes can be simulated in alignment data -> number of genes\n"},
      {true, {{3, "tree: rand"}, {4, "number of leaves: 6"}, {9, "number of genes: 2"}, {10, "number of sites: const 26"}},
       "Error:VORN:ReadInput: At most 50 sites can be simulated in alignment data -> number of sites\n"},
      {true, {{3, "tree: rand"}, {4, "number of leaves: 6"}, {9, "number of genes: 2"}, {10, "number of sites: const 25"},
              {36, "# categories (loss distribution): 6"}},
       "Error:VORN:ReadInput: At most 5 categories are possible in control parameters -> # categories (loss "
       "distribution)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    std::vector<std::string> lines = TemplateLines();
    if (c.simulate) lines[7] = "source: sim";
    for (const auto& [line, text] : c.lines) lines[line - 1] = text;
    EXPECT_FALSE(Read(testing_support::JoinLines(lines)));
    EXPECT_EQ(errors_, c.message);
  }
  std::vector<std::string> lines = TemplateLines();
  lines[2] = "tree: rand";
  lines[3] = "number of leaves: 6";
  lines[7] = "source: sim";
  lines[8] = "number of genes: 2";
  lines[9] = "number of sites: const 25";
  lines[35] = "# categories (loss distribution): 5";
  EXPECT_TRUE(Read(testing_support::JoinLines(lines))) << errors_;
  ClearInputLimitsForTesting();
  EXPECT_EQ(ActiveInputLimits().maxTreeLeaves, kMaxTreeLeaves);  // the product's defaults again
  EXPECT_EQ(ActiveInputLimits().maxSimulatedSites, kMaxSimulatedSites);
}

TEST_F(InputReaderTest, RatesAreNotEstimatedOnATreeWithoutTime) {
  WriteText("tree.phyl", "3 Nodes (ID name age):\n1: 'r' 0\n2: 'a' 0\n3: 'b' 0\n\nEdges (ID from to):\n1: 1 2\n2: 1 3\n");
  WriteText("data.wp.txt", "0 1\n1 1\n");
  WriteText("data.ngp.txt", "g 3 4\n");
  EXPECT_FALSE(Read(testing_support::JoinLines(TemplateLines())));
  EXPECT_EQ(errors_, "Error:VORN:ReadInput: theta and eta cannot be estimated on a tree whose branches all have "
                     "length 0\n");
  // With both fixed nothing is lost: the run estimates what the tree can tell.
  std::vector<std::string> lines = TemplateLines();
  lines[24] = "theta: con 1";
  lines[26] = "eta: con 1";
  EXPECT_TRUE(Read(testing_support::JoinLines(lines))) << errors_;
}

}  // namespace
}  // namespace vorn
