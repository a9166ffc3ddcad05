#include "output/report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include <nlohmann/json.hpp>

#include "estimation/fit.h"
#include "output/history_files.h"
#include "output/results.h"
#include "output/run_report.h"
#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::ReadText;
using testing_support::TestData;
using testing_support::WriteText;

// ((A,B),(C,D)) with two genes and every parameter fixed; the expected report and reconstruction
// were worked out by enumerating all 2^7 node states of every pattern and category.
class FixedRunTest : public testing_support::ScratchTest {
 protected:
  void SetUp() override {
    tree_.treeName = "tree.phyl";
    data_.patternFileName = "data.wp.txt";
    data_.countsFileName = "data.ngp.txt";
    FilePtr tree = testing_support::StreamOf(testing_support::kFourLeafPhyl);
    FilePtr wp = testing_support::StreamOf("1 1 0 0\n1 0 1 0\n0 0 0 0\n1 2 0 1\n");
    FilePtr ngp = testing_support::StreamOf("g1 3 1 4 0\ng2 0 2 1 2\n");
    ASSERT_TRUE(tree_.ReadPhyl(tree.get()) && data_.ReadPatternFiles(wp.get(), ngp.get(), 4));
    settings_.flags.Resize(7, 2);
    EvolModel& m = given_;
    m.Resize(7, 2);
    m.p0 = 0.5, m.nu = 0.25, m.theta = {1, 2}, m.eta = {2, 3};
    m.phi = {0, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1};
    m.xi = {0, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5};
    settings_.likelihoodTolerance = 1e-6, settings_.parameterTolerance = 1e-4, settings_.internalTolerance = 1e-8;
    settings_.maxIterations = 100;
  }

  // The estimation and the reconstruction (report = false), or the report of the project, its
  // printing captured.
  bool Run(const std::string& project, bool report = false) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    bool ok;
    if (report) {
      ok = WriteOutput(Described(), 0, project);
    } else {
      std::printf("running the algorithm\n");
      HistoryFiles history;
      estimator_ = std::make_unique<Estimator>(settings_, tree_, data_);
      ok = history.Open(project) && estimator_->Fit(given_, history, &result_) && history.Close();
      if (ok && mode_ != ReconstructionMode::kOff) estimator_->Reconstruct(result_, &ancestral_);
    }
    errors_ = testing::internal::GetCapturedStderr();
    output_ = testing::internal::GetCapturedStdout();
    return ok;
  }
  bool Report(const std::string& project) { return Run(project, true); }
  FitReport Described() const { return {tree_, data_, settings_, result_, mode_, ancestral_}; }

  PhylogeneticTree tree_;
  AlignmentData data_;
  FitSettings settings_;
  EvolModel given_;
  ReconstructionMode mode_ = ReconstructionMode::kOff;
  std::unique_ptr<Estimator> estimator_;
  FitResult result_;
  AncestralTables ancestral_;
  std::string output_, errors_;
};

TEST_F(FixedRunTest, WholeReportOfAFixedModel) {
  ASSERT_TRUE(Run("fixed")) << errors_;
  EXPECT_EQ(output_, "running the algorithm\n   1 iterations\t(loglikelihood convergence = 0)\n\n");
  EXPECT_EQ(result_.iterations, 1U);
  // Nothing is estimated: every history file holds its initial line only.
  std::string histories;
  for (const char* name : {"likelihood", "p0", "theta", "phi", "eta", "xi", "nu", "llambda", "glambda"}) {
    histories += ReadText(std::string("fixed.history.") + name + ".txt");
  }
  EXPECT_EQ(histories, "-32.9072\n0.5\n1\t2\n0\t0.1\t0.1\t0.1\t0.1\t0.1\t0.1\n2\t3\n0\t0.5\t0.5\t0.5\t0.5\t0.5\t0.5\n"
                       "0.25\n0\n0\n");
  EXPECT_NEAR(result_.logLikelihood, -32.9072104849, 1e-9);  // brute force over all node states

  Report("fixed");
  EXPECT_EQ(output_, "writing output file\n");
  EXPECT_EQ(ReadText("fixed.output.txt"), ReadText(TestData("golden/fixed.output.txt")));
  EXPECT_FALSE(testing_support::FileExists("fixed.ar.txt"));
}

