// The settings after line 52 that say how the tree and the table are read, taken before line 3.
#include <gtest/gtest.h>

#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::WriteText;

class ReaderSettingsTest : public testing_support::ControlFileTest {
 protected:
  ReaderSettingsTest() {
    // MCMCTree's form, in units of 100 My; the table leaves D out and groups its rows by "grp".
    WriteText("tree.tre", "#NEXUS\nbegin trees;\n  utree 1 = ((A: 0.4, B: 0.4): 0.6, (C: 0.6, D: 0.6): 0.4);\nend;\n");
    WriteText("data.tsv", "row\tA\tgrp\tB\tC\nr1\t1\tx\t0\t1\nr2\t0\ty\t1\t1\nr3\t1\tx\t1\t1\n");
  }
  std::map<int, std::string> lines_ = {{3, "tree: tree.tre nexus"}, {8, "source: table data.tsv"}};
};

TEST_F(ReaderSettingsTest, SettingsAfterTheTemplateReachTheReaders) {
  lines_[53] = "% how the files are read";
  lines_[54] = "Tree Unit: 100My";
  lines_[55] = "gene column: grp";
  lines_[56] = "";
  lines_[57] = "leaves without data: prune";
  lines_[58] = "ultrametric tolerance: 5%";
  lines_[59] = "optimizer: fast";
  ASSERT_TRUE(ReadWith(lines_)) << errors_;
  EXPECT_EQ(control_.reader.treeUnit, "100My");
  EXPECT_EQ(control_.reader.millionYearsPerUnit, 100);
  EXPECT_EQ(control_.reader.geneColumn, "grp");
  EXPECT_EQ(control_.reader.leavesWithoutData, LeavesWithoutData::kPrune);
  EXPECT_EQ(control_.reader.ultrametricTolerance, 0.05);
  EXPECT_EQ(control_.fit.optimizer, Optimizer::kFast);
  // Root 1 unit = 100 My; D pruned, so C hangs from the root with 0.4 + 0.6 units.
  EXPECT_NEAR(tree_.Age(0), 0.1, 1e-15);  // 0.06 + 0.04
  EXPECT_EQ(tree_.leafCount, 3U);
  EXPECT_EQ(tree_.nodeNames, (std::vector<std::string>{"Ancestor_3", "Ancestor_1", "C", "A", "B"}));
  EXPECT_NEAR(tree_.branchLength[2], 0.1, 1e-15);
  // Positions C, A, B; genes x (rows 1 and 3) and y.
  EXPECT_EQ(testing_support::DataSummary(data_), "110 101 111 | x 0:1 2:1 (2/2) | y 1:1 (1/1) | 3/3");
  EXPECT_EQ(errors_, "Warning:VORN:ReadInput: Table 'data.tsv' has no column for the leaves 'D': they are removed "
                     "from the tree 'tree.tre', as the setting 'leaves without data: prune' asks, which keeps 3 "
                     "leaves\n");
  EXPECT_EQ(output_, "reading and processing input file\nTable 'data.tsv': the columns 'row' (row names) name no leaf "
                     "and are skipped\n");
}

TEST_F(ReaderSettingsTest, WithoutTheSettingsTheSameFilesAreReadAsTheySay) {
  // No unit: the lengths are thousands of millions of years. No gene column: "grp" names no leaf.
  EXPECT_FALSE(ReadWith(lines_));
  EXPECT_EQ(errors_, "Error:VORN:ReadInput: Table 'data.tsv' does not match the leaves of the tree 'tree.tre': no "
                     "column for the leaves 'D'; no leaf for the columns 'grp'\n");
  EXPECT_DOUBLE_EQ(tree_.Age(0), 1.0);
}

TEST_F(ReaderSettingsTest, AReaderSettingAmongTheTemplatesLinesIsRefused) {
  // 95 genes: the theta list takes ten lines, so the heading of line 44 is file line 53.
  std::string genes, thetas = "theta: fix";
  for (int g = 0; g < 95; ++g) {
    genes += "g" + std::to_string(g) + " 1 1 1\n";
    thetas += (g > 0 && g % 10 == 0 ? "\n" : " ") + std::string("1");
  }
  WriteText("data.ngp.txt", genes);
  EXPECT_TRUE(ReadWith({{25, thetas}})) << errors_;
  EXPECT_FALSE(ReadWith({{25, thetas}, {44, "ultrametric tolerance: 5%"}}));
  EXPECT_EQ(errors_, "Error:VORN:ReadInput: Line 53 names a setting but is one of the 52 template lines (a list goes "
                     "on over more lines); settings follow the template's last line\n");
}

TEST_F(ReaderSettingsTest, GenesOfOneSiteEachAreQuestioned) {
  // The rows' names taken for genes: every gene one site, each with its own theta and eta.
  WriteText("data.tsv", "row\tgene\tA\tB\tC\tD\nr1\tr1\t1\t0\t1\t0\nr2\tr2\t0\t1\t1\t1\n");
  ASSERT_TRUE(ReadWith({{8, "source: table data.tsv"}})) << errors_;
  EXPECT_EQ(errors_, "Warning:VORN:ReadInput: every one of the 2 genes of 'data.tsv' has a single site, so each gets "
                     "a theta and an eta of its own from one site; if a column of names was taken for the genes, "
                     "the setting 'gene column' names the one that groups the rows\n");
}

}  // namespace
}  // namespace vorn
