#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "driver/run_program.h"
#include "estimation/em.h"
#include "input/input_reader.h"
#include "numerics/run_seed.h"
#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::FileExists;
using testing_support::ReadText;
using testing_support::TemplateLines;
using testing_support::TestData;
using testing_support::WriteText;

using Bytes = std::vector<std::uint8_t>;
using Values = std::vector<double>;

std::vector<std::string> Modes(const InitializationSettings& init) {
  return {init.p0Mode, init.thetaMode, init.phiMode,     init.etaMode,
          init.xiMode, init.nuMode,    init.llambdaMode, init.glambdaMode};
}

// Reads the model, control and initialization sections on the four-leaf tree (7 nodes) with two
// genes of pattern data, or simulated data when line 8 says so.
class InputReaderModelTest : public testing_support::ControlFileTest {
 protected:
  InputReaderModelTest() { SetRunSeed(3); }

  // The template with some of its lines (numbered 1 to 52) replaced; a replacement may hold line
  // feeds for the continuation lines of a list.
  static std::string Text(const std::map<int, std::string>& replacements) {
    std::vector<std::string> lines = TemplateLines();
    for (const auto& [line, text] : replacements) lines[line - 1] = text;
    return testing_support::JoinLines(lines);
  }
  bool ReadWith(const std::map<int, std::string>& replacements) {
    em_ = EM();
    return Read(Text(replacements));
  }
};

TEST_F(InputReaderModelTest, EveryParameterEstimated) {
  ASSERT_TRUE(ReadWith({{45, "p0: rand 0.9"},
                        {46, "theta: ran 2"},
                        {48, "eta: random 3"},
                        {50, "nu: rand 0.7"},
                        {51, "l-lambda: rand 0.5"},
                        {52, "g-lambda: rand 4"}}))
      << errors_;
  EXPECT_EQ(errors_, "");
  const EstimationFlags& f = em_.flags;
  EXPECT_TRUE(f.p0 && f.thetaAny && f.phiAny && f.etaAny && f.xiAny && f.nu && f.llambda && f.glambda);
  EXPECT_EQ(f.theta, Bytes({1, 1}));
  EXPECT_EQ(f.eta, Bytes({1, 1}));
  EXPECT_EQ(f.phi, Bytes({0, 1, 1, 1, 1, 1, 1}));
  EXPECT_EQ(f.xi, Bytes({0, 1, 1, 1, 1, 1, 1}));
  EXPECT_FALSE(em_.nuHeldFixed);
  // Pattern data: nothing is drawn, the values wait for the initialization.
  EXPECT_EQ(em_.model.theta, Values({0, 0}));
  EXPECT_EQ(em_.model.p0, 0.0);
  EXPECT_EQ(em_.model.geneCount, 2U);
  EXPECT_EQ(em_.model.nodeCount, 7U);
  // The longest branches (AB, C, D) are 60 My = 0.06 units.
  EXPECT_NEAR(em_.thetaCap, 153.5 / 0.06, 1e-9);
  EXPECT_EQ(em_.etaCap, em_.thetaCap);
  EXPECT_FALSE(em_.thetaPhiInvariant);  // l-lambda estimated
  EXPECT_FALSE(em_.etaXiInvariant);
  EXPECT_EQ(em_.minLLambda, 0.05);
  EXPECT_EQ(em_.minGLambda, 0.06);
  EXPECT_EQ(em_.lossCategories.count, 4);
  EXPECT_EQ(em_.gainCategories.count, 5);
  EXPECT_EQ(em_.likelihoodTolerance, 1e-6);
  EXPECT_EQ(em_.parameterTolerance, 1e-4);
  EXPECT_EQ(em_.internalTolerance, 1e-8);
  EXPECT_EQ(em_.maxIterations, 0U);
  EXPECT_EQ(em_.ancestralMode, 0);
  const InitializationSettings& init = em_.initialization;
  EXPECT_EQ(Modes(init), (std::vector<std::string>{"rand", "rand", "dollo", "rand", "dollo", "rand", "rand", "rand"}));
  EXPECT_EQ((Values{init.p0Lower, init.thetaMean, init.etaMean, init.nuLower, init.llambdaMean, init.glambdaMean}),
            (Values{0.9, 2, 3, 0.7, 0.5, 4}));

  // The template's own initialization lines: observed modes, and numbers the modes ignore.
  ASSERT_TRUE(ReadWith({})) << errors_;
  EXPECT_EQ(em_.initialization.p0Mode, "observed");
  EXPECT_EQ(em_.initialization.nuMode, "observed");
  EXPECT_EQ(em_.initialization.p0Lower, 0.95);
}

