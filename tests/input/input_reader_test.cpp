#include "input/input_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "data/diagnostics.h"
#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::FileExists;
using testing_support::ReadText;
using testing_support::TestData;
using testing_support::WriteText;
using Bytes = std::vector<std::uint8_t>;
using Values = std::vector<double>;

std::vector<std::string> Modes(const InitializationSettings& init) {
  return {init.p0Mode, init.thetaMode, init.phiMode,     init.etaMode,
          init.xiMode, init.nuMode,    init.llambdaMode, init.glambdaMode};
}

// The template on the four-leaf tree (7 nodes) with two genes of pattern data, lines replaced.
class InputReaderTest : public testing_support::ControlFileTest {
 protected:
  // Reads every record of a case table (tests/testdata/cases): "sim" (line 8 becomes "source:
  // sim") or "N=text" for each change; then `check` sees the record's last `results` fields.
  template <typename Check>
  void ForEachRead(const std::string& table, std::size_t results, Check check) {
    for (const std::vector<std::string>& record : testing_support::CaseTable(table)) {
      SCOPED_TRACE(record.size() > results ? record[record.size() - results - 1] : record.back());
      std::map<int, std::string> changes;
      for (std::size_t i = 0; i + results < record.size(); ++i) {
        if (record[i] == "sim") changes[8] = "source: sim";
        else changes[std::stoi(record[i])] = record[i].substr(record[i].find('=') + 1);
      }
      const bool read = ReadWith(changes);
      check(read, std::vector<std::string>(record.end() - results, record.end()));
    }
  }
  // The records end in what the reader says.
  void CheckCases(const std::string& table) {
    ForEachRead(table, 1, [this](bool read, const std::vector<std::string>& expected) {
      EXPECT_EQ(read, expected[0].rfind("Error:", 0) != 0);
      EXPECT_EQ(errors_, expected[0] == "-" ? "" : expected[0] + "\n");
    });
  }
};

TEST_F(InputReaderTest, EveryLineAsTheCaseTableSays) { CheckCases("control_lines.txt"); }

TEST_F(InputReaderTest, FilesAreCheckedBeforeTheyAreRead) {
  for (const std::vector<std::string>& c : testing_support::CaseTable("input_files.txt")) {
    SCOPED_TRACE(c.back());
    testing_support::WriteFourLeafRun();
    if (c[1] == "DIR") {
      std::filesystem::create_directory(c[0]);
    } else if (c[1] != "-") {
      WriteText(c[0], c[1]);
    }
    std::map<int, std::string> changes;
    for (std::size_t i = 2; i + 1 < c.size(); ++i) changes[std::stoi(c[i])] = c[i].substr(c[i].find('=') + 1);
    EXPECT_FALSE(ReadWith(changes));
    EXPECT_EQ(errors_, c.back() + "\n");
  }
}

TEST_F(InputReaderTest, LoweredLimitsRefuseWhatTheyExclude) {
  InputLimits limits;
  limits.maxTreeLeaves = 3;
  limits.maxRandomTreeLeaves = 6;
  limits.maxSimulatedGenes = 2;
  limits.maxSimulatedSites = 50;
  limits.maxCategories = 5;
  SetInputLimitsForTesting(limits);
  CheckCases("control_limits.txt");
  ClearInputLimitsForTesting();
}

TEST_F(InputReaderTest, ATreeFileNamedLikeTheRandomKeywordIsNotReadInSilence) {
  // "rand..." asks for a random tree, as it always has; with a form after it, or a file of that
  // name at hand, the run says that the file is not the tree it uses.
  const std::string warning = "Warning:VORN:ReadInput: 'random7.phyl' on line 3 begins with \"rand\" and so asks "
                              "for a random tree: a tree file of that name is not read (rename it to use it)\n";
  const std::map<int, std::string> simulated = {{3, "tree: random7.phyl phyl"}, {4, "number of leaves: 5"},
                                                {8, "source: sim"}, {9, "number of genes: 1"}};
  ASSERT_TRUE(ReadWith(simulated)) << errors_;
  EXPECT_EQ(errors_, warning);
  EXPECT_EQ(tree_.leafCount, 5U);
  std::map<int, std::string> bare = simulated;
  bare[3] = "tree: random7.phyl";
  ASSERT_TRUE(ReadWith(bare)) << errors_;
  EXPECT_EQ(errors_, "");
  testing_support::WriteText("random7.phyl", testing_support::kFourLeafPhyl);
  ASSERT_TRUE(ReadWith(bare)) << errors_;
  EXPECT_EQ(errors_, warning);
}

