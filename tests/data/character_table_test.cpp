#include "data/character_table.h"

#include <gtest/gtest.h>

#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::ReadText;
using testing_support::StreamOf;
using testing_support::TestData;

struct ReadResult {
  bool ok;
  std::string errors, output;
};

// Leaves A, B, C, D at pattern positions 0 to 3.
const PhylogeneticTree& Tree() {
  static const PhylogeneticTree tree = testing_support::FourLeafTree();
  return tree;
}

ReadResult ReadTable(AlignmentData& data, const std::string& text, const std::string& name = "study/sites.tsv",
                     const ReaderSettings& reader = ReaderSettings(), PhylogeneticTree* tree = nullptr) {
  FilePtr file = StreamOf(text);
  PhylogeneticTree copy = Tree();
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const bool ok = ReadCharacterTable(file.get(), name, reader, tree ? *tree : copy, data);
  std::string errors = testing::internal::GetCapturedStderr();
  return {ok, errors, testing::internal::GetCapturedStdout()};
}

// The summary of data read from pattern files, for one gene named as given.
std::string Summary(const std::string& patterns, const std::string& counts) {
  AlignmentData expected;
  FilePtr wp = StreamOf(patterns), ngp = StreamOf(counts);
  EXPECT_TRUE(expected.ReadPatternFiles(wp.get(), ngp.get(), 4));
  return testing_support::DataSummary(expected);
}

TEST(CharacterTableTest, EveryFormOfOneDataSetReadsAsItsPatternFiles) {
  // Sites (A B C D): 1 0 ? 1, then 0 0 1 1, then the first again; one gene named after the file.
  const std::string expected = Summary("1 0 2 1\n0 0 1 1\n", "sites 2 1\n");
  const std::pair<const char*, std::string> cases[] = {  // the form, the table
      {"tab, columns in another order, an id column, copy numbers, DOS lines, a byte-order mark",
       "\xEF\xBB\xBFid\tD\tC\tB\tA\r\nf1\t3\tNA\t0\t1\r\nf2\t 12 \t1.0\t0.0\t0\r\n\r\nf3\t1\t\t00\t2\r\n\t\t\t\t\r\n"},
      {"comma, quoted cells with a separator, a doubled quote and a line end inside",
       "\"family\",\"A\",\"B\",\"C\",\"D\"\n\"f1, \"\"x\"\"\",1,0,?,1\n\"f\n2\",0,0,1,1\nf3,\"1\" ,0,-,1\n"},
      {"semicolon, an unnamed row-name column, unknowns spelt N/A and n/a",
       ";B;A;D;C\n1;0;1;1;N/A\n2;0;0;1;1\n3;0;1;1;n/a\n"},
      {"a first column headed gene names the rows", "gene\tA\tB\tC\tD\nx\t1\t0\t?\t1\ny\t0\t0\t1\t1\nz\t1\t0\t-\t1\n"},
      {"Count's table, with its comment lines", "Family\tA\tB\tC\tD\n#a note\n1\t1\t0\t?\t1\n2\t0\t0\t1\t1\n"
       "3\t1\t0\t-\t1\n#NFAM\t3\tfamilies\n"},
      {"FASTA with descriptions and rows over two lines", ">A first leaf\n1 0\n1\n>B\n000\n>C\n?1-\n>D\n11\n1\n"},
      {"PHYLIP, rows with blanks, one going on over the next line", "4 3\nA 101\nB   0 0 0\nC ?1\n-\nD 111\n"},
  };
  for (const auto& [form, text] : cases) {
    SCOPED_TRACE(form);
    AlignmentData data;
    const ReadResult r = ReadTable(data, text);
    ASSERT_TRUE(r.ok) << r.errors;
    EXPECT_EQ(testing_support::DataSummary(data), expected);
    EXPECT_EQ(r.errors, "");
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
                              "' is a negative number; a cell holds a number of copies (0 for absent), a gene name "
                              "(present) or unknown (?, -, NA, N/A)\n");
    }
  }
}