TEST_F(InputReaderModelTest, EveryParameterFixed) {
  ASSERT_TRUE(ReadWith({{24, "p0: fix 0.3"},
                        {25, "theta: fixed 0.5,1.5"},
                        {26, "phi: fix 0.9 0.1 0.2 0.3 0.4 0.5 0.6"},
                        {27, "eta: con 2"},
                        {28, "xi: constant 0.25"},
                        {29, "nu: fix 0.6"},
                        {32, "l-lambda: fix inf"},
                        {33, "g-lambda: fix 2.5"},
                        {36, "# categories (loss distribution): 3"},
                        {37, "# categories (gain distribution): 6"},
                        {41, "maximum # iterations: -1"},
                        {42, "ancestral reconstruction: on"},
                        {45, "p0: fix 0.5"},
                        {46, "theta: fix 9 9"},
                        {47, "phi: fix 0 0.5 0.5 0.5 0.5 0.5 0.5"},
                        {48, "eta: con 9"},
                        {49, "xi: fix 0 0.5 0.5 0.5 0.5 0.5 0.5"},
                        {50, "nu: fix 0.1"},
                        {51, "l-lambda: fixed 3"},
                        {52, "g-lambda: fixed 3"}}))
      << errors_;
  const EstimationFlags& f = em_.flags;
  EXPECT_FALSE(f.p0 || f.thetaAny || f.phiAny || f.etaAny || f.xiAny || f.nu || f.llambda || f.glambda);
  EXPECT_EQ(f.theta, Bytes({0, 0}));
  EXPECT_EQ(f.phi, Bytes(7, 0));
  // Starting values of fixed entries are read and dropped; the root's phi is 0 whatever the list.
  const EvolModel& m = em_.model;
  EXPECT_EQ(m.p0, 0.3);
  EXPECT_EQ(m.theta, Values({0.5, 1.5}));
  EXPECT_EQ(m.phi, Values({0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6}));
  EXPECT_EQ(m.eta, Values({2, 2}));
  EXPECT_EQ(m.xi, Values({0, 0.25, 0.25, 0.25, 0.25, 0.25, 0.25}));
  EXPECT_EQ(m.nu, 0.6);
  EXPECT_EQ(m.llambda, 0.0);
  EXPECT_EQ(m.glambda, 2.5);
  EXPECT_EQ(em_.lossCategories.count, 1);  // no loss-rate variation
  EXPECT_EQ(em_.gainCategories.count, 6);
  EXPECT_EQ(em_.maxIterations, 1000U);
  EXPECT_EQ(em_.ancestralMode, 1);
  EXPECT_EQ(Modes(em_.initialization), std::vector<std::string>(8, "fixed"));
}

TEST_F(InputReaderModelTest, InvariantFlagsFollowFlagsAndShapes) {
  // One gene: both invariants hold when the shapes are fixed at "no variation".
  WriteText("data.ngp.txt", "g1 5 0 2\n");
  ASSERT_TRUE(ReadWith({{32, "l-lambda: fix inf"}, {33, "g-lambda: fix 0"}})) << errors_;
  EXPECT_TRUE(em_.thetaPhiInvariant);
  EXPECT_TRUE(em_.etaXiInvariant);
  ASSERT_TRUE(ReadWith({{32, "l-lambda: fix inf"}, {33, "g-lambda: fix 0"}, {28, "xi: con 0.5"}})) << errors_;
  EXPECT_TRUE(em_.thetaPhiInvariant);
  EXPECT_FALSE(em_.etaXiInvariant);
  ASSERT_TRUE(ReadWith({{32, "l-lambda: fix 0.5"}, {33, "g-lambda: fix 0"}})) << errors_;
  EXPECT_FALSE(em_.thetaPhiInvariant);
  EXPECT_TRUE(em_.etaXiInvariant);
}