TEST_F(InputReaderTest, AWarningQuotesStrayBytesEscaped) {
  // A line of the user's own is quoted back: a delete character or a byte of another encoding in
  // it must reach neither the terminal nor results.json as it is.
  ClearWarnings();
  ASSERT_TRUE(ReadWith({{53, "Edges (\x7f from to) na\xefve \xc3\xa9t\xc3"}})) << errors_;
  const std::string text = "Line 53 ('Edges (\\x7F from to) na\\xEFve \xc3\xa9t\\xC3') is not a setting; it is ignored";
  EXPECT_EQ(errors_, "Warning:VORN:ReadInput: " + text + "\n");
  ASSERT_EQ(Warnings().size(), 1U);
  EXPECT_EQ(Warnings()[0].text, text);
  ClearWarnings();
}

TEST_F(InputReaderTest, TheTemplateEstimatesEverything) {
  ASSERT_TRUE(ReadWith({{30, "minimal l-lambda value: 0.2"}, {31, "minimal g-lambda value: 0"}, {45, "p0: rand 0.9"},
                        {46, "theta: ran 2"}, {48, "eta: random 3"}, {50, "nu: rand 0.7"}, {51, "l-lambda: rand 0.5"},
                        {52, "g-lambda: rand 4"}}))
      << errors_;
  EXPECT_EQ(output_ + errors_, "reading and processing input file\n");
  EXPECT_EQ(tree_.leafCount, 4U);
  EXPECT_EQ(data_.patternFileName + " " + data_.countsFileName, "data.wp.txt data.ngp.txt");
  EXPECT_EQ(testing_support::DataSummary(data_), "0110 1121 0001 | g1 0:5 2:2 (7/7) | g2 0:1 1:1 2:1 (3/3) | 10/10");
  const EstimationFlags& f = control_.fit.flags;
  EXPECT_TRUE(f.p0 && Estimated(f, kTheta) && Estimated(f, kPhi) && Estimated(f, kEta) && Estimated(f, kXi) && f.nu && f.llambda && f.glambda);
  EXPECT_EQ(f.theta, Bytes({1, 1}));
  EXPECT_EQ(f.xi, Bytes({0, 1, 1, 1, 1, 1, 1}));
  EXPECT_FALSE(control_.fit.nuHeldFixed);
  // Pattern data: nothing is drawn, the values wait for the initialization.
  EXPECT_EQ(control_.model.theta, Values({0, 0}));
  EXPECT_EQ(control_.model.geneCount, 2U);
  // The longest branches (AB, C, D) are 60 My = 0.06 units.
  EXPECT_NEAR(Limits().thetaCap, 153.5 / 0.06, 1e-9);
  EXPECT_EQ(Limits().etaCap, Limits().thetaCap);
  EXPECT_FALSE(Limits().thetaPhiInvariant || Limits().etaXiInvariant);  // the shapes are estimated
  EXPECT_EQ((Values{control_.fit.minLLambda, control_.fit.minGLambda}), (Values{0.2, 0.06}));  // g not above 0: the default
  EXPECT_EQ((std::vector<int>{control_.fit.lossCategories, control_.fit.gainCategories}), (std::vector<int>{4, 5}));
  EXPECT_EQ((Values{control_.fit.likelihoodTolerance, control_.fit.parameterTolerance, control_.fit.internalTolerance}),
            (Values{1e-6, 1e-4, 1e-8}));
  EXPECT_EQ(std::to_string(control_.fit.maxIterations) + " " + std::to_string(static_cast<int>(control_.reconstruction)), "0 0");
  const InitializationSettings& init = control_.fit.initialization;
  EXPECT_EQ(Modes(init), (std::vector<std::string>{"rand", "rand", "dollo", "rand", "dollo", "rand", "rand", "rand"}));
  EXPECT_EQ((Values{init.p0Lower, init.thetaMean, init.etaMean, init.nuLower, init.llambdaMean, init.glambdaMean}),
            (Values{0.9, 2, 3, 0.7, 0.5, 4}));
  // The template's own initialization lines: observed modes, and numbers the modes ignore.
  ASSERT_TRUE(ReadWith({})) << errors_;
  EXPECT_EQ(Modes(control_.fit.initialization)[0] + Modes(control_.fit.initialization)[5], "observedobserved");
}

