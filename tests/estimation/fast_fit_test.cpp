#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <sstream>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "driver/run_program.h"
#include "estimation/em.h"
#include "estimation/fit.h"
#include "estimation/history_sink.h"
#include "estimation/literal_estep.h"
#include "input/input_reader.h"
#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::ReadText;
using testing_support::WriteText;

// Data simulated on a random six-leaf tree without rate variation (one loss and two gain
// categories keep the brute-force oracle cheap), and a control file that fits it with the fast
// optimizer, nu held at 0.3.
class FastFitTest : public testing::Test {
 protected:
  FastFitTest() : chdir_(dir_.path()) {
    std::map<int, std::string> lines = {
        {3, "tree: random"}, {4, "number of leaves: 6"}, {5, "total time span: 600"}, {8, "source: sim"},
        {9, "number of genes: 1"}, {10, "number of sites: const 400"}, {11, "fraction of unknowns: 0.05"},
        {24, "p0: fix 0.5"}, {25, "theta: fix 1.2"}, {26, "phi: con 0.05"}, {27, "eta: con 2"}, {28, "xi: con 0.4"},
        {29, "nu: fix 0.2"}, {32, "l-lambda: fix inf"}, {33, "g-lambda: fix inf"},
        {36, "# categories (loss distribution): 1"}, {37, "# categories (gain distribution): 2"}};
    WriteText("sim.txt", testing_support::ControlText(lines));
    EXPECT_EQ(testing_support::RunVorn({"--seed", "11", "sim.txt"}).status, 0);
    const std::map<int, std::string> fit = {
        {3, "tree: sim.phyl phyl"}, {8, "source: pat sim.wp.txt sim.ngp.txt"}, {24, "p0: est"}, {25, "theta: est"},
        {26, "phi: est"}, {27, "eta: est"}, {28, "xi: est"}, {29, "nu: fix 0.3"}, {38, "likelihood tolerance: 1e-10"},
        {41, "maximum # iterations: 2000"}, {46, "theta: con 1"}, {53, "optimizer: fast"}};
    for (const auto& [line, text] : fit) lines[line] = text;
    fit_ = lines;
  }

  // Writes PROJECT.txt, reads it into tree, data and em and runs the fit, its printing dropped;
  // em stays at the result.
  static bool Fit(const std::map<int, std::string>& lines, const std::string& project, PhylogeneticTree& tree,
                  AlignmentData& data, EM& em, FitResult& result) {
    WriteText(project + ".txt", testing_support::ControlText(lines));
    ControlFile control;
    NoHistory history;
    testing::internal::CaptureStdout();
    bool done = LoadRun(tree, data, control, project + ".txt", project);
    if (done) {
      em.Configure(control.fit, control.model, tree);
      done = em.Run(data, tree, history, &result);
    }
    testing::internal::GetCapturedStdout();
    return done;
  }

  testing_support::TempDir dir_;
  testing_support::ScopedChdir chdir_;
  std::map<int, std::string> fit_;
};

TEST_F(FastFitTest, ReachesAMaximumWithinTheBounds) {
  PhylogeneticTree tree;
  AlignmentData data;
  EM em;
  FitResult result;
  ASSERT_TRUE(Fit(fit_, "fit", tree, data, em, result));
  EXPECT_TRUE(em.optimality.passed);
  EXPECT_LT(em.iterations, em.settings.maxIterations);

  // The likelihood reported is the likelihood of the parameters reported.
  const double literal = testing_support::LiteralEStep(em, data, tree).logLikelihood;
  EXPECT_NEAR(literal, em.logLikelihood, 1e-9 * std::abs(em.logLikelihood));
  // Held values held, estimates within their ranges.
  EXPECT_EQ(em.model.nu, 0.3);
  em.ForEachFreeParameter(data, tree, [](const FreeParameter& f) {
    EXPECT_GE(f.value, f.lower);
    EXPECT_LE(f.value, f.upper);
  });
  // The same maximum as plain EM, in a fraction of its E-steps (a tenth here; a poorer search
  // direction takes several times as many).
  fit_.erase(53);  // the optimizer setting
  PhylogeneticTree plainTree;
  AlignmentData plainData;
  EM plain;
  FitResult plainResult;
  ASSERT_TRUE(Fit(fit_, "plain", plainTree, plainData, plain, plainResult));
  EXPECT_NEAR(plainResult.logLikelihood, result.logLikelihood, 1e-7 * std::abs(result.logLikelihood));
  EXPECT_LT(4 * result.eSteps, plainResult.eSteps);

  // No point of a fine grid along any single estimated parameter, the others held, is better.
  em.eStep.Prepare(data, tree, em.gainCategories.count, em.lossCategories.count);
  const double best = em.logLikelihood;
  ASSERT_EQ(result.estimates.size(), 23U);  // p0, theta, eta and the phi and xi of 10 branches
  for (const FreeParameter& f : result.estimates) {
    double& parameter = Value(em.model, f.family, f.index);
    const double fitted = parameter;
    for (int i = -20; i <= 20; ++i) {
      parameter = std::min(std::max(fitted + 0.002 * i * std::max(fitted, 0.01), f.lower), f.upper);
      em.ComputeExpectations(data, tree);
      // The fit stops once a step gains less than 1e-10 of the likelihood.
      EXPECT_LE(em.logLikelihood, best + 1e-6) << FamilyName(f.family) << " " << f.index << " at " << parameter
                                                << " instead of " << fitted;
    }
    parameter = fitted;
  }
}

TEST_F(FastFitTest, SeveralStartsKeepTheBestAndRepeatWithTheSeed) {
  fit_[54] = "starts: 3";
  WriteText("fit.txt", testing_support::ControlText(fit_));
  // What each start reached and which won, without the progress lines, which come as time allows.
  const auto outcome = [] {
    const std::string out = testing_support::RunVorn({"--seed", "5", "fit.txt"}).out;
    std::string kept;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) kept += line.find("start") != std::string::npos ? line + "\n" : "";
    return kept;
  };
  const std::string first = outcome(), history = ReadText("fit.history.xi.txt");
  const std::regex startLine("start (\\d): log-likelihood (-[0-9.]+) after");
  std::vector<double> starts;
  for (std::sregex_iterator it(first.begin(), first.end(), startLine), end; it != end; ++it) {
    starts.push_back(std::stod((*it)[2]));
  }
  ASSERT_EQ(starts.size(), 3U);
  std::smatch best;
  ASSERT_TRUE(std::regex_search(first, best, std::regex("best start: log-likelihood (-[0-9.]+)")));
  EXPECT_EQ(std::stod(best[1]), *std::max_element(starts.begin(), starts.end()));
  EXPECT_EQ(outcome(), first);
  EXPECT_EQ(ReadText("fit.history.xi.txt"), history);
}

}  // namespace
}  // namespace vorn