TEST_F(InputReaderModelTest, ValueListsOverSeveralLinesShiftLaterLines) {
  std::string genes;
  for (int g = 0; g < 25; ++g) genes += "gene" + std::to_string(g) + " 1 0 0\n";
  WriteText("data.ngp.txt", genes);
  // Ten values a line; a "%" after a line's tenth value, or after the last, is never reached.
  std::string thetaList = "theta: fix";
  std::string etaStart = "eta: fix";
  for (int g = 0; g < 25; ++g) {
    const std::string theta = std::to_string((g + 1) / 10.0);
    const std::string eta = std::to_string(3 + g);
    thetaList += (g > 0 && g % 10 == 0 ? "\n" : " ") + theta;
    etaStart += (g > 0 && g % 10 == 0 ? "\n" : " ") + eta;
  }
  const std::map<int, std::string> lines = {{25, thetaList + " % comment"},
                                            {27, "eta: mix 0 9 24 8 %"},
                                            {42, "ancestral reconstruction: detailed"},
                                            {48, etaStart},
                                            {52, "g-lambda: fixed 2"}};
  ASSERT_TRUE(ReadWith(lines)) << errors_;
  ASSERT_EQ(em_.model.theta.size(), 25U);
  for (int g = 0; g < 25; ++g) {
    SCOPED_TRACE(g);
    EXPECT_DOUBLE_EQ(em_.model.theta[g], (g + 1) / 10.0);
    // The eta list starts only the estimated genes; 0 and 24 keep the model section's values.
    EXPECT_EQ(em_.model.eta[g], g == 0 ? 9.0 : g == 24 ? 8.0 : 3.0 + g);
  }
  EXPECT_FALSE(em_.flags.thetaAny);
  EXPECT_EQ(em_.ancestralMode, 2);
  EXPECT_EQ(em_.model.glambda, 2.0);

  // A file that ends inside a list names the file line it misses.
  const std::string text = Text(lines);
  em_ = EM();
  EXPECT_FALSE(Read(text.substr(0, text.find("\n1.1"))));
  EXPECT_EQ(errors_, "Error:VORN:ReadInput: The input file ends before line 26 in model parameters -> theta\n");
  em_ = EM();
  EXPECT_FALSE(Read(text.substr(0, text.rfind('\n', text.size() - 2) + 1)));
  EXPECT_EQ(errors_, "Error:VORN:ReadInput: The input file ends before line 56 in initialization parameters -> "
                     "g-lambda\n");
}

TEST_F(InputReaderModelTest, MixedPairsGoOnOverLinesAndTheLastValueWins) {
  ASSERT_TRUE(ReadWith({{25, "theta: mix 0 0.5 1 0.7 %"},
                        {26, "phi: mix 1 0.1 2 0.2\n3 0.3 1 0.15 %"},
                        {27, "eta: mixed 1 2.5\n\n%"},
                        {28, "xi: mix %"},
                        {29, "nu: est fixed"}}))
      << errors_;
  const EstimationFlags& f = em_.flags;
  EXPECT_EQ(em_.model.theta, Values({0.5, 0.7}));
  EXPECT_FALSE(f.thetaAny);  // every gene ended up fixed
  EXPECT_EQ(f.phi, Bytes({0, 0, 0, 0, 1, 1, 1}));
  EXPECT_TRUE(f.phiAny);
  EXPECT_EQ(em_.model.phi[1], 0.15);
  EXPECT_EQ(em_.model.phi[2], 0.2);
  EXPECT_EQ(em_.model.phi[3], 0.3);
  EXPECT_EQ(f.eta, Bytes({1, 0}));
  EXPECT_EQ(em_.model.eta[1], 2.5);
  EXPECT_EQ(f.xi, Bytes({0, 1, 1, 1, 1, 1, 1}));
  EXPECT_TRUE(f.nu);
  EXPECT_TRUE(em_.nuHeldFixed);
  EXPECT_EQ(em_.initialization.glambdaMode, "rand");  // the last line, three file lines later

  // The root's entry may be named, and is dropped like the root's entry of a list.
  ASSERT_TRUE(ReadWith({{28, "xi: mix 0 5 6 0.5 %"}})) << errors_;
  EXPECT_EQ(em_.model.xi[0], 0.0);
  EXPECT_EQ(em_.model.xi[6], 0.5);
  EXPECT_EQ(em_.flags.xi, Bytes({0, 1, 1, 1, 1, 1, 0}));
}