TEST_F(InputReaderTest, EveryParameterFixed) {
  ASSERT_TRUE(ReadWith({{24, "p0: fix 0.3"}, {25, "theta: fixed 0.5,1.5"}, {26, "phi: fix 0.9 0.1 0.2 0.3 0.4 0.5 0.6"},
                        {27, "eta: con 2"}, {28, "xi: constant 0.25"}, {29, "nu: fix 0.6"}, {32, "l-lambda: fix inf"},
                        {33, "g-lambda: fix 2.5"}, {36, "# categories (loss distribution): 3"},
                        {37, "# categories (gain distribution): 6"}, {41, "maximum # iterations: 1000"},
                        {42, "ancestral reconstruction: on"}, {45, "p0: fix 0.5"}, {46, "theta: fix 9 9"},
                        {47, "phi: fix 0 0.5 0.5 0.5 0.5 0.5 0.5"}, {48, "eta: con 9"},
                        {49, "xi: fix 0 0.5 0.5 0.5 0.5 0.5 0.5"}, {50, "nu: fix 0.1"}, {51, "l-lambda: fixed 3"},
                        {52, "g-lambda: fixed 3"}}))
      << errors_;
  const EstimationFlags& f = control_.fit.flags;
  EXPECT_FALSE(f.p0 || Estimated(f, kTheta) || Estimated(f, kPhi) || Estimated(f, kEta) || Estimated(f, kXi) || f.nu || f.llambda || f.glambda);
  EXPECT_EQ(f.phi, Bytes(7, 0));
  // Starting values of fixed entries are read and dropped; the root's phi is 0 whatever the list.
  const EvolModel& m = control_.model;
  EXPECT_EQ((Values{m.p0, m.nu, m.llambda, m.glambda}), (Values{0.3, 0.6, 0, 2.5}));
  EXPECT_EQ(m.theta, Values({0.5, 1.5}));
  EXPECT_EQ(m.phi, Values({0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6}));
  EXPECT_EQ(m.eta, Values({2, 2}));
  EXPECT_EQ(m.xi, Values({0, 0.25, 0.25, 0.25, 0.25, 0.25, 0.25}));
  // No loss-rate variation: one loss category.
  EXPECT_EQ((std::vector<int>{control_.fit.lossCategories, control_.fit.gainCategories}), (std::vector<int>{1, 6}));
  EXPECT_EQ(std::to_string(control_.fit.maxIterations) + " " + std::to_string(static_cast<int>(control_.reconstruction)), "1000 1");
  EXPECT_EQ(Modes(control_.fit.initialization), std::vector<std::string>(8, "fixed"));
}