TEST(CharacterTableTest, AnEmptyCellIsAbsentOnlyInATableOfGeneNames) {
  // Site 2 of each: B empty. Numbers: unknown; with a gene name anywhere in the table: absent.
  AlignmentData counts, names;
  const ReadResult numbers = ReadTable(counts, "id\tA\tB\tC\tD\nf1\t1\t2\t0\t0\nf2\t1\t\t0\t1\n");
  ASSERT_TRUE(numbers.ok) << numbers.errors;
  EXPECT_EQ(testing_support::DataSummary(counts), Summary("1 1 0 0\n1 2 0 1\n", "sites 1 1\n"));
  EXPECT_EQ(numbers.output, "");
  const ReadResult text = ReadTable(names, "id\tA\tB\tC\tD\nf1\t1\t2\t0\t0\nf2\ta7\t\t0\t1\n");
  ASSERT_TRUE(text.ok) << text.errors;
  EXPECT_EQ(testing_support::DataSummary(names), Summary("1 1 0 0\n1 0 0 1\n", "sites 1 1\n"));
  EXPECT_EQ(text.output, "Table 'study/sites.tsv' holds gene names in its cells (the first on line 3, column 2: "
                         "'a7'): a cell with a name or a number above 0 is present, an empty one or 0 absent\n");
}

// Each tool's own table of the same four families (A B C D): 1 0 1 1, 0 1 1 0, 1 1 1 1, 1 0 0 0,
// with the notices it gives.
TEST(CharacterTableTest, TablesOfTheToolsReadAsTheirPatterns) {
  const std::string roaryMetadata =
      "'Gene' (row names), 'Non-unique Gene name', 'Annotation', 'No. isolates', 'No. sequences', 'Avg sequences "
      "per isolate', 'Genome Fragment', 'Order within Fragment', 'Accessory Fragment', 'Accessory Order with "
      "Fragment', 'QC', 'Min group size nuc', 'Max group size nuc', 'Avg group size nuc'";
  const auto skipped = [](const std::string& file, const std::string& columns) {
    return "Table '" + file + "': the columns " + columns + " name no leaf and are skipped\n";
  };
  const auto names = [](const std::string& file, const std::string& first) {
    return "Table '" + file + "' holds gene names in its cells (the first on " + first +
           "): a cell with a name or a number above 0 is present, an empty one or 0 absent\n";
  };
  const struct {
    const char* file;
    const char* gene;  // the gene named after the file
    std::string notices;
  } cases[] = {
      {"Orthogroups.GeneCount.tsv", "Orthogroups.GeneCount",
       skipped("Orthogroups.GeneCount.tsv", "'Orthogroup' (row names), 'Total'")},
      {"N0.tsv", "N0",
       skipped("N0.tsv", "'HOG' (row names), 'OG', 'Gene Tree Parent Clade'") +
           names("N0.tsv", "line 2, column 4: 'a1, a2, a3'")},
      {"Orthogroups.tsv", "Orthogroups",
       skipped("Orthogroups.tsv", "'Orthogroup' (row names)") + names("Orthogroups.tsv", "line 2, column 2: 'A|g1, A|g2'")},
      {"cafe_families.tsv", "cafe_families", skipped("cafe_families.tsv", "'Desc' (row names), 'Family ID'")},
      {"gene_presence_absence.csv", "gene_presence_absence",
       skipped("gene_presence_absence.csv", roaryMetadata) +
           names("gene_presence_absence.csv", "line 2, column 15: 'A_00001'")},
      {"gene_presence_absence.Rtab", "gene_presence_absence",
       skipped("gene_presence_absence.Rtab", "'Gene' (row names)")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    AlignmentData data;
    const ReadResult r = ReadTable(data, ReadText(TestData(std::string("tables/") + c.file)), c.file);
    ASSERT_TRUE(r.ok) << r.errors;
    EXPECT_EQ(testing_support::DataSummary(data),
              Summary("1 0 1 1\n0 1 1 0\n1 1 1 1\n1 0 0 0\n", std::string(c.gene) + " 1 1 1 1\n"));
    EXPECT_EQ(r.output, c.notices);
    EXPECT_EQ(r.errors, "");
  }
}

TEST(CharacterTableTest, GenesComeFromTheColumnTheSettingNamesOrALaterGeneColumn) {
  ReaderSettings reader;
  reader.geneColumn = "Family ID";
  AlignmentData byFamily;
  const ReadResult cafe = ReadTable(byFamily, "Desc\tFamily ID\tA\tB\tC\tD\nx\tF1\t1\t0\t0\t0\ny\tF2\t1\t1\t0\t0\n"
                                              "z\tF1\t0\t0\t1\t1\n", "t.tsv", reader);
  ASSERT_TRUE(cafe.ok) << cafe.errors;
  EXPECT_EQ(testing_support::DataSummary(byFamily), Summary("1 0 0 0\n1 1 0 0\n0 0 1 1\n", "F1 1 0 1\nF2 0 1 0\n"));
  EXPECT_EQ(cafe.output, "Table 't.tsv': the columns 'Desc' (row names) name no leaf and are skipped\n");

  // The families example's form: a row name, then the gene; the setting may also name the first.
  AlignmentData later, first;
  const std::string families = "family\tgene\tA\tB\tC\tD\nf1\tg\t1\t0\t0\t0\nf2\th\t1\t1\t0\t0\n";
  ASSERT_TRUE(ReadTable(later, families).ok);
  EXPECT_EQ(testing_support::DataSummary(later), Summary("1 0 0 0\n1 1 0 0\n", "g 1 0\nh 0 1\n"));
  reader.geneColumn = "family";
  ASSERT_TRUE(ReadTable(first, families, "t.tsv", reader).ok);
  EXPECT_EQ(testing_support::DataSummary(first), Summary("1 0 0 0\n1 1 0 0\n", "f1 1 0\nf2 0 1\n"));

  reader.geneColumn = "Orthogroup";
  const ReadResult missing = ReadTable(later, families, "t.tsv", reader);
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.errors, "Error:VORN:ReadInput: Table 't.tsv' has no column 'Orthogroup', which the setting 'gene "
                            "column' names\n");
}