TEST_F(InputReaderModelTest, CategoryRules) {
  struct Case {
    const char *llambda, *glambda;
    int lossAsked, gainAsked;
    int loss, gain;
    bool warns;
  };
  const Case cases[] = {
      {"fix inf", "fix inf", 3, 7, 1, 2, false},  // no variation: the counts asked do not matter
      {"est", "est", 1, 1, 4, 2, true},
      {"est", "est", 0, 0, 4, 5, false},
      {"est", "est", -3, -1, 4, 5, false},
      {"est", "est", 2, 2, 2, 2, false},
      {"fix 0.5", "fix 2", 6, 3, 6, 3, false},
      {"fix 0", "fix rand", 1, 1, 1, 2, true},  // a drawn shape is never 0
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.llambda) + " / " + c.glambda + " / " + std::to_string(c.gainAsked));
    ASSERT_TRUE(ReadWith({{32, std::string("l-lambda: ") + c.llambda},
                          {33, std::string("g-lambda: ") + c.glambda},
                          {36, "# categories (loss distribution): " + std::to_string(c.lossAsked)},
                          {37, "# categories (gain distribution): " + std::to_string(c.gainAsked)}}))
        << errors_;
    EXPECT_EQ(em_.lossCategories.count, c.loss);
    EXPECT_EQ(em_.gainCategories.count, c.gain);
    EXPECT_EQ(em_.gainCategories.percentiles.size(), static_cast<std::size_t>(c.gain - 1));
    EXPECT_EQ(errors_, c.warns ? "Warning:VORN:ReadInput: Gain rate variation cannot be described with a single "
                                 "category -> setting two categories\n"
                               : "");
  }
}

TEST_F(InputReaderModelTest, DrawParametersReachTheDraws) {
  ASSERT_TRUE(ReadWith({{14, "p0: 1"},
                        {15, "theta: -2"},
                        {16, "phi: 1 2"},
                        {19, "nu: 1"},
                        {20, "l-lambda: 0.01"},
                        {24, "p0: fix random"},
                        {25, "theta: fix rand"},
                        {26, "phi: fix rand"},
                        {28, "xi: fix rand"},
                        {29, "nu: fix rand"},
                        {30, "minimal l-lambda value: 3"},
                        {31, "minimal g-lambda value: -1"},
                        {32, "l-lambda: fix rand"},
                        {33, "g-lambda: fix rand"}}))
      << errors_;
  const EvolModel& m = em_.model;
  EXPECT_EQ(m.p0, 1.0);  // uniform on [1, 1]
  EXPECT_EQ(m.nu, 1.0);
  EXPECT_GT(m.theta[0], 0.0);
  EXPECT_GT(m.theta[1], 0.0);
  // Weight 1: every node below the root's children copies its parent.
  EXPECT_EQ(m.phi[0], 0.0);
  EXPECT_GT(m.phi[1], 0.0);
  EXPECT_EQ(m.phi[3], m.phi[1]);
  EXPECT_EQ(m.phi[4], m.phi[1]);
  EXPECT_EQ(m.phi[5], m.phi[2]);
  EXPECT_EQ(m.xi[0], 0.0);
  for (std::uint32_t v = 1; v < 7; ++v) EXPECT_TRUE(m.xi[v] > 0 && m.xi[v] < 1) << v;
  // A tiny mean over a minimum of 3 stays near the minimum; the g-lambda minimum falls back to 0.06.
  EXPECT_GE(m.llambda, 3.0);
  EXPECT_LT(m.llambda, 3.1);
  EXPECT_EQ(em_.minGLambda, 0.06);
  EXPECT_GE(m.glambda, 0.06);
  EXPECT_FALSE(em_.flags.llambda || em_.flags.glambda || em_.flags.p0);
}