TEST_F(FixedRunTest, AncestralReconstructionSections) {
  mode_ = ReconstructionMode::kDetailed;
  ASSERT_TRUE(Run("fixed")) << errors_;
  Report("fixed");
  EXPECT_EQ(ReadText("fixed.output.txt"),
            ReadText(TestData("golden/fixed.output.txt")) + ReadText(TestData("golden/ancestral_section.txt")));
  EXPECT_EQ(ReadText("fixed.ar.txt"), ReadText(TestData("golden/fixed.ar.txt")));
}

TEST_F(FixedRunTest, ResultsOfAFixedModel) {
  // The golden values come from enumerating all node states (testdata/output/make_four_leaf_goldens.py);
  // summed in another order they may differ in the last of their 17 digits.
  mode_ = ReconstructionMode::kOn;
  ASSERT_TRUE(Run("fixed")) << errors_;
  RunFacts facts;
  facts.controlFileName = "fixed.txt";
  facts.seed = 7;
  facts.elapsedSeconds = 2.5;
  testing::internal::CaptureStderr();
  ASSERT_TRUE(WriteResults(Described(), facts, "fixed"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(testing_support::SameTextAndNumbers(ReadText("fixed.branches.tsv"),
                                                  ReadText(TestData("golden/fixed.branches.tsv")), 1e-12));
  EXPECT_TRUE(testing_support::SameTextAndNumbers(ReadText("fixed.tree.nwk"),
                                                  ReadText(TestData("golden/fixed.tree.nwk")), 1e-12));
  EXPECT_TRUE(testing_support::SameTextAndNumbers(
      ReadText("fixed.history.tsv"),
      "iteration\tstep\tlog_likelihood\tlargest_change\tstart\n0\tstart\t-32.90721048486142\tNA\t1\n", 1e-12));
  nlohmann::json results = nlohmann::json::parse(ReadText("fixed.results.json"));
  EXPECT_EQ(results["tool"]["version"], VORN_PROJECT_VERSION);
  results.erase("tool");  // the version and the commit change from build to build
  EXPECT_TRUE(testing_support::SameTextAndNumbers(
      results.dump(1), nlohmann::json::parse(ReadText(TestData("golden/fixed.results.json"))).dump(1), 1e-12));
  EXPECT_EQ(testing_support::TemporaryFilesIn("."), std::vector<std::string>());
  result_.optimality = OptimalityCheck{true, 0.5, 2, kP0, 0};  // the check names its family
  FilePtr json(std::tmpfile());
  WriteResultsJson(json.get(), Described(), facts);
  EXPECT_EQ(nlohmann::json::parse(testing_support::Contents(json.get()))["outcome"]["optimality_check"].dump(),
            R"({"index":null,"largest":0.5,"parameter":"p0","passed":true,"threshold":2.0})");

  // The picture, worked out by hand: 720 px for the 100 My from the root (x 24) to the leaves
  // (x 744), 7.2 px a My; leaf rows 24 px apart from y 68, a parent midway between its children.
  // Counts to one decimal from the golden table above; each branch's colour interpolated between
  // the two stops of the scale around its share of the most losses (B's, 2.8), e.g. AB's 0.113 is
  // 0.452 of the way from #fdcc8a to #fc8d59: #fdb074. Axis ticks every 20 My. The title escaped
  // for XML, a byte that is no UTF-8 as '?', a character of two bytes kept.
  FilePtr picture(std::tmpfile());
  WriteTreePicture(picture.get(), Described(), "f\xff & <4> \xc3\xa9");
  EXPECT_EQ(testing_support::Contents(picture.get()), ReadText(TestData("golden/fixed.tree.svg")));
}

TEST(TreePictureTest, AnAxisTooLongForItsDoublesGetsNoTicksAndAnEnd) {
  // 2e305 units of 1000 My is a finite depth whose span in My is not: ticks stepping through an
  // infinite span never ended. The readers refuse such a tree now; the picture still closes,
  // with the axis line and no tick, for a tree that reaches it another way.
  PhylogeneticTree tree;
  FilePtr newick(std::tmpfile());
  std::fputs("(a:2,b:2);", newick.get());
  std::rewind(newick.get());
  ASSERT_TRUE(tree.ReadNewick(newick.get()));
  for (std::uint32_t v = 1; v < tree.nodeCount; ++v) tree.branchLength[v] = 2e305;
  const AlignmentData data;
  const FitSettings settings;
  const FitResult fit;
  const AncestralTables ancestral;
  FilePtr picture(std::tmpfile());
  WriteTreePicture(picture.get(), {tree, data, settings, fit, ReconstructionMode::kOff, ancestral}, "huge");
  const std::string svg = testing_support::Contents(picture.get());
  EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
  EXPECT_EQ(svg.find("text-anchor=\"middle\">0</text>"), std::string::npos);
  EXPECT_NE(svg.find("million years ago"), std::string::npos);
}

TEST(ResultsTest, AtBoundMeansWithinAMillionth) {
  const struct {
    double value, lower, upper;
    bool rate, expected;
  } cases[] = {
      {1e-6, 0, 1, false, true},          {1.5e-6, 0, 1, false, false},     {1 - 5e-7, 0, 1, false, true},
      {1 - 2e-6, 0, 1, false, false},     {0.3, 0.3, 0.9, false, true},     {0.5, 0.3, 0.9, false, false},
      {2 * (1 + 1e-6), 2, 50, true, true}, {2 * (1 + 2e-6), 2, 50, true, false}, {50 * (1 - 1e-6), 2, 50, true, true},
      {50 * (1 - 2e-6), 2, 50, true, false}, {1e-6, 0, 50, true, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AtBound(c.value, c.lower, c.upper, c.rate), c.expected) << c.value << (c.rate ? " rate" : "");
  }
}

TEST_F(FixedRunTest, IterationLimitWarnsAndNamesTheFirstUnconvergedParameter) {
  settings_.flags.p0 = true;
  settings_.initialization.p0Mode = "fixed";
  settings_.maxIterations = 1;
  settings_.parameterTolerance = -1;  // never met
  ASSERT_TRUE(Run("limit")) << errors_;
  EXPECT_NE(output_.find("\nWarning: Maximum number of iterations reached\n         P0 failed to converge.\n"),
            std::string::npos)
      << output_;
  // p0, the only estimate, has the largest projected gradient: the check names it.
  EXPECT_TRUE(std::regex_search(output_, std::regex("optimality check: (passed|failed) \\(largest projected gradient "
                                                    "[^ ]+ at p0, threshold [^)]+\\)\n")))
      << output_;
  EXPECT_EQ(result_.iterations, 1U);
  // Scripts see it too: the exit status stays 0, the warning names the criterion not met.
  const std::string number = "-?[0-9.]+(e[-+][0-9]+)?";
  const std::string limit = "Warning:VORN:EM:Run: The fit reached the iteration limit \\(1\\) before convergence: ";
  EXPECT_TRUE(std::regex_match(
      errors_, std::regex(limit + "the relative change of p0 \\(" + number + "\\) is above the parameter tolerance "
                                  "\\(-1\\)\n")))
      << errors_;

  // With every change within the tolerance only the likelihood criterion can have failed.
  settings_.parameterTolerance = 1e300;
  settings_.likelihoodTolerance = -1;
  ASSERT_TRUE(Run("limit"));
  EXPECT_NE(output_.find("\n         It is unclear who failed to converge.\n"), std::string::npos) << output_;
  EXPECT_TRUE(std::regex_match(errors_, std::regex(limit + "the relative change of the log-likelihood \\(" + number +
                                                   "\\) is above the likelihood tolerance \\(-1\\)\n")))
      << errors_;
  FilePtr json(std::tmpfile());
  WriteResultsJson(json.get(), Described(), RunFacts());
  EXPECT_EQ(nlohmann::json::parse(testing_support::Contents(json.get()))["outcome"]["criterion_not_met"]["parameter"], nullptr);
}

TEST_F(FixedRunTest, UnwritableFiles) {
  EXPECT_FALSE(Run("missing-dir/x"));
  EXPECT_EQ(errors_, "Error:VORN:EM:Run: The file missing-dir/x.history.likelihood.txt cannot be opened\n");
  // A history file that cannot be created after others were: a directory in its place.
  std::filesystem::create_directory("y.history.phi.txt");
  EXPECT_FALSE(Run("y"));
  EXPECT_EQ(errors_, "Error:VORN:EM:Run: The file y.history.phi.txt cannot be opened\n");

  // A report that cannot be written is an error, found before the fit by CanWriteOutput. With
  // its details file unwritable, a report written earlier stays as it was.
  mode_ = ReconstructionMode::kDetailed;
  ASSERT_TRUE(Run("fixed"));
  WriteText("z.output.txt", "an earlier report\n");
  std::filesystem::create_directory("z.ar.txt");
  const std::pair<std::string, std::string> cases[] = {  // the project, the error
      {"missing-dir/fixed", "Error:VORN:WriteOutput: The file missing-dir/fixed.output.txt cannot be opened\n"},
      {"z", "Error:VORN:WriteOutput: The file z.ar.txt cannot be opened\n"},
  };
  for (const auto& [project, error] : cases) {
    SCOPED_TRACE(project);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(CanWriteOutput(true, project));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), error);
    EXPECT_FALSE(Report(project));
    EXPECT_EQ(errors_, error);
  }
  EXPECT_EQ(ReadText("z.output.txt"), "an earlier report\n");
  std::filesystem::create_directory("y.tree.svg");  // one of the results beside the report
  testing::internal::CaptureStderr();
  EXPECT_FALSE(CanWriteOutput(true, "y"));
  EXPECT_FALSE(WriteResults(Described(), RunFacts(), "y"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error:VORN:WriteOutput: The file y.tree.svg cannot be opened\n"
                                                    "Error:VORN:WriteOutput: The file y.tree.svg cannot be opened\n");
  EXPECT_EQ(testing_support::TemporaryFilesIn("."), std::vector<std::string>());
  testing::internal::CaptureStderr();
  EXPECT_TRUE(CanWriteOutput(true, "fixed"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(FixedRunTest, NoSiteLeftIsAnError) {
  data_.PrepareForSimulation(4, 2);  // two genes without any site
  EXPECT_FALSE(Run("empty"));
  EXPECT_EQ(errors_, "Error:VORN:EM:Run: No site is left after the filter of unknown values: there is nothing to "
                     "estimate from\n");
}

TEST(ReportTest, RunningTimeForms) {
  for (const std::vector<std::string>& c : testing_support::CaseTable("running_times.txt")) {
    FilePtr file(std::tmpfile());
    WriteJobStatistics(file.get(), std::stoi(c[0]), 7);
    const std::string expected = "------------------\n% Job Statistics:\n------------------\ntotal running time: " + c[1];
    EXPECT_EQ(testing_support::Contents(file.get()), expected + "\ntotal number of iterations: 7\n\n") << c[0];
  }
}

TEST(ReportTest, ShortestAndLongestGenesTieToTheLowestIndex) {
  // Filtered lengths 2, 5, 2, 5 (the all-unknown pattern is filtered out) with totals 9, 6, 3, 8;
  // a single gene is both the shortest and the longest.
  const char* const cases[][3] = {
      {"a 1 1 7\nb 4 1 1\nc 2 0 1\nd 0 5 3\n", "2 (9)\n\tlongest gene [filtered (all)]: 5 (6)\n",
       "\t\t2(9) 5(6) 2(3) 5(8) \n"},
      {"a 1 1 7\n", "2 (9)\n\tlongest gene [filtered (all)]: 2 (9)\n", "\t\t2(9) \n"}};
  for (const auto& c : cases) {
    AlignmentData data;
    data.patternFileName = "w";
    data.countsFileName = "n";
    FilePtr wp = testing_support::StreamOf("0 1\n1 1\n2 2\n");
    FilePtr ngp = testing_support::StreamOf(c[0]);
    data.ukfFilter = true;
    data.ukfThreshold = 1.0;
    ASSERT_TRUE(data.ReadPatternFiles(wp.get(), ngp.get(), 2));
    FilePtr out(std::tmpfile());
    WriteDataSummary(out.get(), data);
    const std::string text = testing_support::Contents(out.get());
    EXPECT_NE(text.find(std::string("\tshortest gene [filtered (all)]: ") + c[1]), std::string::npos) << text;
    EXPECT_NE(text.find(c[2]), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace vorn