TEST(CharacterTableTest, LeavesWithoutDataAreUnknownOrPruned) {
  ReaderSettings reader;
  reader.leavesWithoutData = LeavesWithoutData::kUnknown;
  AlignmentData unknown;
  ReadResult r = ReadTable(unknown, "A\tB\tC\n1\t0\t1\n0\t0\t1\n", "t.tsv", reader);
  ASSERT_TRUE(r.ok) << r.errors;
  EXPECT_EQ(testing_support::DataSummary(unknown), Summary("1 0 1 2\n0 0 1 2\n", "t 1 1\n"));
  EXPECT_EQ(r.errors, "Warning:VORN:ReadInput: Table 't.tsv' has no column for the leaves 'D': their values are "
                      "unknown at every site, as the setting 'leaves without data: unknown' asks\n");

  // Pruned, the tree is the one a user would write without D: C hangs from the root, its branch
  // the two it joins (0.04 + 0.06), and the leaves are numbered as in that Newick tree.
  reader.leavesWithoutData = LeavesWithoutData::kPrune;
  PhylogeneticTree pruned = Tree(), byHand;
  byHand.treeName = "by hand";
  FilePtr text = StreamOf("((A:0.04,B:0.04)AB:0.06,C:0.1)root;");
  ASSERT_TRUE(byHand.ReadNewick(text.get()));
  AlignmentData data;
  r = ReadTable(data, ">A\n10\n>B\n00\n>C\n11\n", "t.fasta", reader, &pruned);
  ASSERT_TRUE(r.ok) << r.errors;
  EXPECT_EQ(pruned.nodeNames, byHand.nodeNames);
  EXPECT_EQ(pruned.parent, byHand.parent);
  EXPECT_EQ(pruned.firstChild, byHand.firstChild);
  EXPECT_EQ(pruned.secondChild, byHand.secondChild);
  EXPECT_EQ(pruned.bottomUpOrder, byHand.bottomUpOrder);
  for (std::uint32_t v = 1; v < pruned.nodeCount; ++v) {
    EXPECT_NEAR(pruned.branchLength[v], byHand.branchLength[v], 1e-15) << v;  // differences of ages in My * 0.001
  }
  // Leaf positions C, A, B: site 1 is C 1, A 1, B 0.
  ASSERT_EQ(data.leafCount, 3U);
  EXPECT_EQ(data.patterns[0].values, (std::vector<std::uint8_t>{1, 1, 0}));
  EXPECT_EQ(data.patterns[1].values, (std::vector<std::uint8_t>{1, 0, 0}));
  EXPECT_EQ(r.errors, "Warning:VORN:ReadInput: Table 't.fasta' has no row for the leaves 'D': they are removed from "
                      "the tree 'four', as the setting 'leaves without data: prune' asks, which keeps 3 leaves\n");

  PhylogeneticTree two = Tree();
  r = ReadTable(data, ">A\n1\n", "t.tsv", reader, &two);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.errors, "Error:VORN:ReadInput: the phylogenetic tree 'four' would keep 1 leaves without the leaves that "
                      "have no data; at least two are needed\n");
}

