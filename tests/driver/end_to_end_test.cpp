#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <sstream>

#include "data/alignment_data.h"
#include "data/c_file.h"
#include "data/phylogenetic_tree.h"
#include "driver/run_program.h"
#include "estimation/em.h"
#include "input/input_reader.h"
#include "numerics/run_seed.h"
#include "output/report.h"
#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::ReadText;

// Every run of the test draws from one seed, so a failure replays.
int RunControlFile(const std::string& controlFile) {
  const char* argv[] = {"vorn", "--seed", "424242", controlFile.c_str()};
  testing::internal::CaptureStdout();
  const int status = RunProgram(4, argv);
  testing::internal::GetCapturedStdout();
  return status;
}

// The number on the line after a report line that starts with `title`.
double ReportValue(const std::string& report, const std::string& title) {
  const std::size_t at = report.find("\n" + title);
  EXPECT_NE(at, std::string::npos) << title;
  const std::size_t line = report.find('\n', at + 1);
  return std::stod(report.substr(line + 2));
}

std::vector<double> History(const std::string& file) {
  std::vector<double> values;
  std::istringstream in(ReadText(file));
  for (double x; in >> x;) values.push_back(x);
  return values;
}

// The true model: a random 16-leaf tree, three genes, loss-rate variation and a never-gaining class.
std::vector<std::string> SimulationLines() {
  std::vector<std::string> lines = testing_support::TemplateLines();
  lines[2] = "tree: random";
  lines[3] = "number of leaves: 16";
  lines[4] = "total time span: 800";
  lines[7] = "source: sim";
  lines[8] = "number of genes: 3";
  lines[9] = "number of sites: const 1500";
  lines[10] = "fraction of unknowns: 0.02";
  lines[23] = "p0: fix 0.6";
  lines[24] = "theta: fix 1.0 0.7 1.4";
  lines[25] = "phi: con 0.05";
  lines[26] = "eta: fix 2 3 1.5";
  lines[27] = "xi: con 0.6";
  lines[28] = "nu: fix 0.3";
  lines[31] = "l-lambda: fix 1.5";
  lines[32] = "g-lambda: fix inf";
  return lines;
}

