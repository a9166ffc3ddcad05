#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <sstream>

#include "driver/run_program.h"
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

}  // namespace
}  // namespace vorn
