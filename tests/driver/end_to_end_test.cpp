#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::ControlText;
using testing_support::ReadText;
using testing_support::WriteText;
using EndToEndTest = testing_support::ScratchTest;

// The number after the first `key` in the text from `from` on (on the same line or the next).
double NumberAfter(const std::string& text, const std::string& key, std::size_t from = 0) {
  const std::size_t at = text.find(key, from);
  EXPECT_NE(at, std::string::npos) << key;
  return at == std::string::npos ? 0 : std::stod(text.substr(at + key.size()));
}

// Every run of the test draws from one seed, so a failure replays.
int RunControlFile(const std::string& name, const std::string& text) {
  WriteText(name, text);
  return testing_support::RunVorn({"--seed", "424242", name.c_str()}).status;
}

TEST_F(EndToEndTest, EstimationRecoversASimulatedModel) {
  // The true model: a random 16-leaf tree, three genes, loss-rate variation and a never-gaining class.
  std::map<int, std::string> model = {
      {24, "p0: fix 0.6"}, {25, "theta: fix 1.0 0.7 1.4"}, {26, "phi: con 0.05"}, {27, "eta: fix 2 3 1.5"},
      {28, "xi: con 0.6"}, {29, "nu: fix 0.3"}, {32, "l-lambda: fix 1.5"}, {33, "g-lambda: fix inf"}};
  std::map<int, std::string> simulation = model;
  simulation.insert({{3, "tree: random"}, {4, "number of leaves: 16"}, {5, "total time span: 800"}, {8, "source: sim"},
                     {9, "number of genes: 3"}, {10, "number of sites: const 1500"}});
  ASSERT_EQ(RunControlFile("sim.txt", ControlText(simulation)), 0);
  // The same model fixed at the truth on the simulated data: the likelihood of the truth.
  std::map<int, std::string> truth = model;
  truth.insert({{3, "tree: sim.phyl phyl"}, {8, "source: pat sim.wp.txt sim.ngp.txt"},
                {36, "# categories (loss distribution): 3"}, {41, "maximum # iterations: 1"}});
  ASSERT_EQ(RunControlFile("truth.txt", ControlText(truth)), 0);
  const double trueLogLikelihood = NumberAfter(ReadText("truth.output.txt"), "\nlog likelihood:");

  // Every parameter estimated, started from the truth: EM from a Dollo start creeps along the
  // ridge where p0, phi and theta trade off and needs thousands of iterations on this tree, while
  // from the truth it must move only to the nearby maximum and stay there.
  auto nodeList = [](const char* head, const char* value) {  // 31 nodes, ten values a line
    std::string list = head;
    for (int i = 0; i < 31; ++i) list += std::string(i > 0 && i % 10 == 0 ? "\n" : " ") + value;
    return list;
  };
  std::string fit = ControlText({{3, "tree: sim.phyl phyl"}, {8, "source: pat sim.wp.txt sim.ngp.txt"},
                                 {33, "g-lambda: fix inf"}, {36, "# categories (loss distribution): 3"},
                                 {38, "likelihood tolerance: 1e-8"}, {39, "parameter tolerance: 1e-3"},
                                 {41, "maximum # iterations: 100"}});
  fit = fit.substr(0, fit.find("p0: observed")) + "p0: fix 0.6\ntheta: fix 1.0 0.7 1.4\n" +
        nodeList("phi: fix", "0.05") + "\neta: fix 2 3 1.5\n" + nodeList("xi: fix", "0.6") +
        "\nnu: fix 0.3\nl-lambda: fixed 1.5\ng-lambda: fixed 1\n";
  ASSERT_EQ(RunControlFile("fit.txt", fit), 0);

  const std::string report = ReadText("fit.output.txt");
  // The maximum likelihood is at least the likelihood of the truth, and not far above it: with
  // 4500 sites and about 70 free parameters the gain of fitting is a few tens of log units.
  const double fitted = NumberAfter(report, "\nlog likelihood:");
  EXPECT_GE(fitted, trueLogLikelihood - 0.01);
  EXPECT_LE(fitted, trueLogLikelihood + 100);
  // Bounds about three times the spread of the estimates over repeated simulations of this model
  // (4500 sites; p0 0.57-0.67, nu 0.28-0.30, theta within 15 %, l-lambda 1.0-1.4).
  EXPECT_NEAR(NumberAfter(report, "\np0 [0 1]:"), 0.6, 0.15);
  EXPECT_NEAR(NumberAfter(report, "\nnu [0 1]:"), 0.3, 0.06);
  EXPECT_NEAR(NumberAfter(report, "\nl-lambda [0.05 5000]:"), 1.5, 1.0);
  const double theta[] = {1.0, 0.7, 1.4}, eta[] = {2, 3, 1.5};
  for (int g = 0; g < 3; ++g) {
    const std::string gene = "gene #" + std::to_string(g) + " (gene_#" + std::to_string(g) + "): ";
    EXPECT_NEAR(NumberAfter(report, gene, report.find("theta [")), theta[g], 0.4 * theta[g]) << g;
    EXPECT_NEAR(NumberAfter(report, gene, report.find("\neta [")), eta[g], 0.4 * eta[g]) << g;
  }
  // EM never lowers the likelihood: each update maximises its own part of it.
  std::istringstream history(ReadText("fit.history.likelihood.txt"));
  double previous = -HUGE_VAL;
  int lines = 0;
  for (double x; history >> x; previous = x, ++lines) EXPECT_GE(x, previous - 1e-9 * std::abs(previous)) << lines;
  EXPECT_GT(lines, 10);
}

}  // namespace
}  // namespace vorn