TEST_F(InputReaderTest, ValueListsOverSeveralLinesShiftLaterLines) {
  std::string genes;
  for (int g = 0; g < 25; ++g) genes += "gene" + std::to_string(g) + " 2 0 0\n";
  WriteText("data.ngp.txt", genes);
  // Ten values a line; a "%" after a line's tenth value, or after the last, is never reached.
  std::string thetaList = "theta: fix", etaStart = "eta: fix";
  for (int g = 0; g < 25; ++g) {
    thetaList += (g > 0 && g % 10 == 0 ? "\n" : " ") + std::to_string((g + 1) / 10.0);
    etaStart += (g > 0 && g % 10 == 0 ? "\n" : " ") + std::to_string(3 + g);
  }
  ASSERT_TRUE(ReadWith({{25, thetaList + " % comment"}, {27, "eta: mix 0 9 24 8 %"},
                        {42, "ancestral reconstruction: detailed"}, {48, etaStart}, {52, "g-lambda: fixed 2"}}))
      << errors_;
  ASSERT_EQ(control_.model.theta.size(), 25U);
  for (int g = 0; g < 25; ++g) {
    SCOPED_TRACE(g);
    EXPECT_DOUBLE_EQ(control_.model.theta[g], (g + 1) / 10.0);
    // The eta list starts only the estimated genes; 0 and 24 keep the model section's values.
    EXPECT_EQ(control_.model.eta[g], g == 0 ? 9.0 : g == 24 ? 8.0 : 3.0 + g);
  }
  EXPECT_FALSE(Estimated(control_.fit.flags, kTheta));
  EXPECT_EQ(control_.reconstruction, ReconstructionMode::kDetailed);
  EXPECT_EQ(control_.model.glambda, 2.0);

  // A file that ends inside a list names the file line it misses.
  const std::string full = ReadText("run.txt");
  EXPECT_FALSE(Read(full.substr(0, full.find("\n1.1"))));
  EXPECT_EQ(errors_, "Error:VORN:ReadInput: The input file ends before line 26 in model parameters -> theta\n");
  EXPECT_FALSE(Read(full.substr(0, full.rfind("g-lambda"))));
  EXPECT_EQ(errors_, "Error:VORN:ReadInput: The input file ends before line 56 in initialization parameters -> "
                     "g-lambda\n");
}

TEST_F(InputReaderTest, MixedPairsGoOnOverLinesAndTheLastValueWins) {
  ASSERT_TRUE(ReadWith({{25, "theta: mix 0 0.5 1 0.7 %"}, {26, "phi: mix 1 0.1 2 0.2\n3 0.3 1 0.15 %"},
                        {27, "eta: mixed 1 2.5\n\n%"}, {28, "xi: mix 0 5 6 0.5 %"}, {29, "nu: est fixed"}}))
      << errors_;
  const EstimationFlags& f = control_.fit.flags;
  EXPECT_EQ(control_.model.theta, Values({0.5, 0.7}));
  EXPECT_FALSE(Estimated(f, kTheta));  // every gene ended up fixed
  EXPECT_EQ(f.phi, Bytes({0, 0, 0, 0, 1, 1, 1}));
  EXPECT_TRUE(Estimated(f, kPhi));
  EXPECT_EQ(Values(control_.model.phi.begin() + 1, control_.model.phi.begin() + 4), Values({0.15, 0.2, 0.3}));
  EXPECT_EQ(f.eta, Bytes({1, 0}));
  EXPECT_EQ(control_.model.eta[1], 2.5);
  // The root's entry may be named, and is dropped like the root's entry of a list.
  EXPECT_EQ(control_.model.xi[0], 0.0);
  EXPECT_EQ(control_.model.xi[6], 0.5);
  EXPECT_EQ(f.xi, Bytes({0, 1, 1, 1, 1, 1, 0}));
  EXPECT_TRUE(f.nu);
  EXPECT_TRUE(control_.fit.nuHeldFixed);
  EXPECT_EQ(control_.fit.initialization.glambdaMode, "rand");  // the last line, three file lines later
}

TEST_F(InputReaderTest, CategoriesAndInvariantsFollowTheShapes) {
  WriteText("data.ngp.txt", "g1 5 0 2\n");  // one gene
  ForEachRead("categories.txt", 2, [this](bool read, const std::vector<std::string>& expected) {
    ASSERT_TRUE(read) << errors_;
    EXPECT_EQ(errors_, expected[1] == "-" ? "" : expected[1] + "\n");
    int first = 0, second = 0;
    if (std::sscanf(expected[0].c_str(), "invariant %d %d", &first, &second) == 2) {
      EXPECT_EQ(Limits().thetaPhiInvariant, first == 1);
      EXPECT_EQ(Limits().etaXiInvariant, second == 1);
      return;
    }
    std::sscanf(expected[0].c_str(), "%d %d", &first, &second);
    EXPECT_EQ(control_.fit.lossCategories, first);
    EXPECT_EQ(control_.fit.gainCategories, second);
    });
  WriteText("data.ngp.txt", "g1 5 0 2\ng2 1 1 1\n");
  ASSERT_TRUE(ReadWith({{32, "l-lambda: fix inf"}, {33, "g-lambda: fix 0"}})) << errors_;
  EXPECT_FALSE(Limits().etaXiInvariant);  // two genes
}