TEST(EndToEndTest, EstimationRecoversASimulatedModel) {
  testing_support::TempDir dir;
  testing_support::ScopedChdir chdir(dir.path());
  testing_support::WriteText("sim.txt", testing_support::JoinLines(SimulationLines()));
  ASSERT_EQ(RunControlFile("sim.txt"), 0);

  // The same model, fixed at the truth: the likelihood of the data under the true parameters.
  std::vector<std::string> truth = SimulationLines();
  truth[2] = "tree: sim.phyl phyl";
  truth[7] = "source: pat sim.wp.txt sim.ngp.txt";
  truth[35] = "# categories (loss distribution): 3";
  truth[40] = "maximum # iterations: 1";
  testing_support::WriteText("truth.txt", testing_support::JoinLines(truth));
  ASSERT_EQ(RunControlFile("truth.txt"), 0);
  const double trueLogLikelihood = ReportValue(ReadText("truth.output.txt"), "log likelihood:");

  // Every parameter estimated, started from the truth: EM from a Dollo start creeps along the
  // ridge where p0, phi and theta trade off and needs thousands of iterations on this tree, while
  // from the truth it must move only to the nearby maximum and stay there.
  std::vector<std::string> fit = testing_support::TemplateLines();
  fit[2] = "tree: sim.phyl phyl";
  fit[7] = "source: pat sim.wp.txt sim.ngp.txt";
  fit[32] = "g-lambda: fix inf";
  fit[35] = "# categories (loss distribution): 3";
  fit[37] = "likelihood tolerance: 1e-8";
  fit[38] = "parameter tolerance: 1e-3";
  fit[40] = "maximum # iterations: 100";
  fit.resize(44);
  auto nodeList = [](const char* label, const char* value) {
    std::vector<std::string> lines(4);  // 31 nodes: 10, 10, 10 and 1 values
    for (int i = 0; i < 31; ++i) lines[i / 10] += std::string(i % 10 ? " " : "") + value;
    lines[0] = std::string(label) + " fix " + lines[0];
    return lines;
  };
  fit.push_back("p0: fix 0.6");
  fit.push_back("theta: fix 1.0 0.7 1.4");
  for (const std::string& line : nodeList("phi:", "0.05")) fit.push_back(line);
  fit.push_back("eta: fix 2 3 1.5");
  for (const std::string& line : nodeList("xi:", "0.6")) fit.push_back(line);
  fit.push_back("nu: fix 0.3");
  fit.push_back("l-lambda: fixed 1.5");
  fit.push_back("g-lambda: fixed 1");
  testing_support::WriteText("fit.txt", testing_support::JoinLines(fit));
  ASSERT_EQ(RunControlFile("fit.txt"), 0);

  const std::string report = ReadText("fit.output.txt");
  // The maximum likelihood is at least the likelihood of the truth, and not far above it: with
  // 4500 sites and about 70 free parameters the gain of fitting is a few tens of log units.
  const double fitted = ReportValue(report, "log likelihood:");
  EXPECT_GE(fitted, trueLogLikelihood - 0.01);
  EXPECT_LE(fitted, trueLogLikelihood + 100);
  // Bounds about three times the spread of the estimates over repeated simulations of this model
  // (4500 sites; p0 0.57-0.67, nu 0.28-0.30, theta within 15 %, l-lambda 1.0-1.4).
  EXPECT_NEAR(ReportValue(report, "p0 [0 1]:"), 0.6, 0.15);
  EXPECT_NEAR(ReportValue(report, "nu [0 1]:"), 0.3, 0.06);
  const double theta[] = {1.0, 0.7, 1.4}, eta[] = {2, 3, 1.5};
  const std::size_t thetaAt = report.find("theta ["), etaAt = report.find("\neta [");
  for (int g = 0; g < 3; ++g) {
    SCOPED_TRACE(g);
    const std::string gene = "gene #" + std::to_string(g) + " (gene_#" + std::to_string(g) + "): ";
    const double thetaFit = std::stod(report.substr(report.find(gene, thetaAt) + gene.size()));
    const double etaFit = std::stod(report.substr(report.find(gene, etaAt) + gene.size()));
    EXPECT_NEAR(thetaFit, theta[g], 0.4 * theta[g]);
    EXPECT_NEAR(etaFit, eta[g], 0.4 * eta[g]);
  }
  EXPECT_NEAR(ReportValue(report, "l-lambda [0.05 5000]:"), 1.5, 1.0);

  // EM never lowers the likelihood: each update maximises its own part of it.
  const std::vector<double> history = History("fit.history.likelihood.txt");
  ASSERT_GT(history.size(), 10U);
  for (std::size_t i = 1; i < history.size(); ++i) {
    EXPECT_GE(history[i], history[i - 1] - 1e-9 * std::abs(history[i - 1])) << "line " << i + 1;
  }
}

TEST(EndToEndTest, BranchesThatMustGainLeaveTheirDolloStartOfZero) {
  // The pairs A, H and B, G, at opposite ends of the tree, show the character without the leaves
  // between them. Dollo explains each by a present root and six losses, and puts no gain on any
  // leaf branch (no pattern shows a single leaf): every xi starts at 0, from which EM never moved
  // (the E-step gave those gains no weight). Two gains on the leaf branches explain the pairs.
  testing_support::TempDir dir;
  testing_support::ScopedChdir chdir(dir.path());
  const char* const newick = "(((A:0.3,B:0.3):0.2,(C:0.3,D:0.3):0.2):0.1,((E:0.3,F:0.3):0.2,(G:0.3,H:0.3):0.2):0.1);";
  testing_support::WriteText("tree.nwk", newick);
  // Leaf columns as the Newick reader orders them: H G F E D C B A.
  testing_support::WriteText("data.wp.txt", "1 1 1 1 1 1 1 1\n0 0 0 0 0 0 0 0\n1 0 0 0 0 0 0 1\n0 1 0 0 0 0 1 0\n");
  testing_support::WriteText("data.ngp.txt", "g 40 60 15 15\n");
  std::vector<std::string> lines = testing_support::TemplateLines();
  lines[2] = "tree: tree.nwk newick";
  lines[40] = "maximum # iterations: 1000";
  lines[45] = "theta: con 1";
  lines[50] = "l-lambda: fixed 1";
  lines[51] = "g-lambda: fixed 1";
  testing_support::WriteText("pairs.txt", testing_support::JoinLines(lines));
  const char* argv[] = {"vorn", "--seed", "1", "pairs.txt"};
  testing::internal::CaptureStdout();
  ASSERT_EQ(RunProgram(4, argv), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("optimality check: passed"), std::string::npos) << out.substr(out.size() > 400 ? out.size() - 400 : 0);

  PhylogeneticTree tree;
  tree.treeName = "pairs";
  FilePtr file = testing_support::StreamOf(newick);
  ASSERT_TRUE(tree.ReadNewick(file.get()));
  std::istringstream xi(ReadText("pairs.history.xi.txt"));
  std::vector<double> first, last;
  for (std::string line; std::getline(xi, line);) {
    std::istringstream values(line);
    last.clear();
    for (double x; values >> x;) last.push_back(x);
    if (first.empty()) first = last;
  }
  ASSERT_EQ(last.size(), tree.nodeCount);
  for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
    const std::string& name = tree.nodeNames[v];
    if (name == "A" || name == "B" || name == "G" || name == "H") {
      SCOPED_TRACE(name);
      EXPECT_GT(first[v], 0);
      EXPECT_GT(last[v], 0.5);
    }
  }
}