TEST(CharacterTableTest, NamesThatNearlyMatchAreNamedAsPairs) {
  PhylogeneticTree tree;
  tree.treeName = "t.nwk";
  FilePtr text = StreamOf("(('Vitis vinifera':1,Ecoli:1):1,(strain1:1,Dd:1):1);");
  ASSERT_TRUE(tree.ReadNewick(text.get()));
  AlignmentData data;
  // The first column names the rows when it names no leaf, but may be a leaf's column misspelt.
  const ReadResult r = ReadTable(data, "Vitis_vinifera\tecoli.faa\tstrain1|123\tDD\tX\n1\t1\t1\t1\t1\n", "t.tsv",
                                 ReaderSettings(), &tree);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.errors,
            "Error:VORN:ReadInput: Table 't.tsv' does not match the leaves of the tree 't.nwk': no column for the "
            "leaves 'strain1', 'Dd', 'Vitis vinifera', 'Ecoli'; no leaf for the columns 'ecoli.faa', 'strain1|123', "
            "'DD', 'X'; likely the same: column 'Vitis_vinifera' (taken for the row names) for the leaf 'Vitis "
            "vinifera', column 'ecoli.faa' for the leaf 'Ecoli', column 'strain1|123' for the leaf 'strain1', "
            "column 'DD' for the leaf 'Dd'\n");
}

TEST(CharacterTableTest, MalformedFilesNameTheLineAtFault) {
  std::vector<std::vector<std::string>> cases = testing_support::CaseTable("table_errors.txt");
  cases.push_back({"A,B,C,D," + std::string(256, 'n') + "\n0,0,0,1,0\n", "line 1, column 5 holds more than 255 characters"});
  cases.push_back({"A,B,C,D,gene\n0,0,0,1," + std::string(256, 'g') + "\n", "line 2, column 5 holds more than 255 characters"});
  // A list of names that match nothing shows its first 20 and the count, not a line of megabytes.
  std::string header = "A,B,C,D", row = "0,0,0,1";
  for (int i = 1; i <= 25; ++i) header += ",x" + std::to_string(i), row += ",0";
  cases.push_back({header + "\n" + row + "\n", "names: no leaf for the columns 'x1', 'x2', 'x3', 'x4', 'x5', 'x6', "
                   "'x7', 'x8', 'x9', 'x10', 'x11', 'x12', 'x13', 'x14', 'x15', 'x16', 'x17', 'x18', 'x19', 'x20' and 5 "
                   "more (25 in all)"});
  for (const std::vector<std::string>& c : cases) {
    SCOPED_TRACE(c[0]);
    AlignmentData data;
    const ReadResult r = ReadTable(data, c[0]);
    EXPECT_FALSE(r.ok);
    std::string message = c[1][0] == ':' ? c[1] : " " + c[1];
    if (message.rfind(" names: ", 0) == 0) message.replace(0, 7, " does not match the leaves of the tree 'four':");
    EXPECT_EQ(r.errors, "Error:VORN:ReadInput: Table 'study/sites.tsv'" + message + "\n");
  }
  // The cells of leaves may be long: gene names listed.
  AlignmentData data;
  const ReadResult r = ReadTable(data, "A,B,C,D\n0,0,0," + std::string(300, 'n') + "\n");
  ASSERT_TRUE(r.ok) << r.errors;
  EXPECT_EQ(data.patterns[0].values, (std::vector<std::uint8_t>{0, 0, 0, 1}));
}

}  // namespace
}  // namespace vorn