TEST_F(InputReaderTest, DrawParametersADrawCannotTakeKeepTheDefaults) {
  // Drawn true values of a simulation: with the same seed, a value the line gives outside its
  // range must draw what the default written out draws.
  const std::map<int, std::string> draw = {
      {8, "source: sim"},  {10, "number of sites: const 1"}, {24, "p0: fix rand"},       {25, "theta: fix rand"},
      {26, "phi: fix rand"}, {27, "eta: fix rand"}, {28, "xi: fix rand"}, {29, "nu: fix rand"},
      {32, "l-lambda: fix rand"}, {33, "g-lambda: fix rand"}};
  auto drawn = [&](int line, const std::string& text) {
    std::map<int, std::string> lines = draw;
    lines[line] = text;
    EXPECT_TRUE(ReadWith(lines)) << errors_;
    const EvolModel& m = control_.model;
    Values values = {m.p0, m.nu, m.llambda, m.glambda};
    for (const Values* entries : {&m.theta, &m.phi, &m.eta, &m.xi}) {
      values.insert(values.end(), entries->begin(), entries->end());
    }
    return values;
  };
  for (const std::vector<std::string>& c : testing_support::CaseTable("draws_outside.txt")) {
    SCOPED_TRACE(c[1]);
    EXPECT_EQ(drawn(std::stoi(c[0]), c[1]), drawn(std::stoi(c[0]), c[2]));
  }
  // Weight 1: every node below the root's children copies its parent; a uniform from 1 is 1.
  const Values values = drawn(16, "phi: 1 2");
  EXPECT_EQ(control_.model.phi[3], control_.model.phi[1]);
  EXPECT_EQ(control_.model.phi[6], control_.model.phi[2]);
  EXPECT_NE(values, drawn(16, "phi: 0.4 2"));
  EXPECT_NE(drawn(18, "xi: 0 1.5"), drawn(18, "xi: 0.4 1.5"));
  drawn(14, "p0: 1");
  EXPECT_EQ(control_.model.p0, 1.0);
  drawn(31, "minimal g-lambda value: 3");
  EXPECT_GE(control_.model.glambda, 3.0);
  // A shape is its minimum (0.05, 0.06) plus an exponential of the line's mean, memoryless: for
  // the same uniform draw, a mean three times as large triples the excess over the minimum.
  const double l1 = drawn(20, "l-lambda: 1")[2], l3 = drawn(20, "l-lambda: 3")[2];
  EXPECT_NEAR(l3 - 0.05, 3 * (l1 - 0.05), 1e-12);
  const double g1 = drawn(21, "g-lambda: 1")[3], g3 = drawn(21, "g-lambda: 3")[3];
  EXPECT_NEAR(g3 - 0.06, 3 * (g1 - 0.06), 1e-12);
}

TEST_F(InputReaderTest, FilesFromOtherSystemsReadAlike) {
  // A byte-order mark before the first line and CR LF line ends, as some editors save text.
  auto foreign = [](const std::string& text) {
    std::string saved = "\xEF\xBB\xBF";
    for (char c : text) saved += c == '\n' ? "\r\n" : std::string(1, c);
    return saved;
  };
  auto summary = [this] {
    std::string text = tree_.treeName + " " + testing_support::DataSummary(data_);
    for (std::uint32_t v = 0; v < tree_.nodeCount; ++v) text += " " + tree_.nodeNames[v] + ":" + std::to_string(tree_.branchLength[v]);
    return text;
  };
  // A name that begins with the mark's first byte (a fullwidth G) is no mark.
  WriteText("data.ngp.txt", "\xEF\xBC\xA7" "1 5 0 2\ng2 1 1 1\n");
  ASSERT_TRUE(ReadWith({})) << errors_;
  EXPECT_EQ(data_.genes[0].geneName, "\xEF\xBC\xA7" "1");
  const std::string expected = summary();
  for (const char* file : {"tree.phyl", "data.wp.txt", "data.ngp.txt"}) WriteText(file, foreign(ReadText(file)));
  ASSERT_TRUE(Read(foreign(testing_support::ControlText()))) << errors_;
  EXPECT_EQ(summary(), expected);

  WriteText("tree.nwk", foreign("((A:0.04,B:0.04):0.06,(C:0.06,D:0.06):0.04);\n"));
  ASSERT_TRUE(ReadWith({{3, "tree: tree.nwk newick"}})) << errors_;
  EXPECT_EQ(tree_.nodeNames[3], "C");  // leaves are numbered as their pairs close, right first
}