TEST_F(InputReaderModelTest, EveryMessageOfTheParameterSections) {
  struct Case {
    int line;
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      // Mode words.
      {24, "p0: guess", "Error:VORN:ReadInput: guess. Unrecognized keyword in  model parameters -> p0\n"},
      {25, "theta: free", "Error:VORN:ReadInput: free. Unrecognized keyword in  model parameters -> theta\n"},
      {26, "phi: free", "Error:VORN:ReadInput: free. Unrecognized keyword in  model parameters -> phi\n"},
      {27, "eta: free", "Error:VORN:ReadInput: free. Unrecognized keyword in  model parameters -> eta\n"},
      {28, "xi: free", "Error:VORN:ReadInput: free. Unrecognized keyword in  model parameters -> xi\n"},
      {29, "nu: con 0.5", "Error:VORN:ReadInput: con. Unrecognized keyword in  model parameters -> nu\n"},
      {32, "l-lambda: mix", "Error:VORN:ReadInput: mix. Unrecognized keyword in  model parameters -> l-lambda\n"},
      {33, "g-lambda: es", "Error:VORN:ReadInput: es. Unrecognized keyword in  model parameters -> g-lambda\n"},
      {42, "ancestral reconstruction: full",
       "Error:VORN:ReadInput: full. Unrecognized keyword in control parameters -> ancestral reconstruction\n"},
      {45, "p0: obs 0.5", "Error:VORN:ReadInput: obs. Unrecognized keyword in initialization parameters -> p0\n"},
      {46, "theta: dollo", "Error:VORN:ReadInput: dollo. Unrecognized keyword in initialization parameters -> theta\n"},
      {47, "phi: rand", "Error:VORN:ReadInput: rand. Unrecognized keyword in initialization parameters -> phi\n"},
      {48, "eta: dollo", "Error:VORN:ReadInput: dollo. Unrecognized keyword in initialization parameters -> eta\n"},
      {49, "xi: con 1", "Error:VORN:ReadInput: con. Unrecognized keyword in initialization parameters -> xi\n"},
      {50, "nu: dollo 1", "Error:VORN:ReadInput: dollo. Unrecognized keyword in initialization parameters -> nu\n"},
      {51, "l-lambda: fix 1",
       "Error:VORN:ReadInput: fix. Unrecognized keyword in initialization parameters -> l-lambda\n"},
      {52, "g-lambda: ran 1",
       "Error:VORN:ReadInput: ran. Unrecognized keyword in initialization parameters -> g-lambda\n"},
      // Lists.
      {25, "theta: fix %",
       "Error:VORN:ReadInput: Numerical input is expected after model parameters -> theta: fixed\n"},
      {26, "phi: fix", "Error:VORN:ReadInput: Numerical input is expected after model parameters -> phi: fixed\n"},
      {27, "eta: fix %1", "Error:VORN:ReadInput: Numerical input is expected after model parameters -> eta: fixed\n"},
      {28, "xi: fix % 1", "Error:VORN:ReadInput: Numerical input is expected after model parameters -> xi: fixed\n"},
      {46, "theta: fix %",
       "Error:VORN:ReadInput: Numerical input is expected after initialization parameters -> theta: fixed\n"},
      {47, "phi: fix %",
       "Error:VORN:ReadInput: Numerical input is expected after initialization parameters -> phi: fixed\n"},
      {48, "eta: fix", "Error:VORN:ReadInput: Numerical input is expected after initialization parameters -> eta: "
                       "fixed\n"},
      {49, "xi: fix %",
       "Error:VORN:ReadInput: Numerical input is expected after initialization parameters -> xi: fixed\n"},
      {25, "theta: fix 0.5", "Error:VORN:ReadInput: Not enough values in model parameters -> theta: fixed\n"},
      {26, "phi: fix 0 0.1 0.2 %", "Error:VORN:ReadInput: Not enough values in model parameters -> phi: fixed\n"},
      {27, "eta: fix 1 %", "Error:VORN:ReadInput: Not enough values in model parameters -> eta: fixed\n"},
      {28, "xi: fix 0 1 1 1 1 1", "Error:VORN:ReadInput: Not enough values in model parameters -> xi: fixed\n"},
      {46, "theta: fix 1", "Error:VORN:ReadInput: Not enough values in initialization parameters -> theta: fixed\n"},
      {47, "phi: fix 0 0.5", "Error:VORN:ReadInput: Not enough values in initialization parameters -> phi: fixed\n"},
      {48, "eta: fix 1 %", "Error:VORN:ReadInput: Not enough values in initialization parameters -> eta: fixed\n"},
      {49, "xi: fix 0", "Error:VORN:ReadInput: Not enough values in initialization parameters -> xi: fixed\n"},
      // Pairs.
      {25, "theta: mix", "Error:VORN:ReadInput: A numerical value is expected after model parameters -> theta: "
                         "mixed\n"},
      {26, "phi: mix", "Error:VORN:ReadInput: A numerical value is expected after model parameters -> phi: mixed\n"},
      {27, "eta: mix", "Error:VORN:ReadInput: A numerical value is expected after model parameters -> eta: mixed\n"},
      {28, "xi: mix", "Error:VORN:ReadInput: A numerical value is expected after model parameters -> xi: mixed\n"},
      {25, "theta: mix 0", "Error:VORN:ReadInput: Uncomplete pair found in model parameters -> theta: mixed\n"},
      {26, "phi: mix 1 0.5 2 %", "Error:VORN:ReadInput: Uncomplete pair found in model parameters -> phi: mixed\n"},
      {27, "eta: mix 1\n2 %", "Error:VORN:ReadInput: Uncomplete pair found in model parameters -> eta: mixed\n"},
      {28, "xi: mix 1 %", "Error:VORN:ReadInput: Uncomplete pair found in model parameters -> xi: mixed\n"},
      {25, "theta: mix 2 0.5 %", "Error:VORN:ReadInput: Index 2 out of range in model parameters -> theta: mixed\n"},
      {26, "phi: mix 7 0.1 %", "Error:VORN:ReadInput: Index 7 out of range in model parameters -> phi: mixed\n"},
      {28, "xi: mix -1 0.5 %", "Error:VORN:ReadInput: Index -1 out of range in model parameters -> xi: mixed\n"},
      {27, "eta: mix one 0.5 %", "Error:VORN:ReadInput: one is not an index in model parameters -> eta: mixed\n"},
      // Values that are not numbers, or make no sense for their parameter.
      {24, "p0: fix half", "Error:VORN:ReadInput: half is not a number in model parameters -> p0\n"},
      {24, "p0: fix 1.5", "Error:VORN:ReadInput: 1.5 is not a probability in model parameters -> p0\n"},
      {25, "theta: con -1", "Error:VORN:ReadInput: Negative value -1 in model parameters -> theta\n"},
      {26, "phi: fix 0.9 0.1 0.2 1.3 0.4 0.5 0.6",
       "Error:VORN:ReadInput: 1.3 is not a probability in model parameters -> phi: fixed\n"},
      {27, "eta: fix 1 -2", "Error:VORN:ReadInput: Negative value -2 in model parameters -> eta: fixed\n"},
      {28, "xi: mix 2 -0.2 %", "Error:VORN:ReadInput: -0.2 is not a probability in model parameters -> xi: mixed\n"},
      {29, "nu: fix 2", "Error:VORN:ReadInput: 2 is not a probability in model parameters -> nu\n"},
      {32, "l-lambda: fix -0.5", "Error:VORN:ReadInput: Negative value -0.5 in model parameters -> l-lambda\n"},
      {33, "g-lambda: fix infinite", "Error:VORN:ReadInput: infinite is not a number in model parameters -> g-lambda\n"},
      {14, "p0: 1.5", "Error:VORN:ReadInput: 1.5 is not a probability in alignment data -> p0 distribution\n"},
      {18, "xi: 1.2 1", "Error:VORN:ReadInput: 1.2 is not a probability in alignment data -> xi distribution\n"},
      {45, "p0: fix 2", "Error:VORN:ReadInput: 2 is not a probability in initialization parameters -> p0\n"},
      {45, "p0: rand 1.5", "Error:VORN:ReadInput: 1.5 is not a probability in initialization parameters -> p0\n"},
      {46, "theta: con -0.1", "Error:VORN:ReadInput: Negative value -0.1 in initialization parameters -> theta\n"},
      {49, "xi: fix 0 0.5 0.5 0.5 0.5 0.5 1.5",
       "Error:VORN:ReadInput: 1.5 is not a probability in initialization parameters -> xi: fixed\n"},
      {50, "nu: fix x", "Error:VORN:ReadInput: x is not a number in initialization parameters -> nu\n"},
      {52, "g-lambda: fixed -1", "Error:VORN:ReadInput: Negative value -1 in initialization parameters -> g-lambda\n"},
      // Missing or unreadable lines and values.
      {24, "p0:", "Error:VORN:ReadInput: Line 24 ends before its value in model parameters -> p0\n"},
      {24, "p0: fix", "Error:VORN:ReadInput: Line 24 ends before its value in model parameters -> p0\n"},
      {32, "l-lambda: fix", "Error:VORN:ReadInput: Line 32 ends before its value in model parameters -> l-lambda\n"},
      {16, "phi: 0.4",
       "Error:VORN:ReadInput: Line 16 does not read as 'phi: %lg %lg' in alignment data -> phi distribution\n"},
      {30, "minimal l-lambda value: small",
       "Error:VORN:ReadInput: Line 30 does not read as 'minimal l-lambda value: %lg' in model parameters -> "
       "minimal l-lambda value\n"},
      {36, "# categories (loss distribution): four",
       "Error:VORN:ReadInput: Line 36 does not read as '# categories (loss distribution): %d' in control "
       "parameters -> # categories (loss distribution)\n"},
      {37, "# categories (gain distribution): 70000",
       "Error:VORN:ReadInput: At most 65535 categories are possible in control parameters -> # categories (gain "
       "distribution)\n"},
      {38, "likelihood tolerance:",
       "Error:VORN:ReadInput: Line 38 does not read as 'likelihood tolerance: %lg' in control parameters -> "
       "likelihood tolerance\n"},
      {38, "likelihood tolerance: -1e-6",
       "Error:VORN:ReadInput: Negative value -1e-06 in control parameters -> likelihood tolerance\n"},
      {39, "parameter tolerance: -0.5",
       "Error:VORN:ReadInput: Negative value -0.5 in control parameters -> parameter tolerance\n"},
      {40, "internal tolerance: -1", "Error:VORN:ReadInput: Negative value -1 in control parameters -> internal "
                                     "tolerance\n"},
      {41, "maximum # iterations: 1e3",
       "Error:VORN:ReadInput: Line 41 does not read as 'maximum # iterations: %d' in control parameters -> "
       "maximum # iterations\n"},
      {45, "p0:", "Error:VORN:ReadInput: Line 45 does not read as 'p0: %s %lg' in initialization parameters -> p0\n"},
      {45, "p0: fix", "Error:VORN:ReadInput: Line 45 ends before its value in initialization parameters -> p0\n"},
      {51, "l-lambda: fixed %",
       "Error:VORN:ReadInput: Line 51 ends before its value in initialization parameters -> l-lambda\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_FALSE(ReadWith({{c.line, c.text}}));
    EXPECT_EQ(errors_, c.message);
  }

  // A minimum far above the mean leaves the truncated exponential nothing it can compute.
  EXPECT_FALSE(ReadWith({{31, "minimal g-lambda value: 1000"}, {33, "g-lambda: fix rand"}}));
  EXPECT_EQ(errors_, "Error:VORN:ReadInput: The draw with mean 1 and minimum 1000 gives no finite value in model "
                     "parameters -> g-lambda\n");

  // Values the reader accepts at the edges of their ranges, and the root's discarded entries.
  const std::pair<int, const char*> accepted[] = {
      {24, "p0: fix 1"},      {26, "phi: fix 5 0 1 0 1 0 1"}, {29, "nu: fix 0"},
      {25, "theta: con 0"},   {33, "g-lambda: fix 0"},        {45, "p0: rand -1"},
      {46, "theta: rand %"},  {47, "phi: fix -3 0 0 0 0 0 0"}, {52, "g-lambda: rand"},
      {14, "p0: -2"},         {16, "phi: -1 0"},              {50, "nu: observed whatever"},
      {38, "likelihood tolerance: 0"},
  };
  for (const auto& [line, text] : accepted) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(ReadWith({{line, text}})) << errors_;
  }
}