// Reads a control file, estimates and writes the report, as a run does; the log-likelihood reached.
double EstimateAndReport(const std::string& controlFile, const std::string& project) {
  SetRunSeed(99);  // the same random starting values for both data sources
  PhylogeneticTree tree;
  AlignmentData data;
  EM em;
  FilePtr input = OpenFile(controlFile, "r");
  testing::internal::CaptureStdout();
  EXPECT_TRUE(ReadInput(tree, data, em, input.get(), project));
  EXPECT_TRUE(em.Run(data, tree, project));
  EXPECT_TRUE(WriteOutput(tree, data, em, 0, project));
  testing::internal::GetCapturedStdout();
  return em.logLikelihood;
}

TEST(EndToEndTest, ATableGivesWhatItsPatternFilesGive) {
  testing_support::TempDir dir;
  testing_support::ScopedChdir chdir(dir.path());
  // Patterns (A B C D) 0110, 1121, 0001, 2220 (dropped by the filter) and 1111; gene g1 shows them
  // 3, 0, 1, 1, 2 times, g2 0, 2, 1, 0, 1 times. The table has its columns in another order, copy
  // numbers and every spelling of unknown, and its rows in an order that meets the patterns first
  // in the order of the pattern file (though g2 meets 1111 before 0001).
  testing_support::WriteText("tree.phyl", testing_support::kFourLeafPhyl);
  testing_support::WriteText("data.wp.txt", "0 1 1 0\n1 1 2 1\n0 0 0 1\n2 2 2 0\n1 1 1 1\n");
  testing_support::WriteText("data.ngp.txt", "g1 3 0 1 1 2\ng2 0 2 1 0 1\n");
  testing_support::WriteText("data.tsv",
                             "family\tC\tA\tgene\tD\tB\n"
                             "f1\t3\t0\tg1\t0.0\t1\n"
                             "f2\tNA\t2\tg2\t1\t1\n"
                             "f3\t0\t0\tg1\t5\t0\n"
                             "f4\t\t-\tg1\t0\t?\n"
                             "f5\t1\t1\tg1\t1\t1\n"
                             "f6\t1\t0\tg1\t0\t1\n"
                             "f7\t2\t0\tg1\t0\t1\n"
                             "f8\tN/A\t1\tg2\t1\t1\n"
                             "f9\t1\t1\tg2\t1\t1\n"
                             "f10\t1\t1\tg1\t1\t1\n"
                             "f11\t0\t0\tg2\t1\t0\n");
  std::vector<std::string> lines = testing_support::TemplateLines();
  lines[12] = "filter unknowns: ukf 0.5";
  lines[40] = "maximum # iterations: 20";
  lines[41] = "ancestral reconstruction: detailed";
  testing_support::WriteText("patterns.txt", testing_support::JoinLines(lines));
  lines[7] = "source: table data.tsv";
  testing_support::WriteText("table.txt", testing_support::JoinLines(lines));

  EXPECT_EQ(EstimateAndReport("table.txt", "table"), EstimateAndReport("patterns.txt", "patterns"));
  const std::string fromPatterns = ReadText("patterns.output.txt");
  std::string fromTable = ReadText("table.output.txt");
  const std::string names = "\tWP file name: data.tsv\n\tNGP file name: data.tsv\n";
  ASSERT_NE(fromTable.find(names), std::string::npos);
  fromTable.replace(fromTable.find(names), names.size(), "\tWP file name: data.wp.txt\n\tNGP file name: data.ngp.txt\n");
  EXPECT_EQ(fromTable, fromPatterns);
  EXPECT_EQ(ReadText("table.ar.txt"), ReadText("patterns.ar.txt"));
}

}  // namespace
}  // namespace vorn