TEST_F(InputReaderTest, ATableReadsAsItsPatternFiles) {
  // Patterns (A B C D) 0110, 1121, 0001, 2220 (dropped by the filter) and 1111; gene g2, first
  // met, shows them 1, 2, 1, 0, 1 times, g1 2, 0, 1, 1, 2 times. The table has its columns in
  // another order, copy numbers and every spelling of unknown, and its rows in an order that meets
  // the patterns first in the order of the pattern file (though g2 meets 1111 before 0001).
  WriteText("data.wp.txt", "0 1 1 0\n1 1 2 1\n0 0 0 1\n2 2 2 0\n1 1 1 1\n");
  WriteText("data.ngp.txt", "g2 1 2 1 0 1\ng1 2 0 1 1 2\n");
  WriteText("data.tsv", "family\tC\tA\tgene\tD\tB\nf1\t3\t0\tg2\t0.0\t1\nf2\tNA\t2\tg2\t1\t1\nf3\t0\t0\tg1\t5\t0\n"
                        "f4\t\t-\tg1\t0\t?\nf5\t1\t1\tg1\t1\t1\nf6\t1\t0\tg1\t0\t1\nf7\t2\t0\tg1\t0\t1\n"
                        "f8\tN/A\t1\tg2\t1\t1\nf9\t1\t1\tg2\t1\t1\nf10\t1\t1\tg1\t1\t1\nf11\t0\t0\tg2\t1\t0\n");
  ASSERT_TRUE(ReadWith({{13, "filter unknowns: ukf 0.5"}})) << errors_;
  const std::string fromPatternFiles = testing_support::DataSummary(data_);
  ASSERT_TRUE(ReadWith({{8, "source: table data.tsv"}, {13, "filter unknowns: ukf 0.5"}})) << errors_;
  EXPECT_EQ(testing_support::DataSummary(data_), fromPatternFiles);
  EXPECT_EQ(data_.patternFileName + " " + data_.countsFileName, "data.tsv data.tsv");  // as the report names them
}

TEST_F(InputReaderTest, ConditionedOnPresenceSitesWithoutAPresentLeafAreDropped) {
  // Patterns: two with a present leaf, one absent everywhere, one of absences and unknowns only.
  WriteText("data.wp.txt", "0 1 1 0\n0 0 0 0\n1 1 2 1\n2 0 2 0\n");
  WriteText("data.ngp.txt", "g1 5 3 2 1\ng2 0 4 1 0\n");
  ASSERT_TRUE(ReadWith({{53, "condition on presence: on"}})) << errors_;
  EXPECT_TRUE(control_.fit.conditionOnPresence);
  EXPECT_EQ(testing_support::DataSummary(data_), "0110 1121 | g1 0:5 1:2 (7/11) | g2 1:1 (1/5) | 8/16");
}

TEST_F(InputReaderTest, KeywordsAreMatchedByTheirLeadingCharacters) {
  ASSERT_TRUE(ReadWith({{2, "time units:Billion"}, {3, "tree:\ttree.phyl,phylip"},
                        {4, "with a pattern file this line is never examined"},
                        {8, "source: pattern data.wp.txt data.ngp.txt"}, {9, ""}, {13, "filter unknowns: ukfilter 0.5"}}))
      << errors_;
  EXPECT_TRUE(data_.ukfFilter);
  EXPECT_EQ(data_.ukfThreshold, 0.5);
  EXPECT_EQ(data_.patternCount, 3U);  // "1 1 2 1": one unknown of four leaves, 0.25 < 0.5
  ASSERT_TRUE(ReadWith({{13, "filter unknowns: ukf 0"}})) << errors_;
  EXPECT_EQ(data_.patternCount, 0U);  // 0 removes every site
}