TEST_F(InputReaderModelTest, SimulationOfAFixedModel) {
  ASSERT_TRUE(ReadWith({{8, "source: sim"},
                        {9, "number of genes: 2"},
                        {10, "number of sites: fixed 3 4"},
                        {11, "fraction of unknowns: 0"},
                        {12, "track numbers of present characters: on"},
                        {24, "p0: fix 0.25"},
                        {25, "theta: fix 0.5 1.5"},
                        {26, "phi: fix 0.9 0.1 0.2 0.3 0.4 0.5 0.6"},
                        {27, "eta: con 2"},
                        {28, "xi: fix 0 0.05 0.15 0.25 0.35 0.45 0.55"},
                        {29, "nu: fix 0.125"},
                        {32, "l-lambda: fix inf"},
                        {33, "g-lambda: fix 0.75"}}))
      << errors_;
  EXPECT_EQ(errors_, "");
  EXPECT_EQ(ReadText("run_truemodel.m"), ReadText(TestData("golden/truemodel_fixed.m")));
  // Not on a terminal: the first and the last progress line of the simulation, each a line.
  EXPECT_EQ(output_.rfind("reading and processing input file\n   running the simulation ...\n      gene 1/2: "
                          "site 1/3\n      gene 2/2: site 4/4\n\n",
                          0),
            0U)
      << output_;
  EXPECT_TRUE(FileExists("run.track.txt"));
  EXPECT_EQ(data_.geneCount, 2U);
  EXPECT_EQ(data_.allSites, 7U);
  EXPECT_EQ(data_.genes[1].geneName, "gene_#1");

  // The written pattern files read back into the same data.
  AlignmentData back;
  FilePtr patterns = OpenFile("run.wp.txt", "r"), counts = OpenFile("run.ngp.txt", "r");
  ASSERT_TRUE(patterns && counts);
  ASSERT_TRUE(back.ReadPatternFiles(patterns.get(), counts.get(), 4));
  EXPECT_EQ(back.patternCount, data_.patternCount);
  EXPECT_EQ(back.genes[0].counts, data_.genes[0].counts);
  EXPECT_EQ(back.genes[1].counts, data_.genes[1].counts);
}