TEST_F(InputReaderTest, OverlongLinesAreErrorsAndTheLastLineNeedsNoLineFeed) {
  const std::string text = testing_support::ControlText();
  EXPECT_FALSE(ReadWith({{7, std::string(2047, 'x')}}));
  EXPECT_EQ(errors_, "Error:VORN:ReadInput: Line 7 of the input file is longer than 2046 characters\n");
  EXPECT_TRUE(ReadWith({{7, std::string(2046, 'x')}})) << errors_;
  EXPECT_TRUE(Read(text.substr(0, text.size() - 1))) << errors_;  // the last line may lack its line feed
}

TEST_F(InputReaderTest, TreeFiles) {
  ASSERT_TRUE(ReadWith({{3, "tree: random"}, {4, "number of leaves: 5"}, {5, "total time span: 1500"}, {8, "source: sim"}}))
      << errors_;
  EXPECT_EQ(tree_.treeName, "run.phyl");
  EXPECT_EQ(tree_.leafCount, 5U);
  EXPECT_NEAR(tree_.Age(0), 1.5, 1e-12);  // 1500 My in units of 1000 My
  EXPECT_EQ(ReadText("run.phyl").rfind("9 Nodes (ID name age):\n1: 'Node #1' 1500.00\n", 0), 0U);

  WriteText("tree.phyl", "4 Nodes\n");
  EXPECT_FALSE(ReadWith({}));
  EXPECT_EQ(errors_.rfind("Error:VORN:ReadInput: the phylogenetic tree 'tree.phyl' ", 0), 0U) << errors_;

  // A tree without time: no rate acts on anything, so theta and eta cannot be estimated.
  WriteText("tree.phyl", "3 Nodes (ID name age):\n1: 'r' 0\n2: 'a' 0\n3: 'b' 0\n\nEdges\n1: 1 2\n2: 1 3\n");
  WriteText("data.wp.txt", "0 1\n1 1\n");
  WriteText("data.ngp.txt", "g 3 4\n");
  EXPECT_FALSE(ReadWith({}));
  EXPECT_EQ(errors_, "Error:VORN:ReadInput: theta and eta cannot be estimated on a tree whose branches all have "
                     "length 0\n");
  EXPECT_TRUE(ReadWith({{25, "theta: con 1"}, {27, "eta: con 1"}})) << errors_;
}

TEST_F(InputReaderTest, SimulationOfAFixedModel) {
  ASSERT_TRUE(ReadWith({{8, "source: sim"}, {9, "number of genes: 2"}, {10, "number of sites: fixed 3 4"},
                        {11, "fraction of unknowns: 0"}, {12, "track numbers of present characters: on"},
                        {24, "p0: fix 0.25"}, {25, "theta: fix 0.5 1.5"}, {26, "phi: fix 0.9 0.1 0.2 0.3 0.4 0.5 0.6"},
                        {27, "eta: con 2"}, {28, "xi: fix 0 0.05 0.15 0.25 0.35 0.45 0.55"}, {29, "nu: fix 0.125"},
                        {32, "l-lambda: fix inf"}, {33, "g-lambda: fix 0.75"}}))
      << errors_;
  EXPECT_EQ(errors_, "");
  EXPECT_EQ(ReadText("run_truemodel.m"), ReadText(TestData("golden/truemodel_fixed.m")));
  EXPECT_TRUE(FileExists("run.track.txt"));
  EXPECT_EQ(data_.allSites, 7U);
  EXPECT_EQ(data_.genes[1].geneName, "gene_#1");
  // The written pattern files read back into the same data.
  AlignmentData back;
  FilePtr patterns = OpenFile("run.wp.txt", "r"), counts = OpenFile("run.ngp.txt", "r");
  ASSERT_TRUE(back.ReadPatternFiles(patterns.get(), counts.get(), 4));
  EXPECT_EQ(back.patternCount, data_.patternCount);
  EXPECT_EQ(back.genes[1].counts, data_.genes[1].counts);

  // Entries a "mix" line leaves to the estimation still get true values to simulate from.
  ASSERT_TRUE(ReadWith({{8, "source: sim"}, {10, "number of sites: const 2"}, {25, "theta: mix 1 0.5 %"}, {28, "xi: mix 2 0.3 %"}}))
      << errors_;
  EXPECT_EQ(control_.model.theta[1], 0.5);
  EXPECT_GT(control_.model.theta[0] * control_.model.theta[2] * control_.model.xi[1], 0.0);
  EXPECT_EQ(control_.model.xi[2], 0.3);
  EXPECT_GE(control_.model.p0, 0.95);  // "est" draws from the lower end of line 14
  EXPECT_GE(control_.model.nu, 0.8);
  EXPECT_EQ(data_.allSites, 6U);
}

TEST_F(InputReaderTest, SimulatedRatesFromTheFitsCategories) {
  const std::map<int, std::string> lines = {
      {8, "source: sim"}, {10, "number of sites: const 2"}, {32, "l-lambda: fix 1"}, {33, "g-lambda: fix 2"},
      {36, "# categories (loss distribution): 3"}, {37, "# categories (gain distribution): 6"}};
  ASSERT_TRUE(ReadWith(lines)) << errors_;
  EXPECT_EQ(control_.simulation.lossCategories, 0U);  // the continuous gamma, as always
  std::map<int, std::string> cut = lines;
  cut[53] = "Simulated  Rates: Categories";
  ASSERT_TRUE(ReadWith(cut)) << errors_;
  EXPECT_EQ(control_.simulation.lossCategories, 3U);
  EXPECT_EQ(control_.simulation.gainCategories, 6U);
  cut[53] = "simulated rates: discrete";
  EXPECT_FALSE(ReadWith(cut));
  EXPECT_EQ(errors_, "Error:VORN:ReadInput: Line 53: the setting 'simulated rates' takes gamma or categories, not "
                     "'discrete'\n");
}

TEST_F(InputReaderTest, RandomSiteCountsSpanOneTo2MPlus2) {
  // Counts uniform from 1 to 2M + 2: with M = 2 and 60 genes, each of the six is met.
  ASSERT_TRUE(ReadWith({{8, "source: sim"}, {9, "number of genes: 60"}, {10, "number of sites: rand 2"}})) << errors_;
  std::set<std::uint32_t> counts;
  for (const Gene& gene : data_.genes) counts.insert(gene.allSites);
  EXPECT_EQ(counts, (std::set<std::uint32_t>{1, 2, 3, 4, 5, 6}));
}

TEST_F(InputReaderTest, UnwritableSimulationFilesAreFoundBeforeTheSimulation) {
  for (const char* file : {"run_truemodel.m", "run.wp.txt", "run.ngp.txt"}) {
    SCOPED_TRACE(file);
    std::filesystem::create_directory(file);
    EXPECT_FALSE(ReadWith({{8, "source: sim"}, {10, "number of sites: const 2"}}));
    EXPECT_EQ(errors_, std::string("Error:VORN:ReadInput: The file ") + file + " cannot be opened for writting\n");
    EXPECT_EQ(data_.allSites, 0U);
    std::filesystem::remove(file);
    EXPECT_FALSE(FileExists("run_truemodel.m"));  // not left beside data it does not belong to
  }
}

TEST_F(InputReaderTest, AnUnwritableTrackFileStopsTheSimulationBeforeItRuns) {
  std::filesystem::create_directory("run.track.txt");
  EXPECT_FALSE(ReadWith({{8, "source: sim"}, {10, "number of sites: const 2"}, {12, "track numbers of present characters: on"}}));
  EXPECT_EQ(errors_, "Error:VORN:EvolModel:Simulate: The file 'run.track.txt' cannot be opened\n");
  EXPECT_EQ(data_.allSites, 0U);
  EXPECT_FALSE(FileExists("run_truemodel.m"));
  EXPECT_EQ(testing_support::TemporaryFilesIn("."), std::vector<std::string>());
}

TEST_F(InputReaderTest, ExampleSimulationStopsAfterReading) {
  for (const char* file : {"simulate.input.txt", "primates.phyl"}) {
    WriteText(file, ReadText(TestData("../../examples/") + file));
  }
  EXPECT_EQ(testing_support::RunVorn({"simulate.input.txt"}).status, 0);
  for (const char* file : {"done.txt", "simulate.wp.txt", "simulate.ngp.txt", "simulate_truemodel.m"}) {
    EXPECT_TRUE(FileExists(file)) << file;
  }
  EXPECT_FALSE(FileExists("simulate.output.txt"));
}

}  // namespace
}  // namespace vorn