TEST_F(InputReaderModelTest, SimulationDrawsWhatTheFileLeavesOpen) {
  // Entries a "mix" line leaves to the estimation still get true values to simulate from.
  ASSERT_TRUE(ReadWith({{8, "source: sim"}, {9, "number of genes: 3"}, {10, "number of sites: const 2"},
                        {25, "theta: mix 1 0.5 %"}, {28, "xi: mix 2 0.3 %"}}))
      << errors_;
  EXPECT_EQ(em_.model.theta[1], 0.5);
  EXPECT_GT(em_.model.theta[0], 0.0);
  EXPECT_GT(em_.model.theta[2], 0.0);
  EXPECT_EQ(em_.model.xi[2], 0.3);
  EXPECT_GT(em_.model.xi[1], 0.0);
  EXPECT_EQ(em_.flags.theta, Bytes({1, 0, 1}));
  EXPECT_GE(em_.model.p0, 0.95);  // "est" draws from the lower end of line 14
  EXPECT_GE(em_.model.nu, 0.8);
  EXPECT_GE(em_.model.llambda, 0.05);
  EXPECT_EQ(data_.allSites, 6U);
}

TEST_F(InputReaderModelTest, UnwritableSimulationFilesAreFoundBeforeTheSimulation) {
  const std::map<int, std::string> simulate = {{8, "source: sim"}, {10, "number of sites: const 2"}};
  for (const char* file : {"run_truemodel.m", "run.wp.txt", "run.ngp.txt"}) {
    SCOPED_TRACE(file);
    std::filesystem::create_directory(file);
    EXPECT_FALSE(ReadWith(simulate));
    EXPECT_EQ(errors_, std::string("Error:VORN:ReadInput: The file ") + file + " cannot be opened for writting\n");
    EXPECT_EQ(data_.allSites, 0U);
    std::filesystem::remove(file);
    EXPECT_FALSE(FileExists("run_truemodel.m"));  // not left beside data it does not belong to
  }
}

TEST_F(InputReaderModelTest, ExampleSimulationStopsAfterReading) {
  const std::string examples = TestData("../../examples/");
  WriteText("simulate.input.txt", ReadText(examples + "simulate.input.txt"));
  WriteText("primates.phyl", ReadText(examples + "primates.phyl"));
  const char* argv[] = {"vorn", "simulate.input.txt"};
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int status = RunProgram(2, argv);
  errors_ = testing::internal::GetCapturedStderr();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, 0) << errors_;
  EXPECT_EQ(errors_, "");
  for (const char* file : {"done.txt", "simulate.wp.txt", "simulate.ngp.txt", "simulate_truemodel.m",
                           "simulate.track.txt"}) {
    EXPECT_TRUE(FileExists(file)) << file;
  }
}

}  // namespace
}  // namespace vorn
