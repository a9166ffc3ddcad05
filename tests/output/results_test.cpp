// Whole runs and what they leave for scripts and viewers: results.json read as a script would,
// the annotated tree read back, the picture parsed as XML.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using nlohmann::json;
using testing_support::ReadText;
using testing_support::WriteText;

// What a script may rely on beyond the layout the fixed run's golden pins: bounds, at_bound and
// gradient set exactly for the estimated parameters, and counted.
void ExpectSchema(const json& r) {
  const json& outcome = r["outcome"];
  EXPECT_EQ(outcome["criterion_not_met"].is_null(), outcome["converged"] == true);
  std::size_t estimated = 0;
  for (const json& p : r["parameters"]) {
    SCOPED_TRACE(p.dump());
    const bool free = p["estimated"].get<bool>();
    estimated += free;
    for (const char* key : {"lower", "upper", "gradient"}) EXPECT_EQ(p[key].is_number(), free) << key;
    EXPECT_EQ(p["at_bound"].is_boolean(), free);
  }
  EXPECT_EQ(outcome["free_parameters"], estimated);
}

// Runs a script with python3 on a file; -1 when there is no python3.
int RunPython(const std::string& script, const std::string& argument) {
  WriteText("check.py", script);
  if (std::system("python3 -c '' >/dev/null 2>&1") != 0) return -1;
  const int status = std::system(("python3 check.py " + argument).c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

class ResultsRunTest : public testing_support::ScratchTest {
 protected:
  ResultsRunTest() {
    // Leaf names that XML and JSON must escape. D shows the character at three sites in four with
    // the root nearly always without it: no gain chance on D's branch is high enough, so xi of D
    // goes to 1; A, B and C never show it, and their xi go to the floor.
    WriteText("tree.nwk", "((A&1:0.04,B<2>:0.04)AB:0.06,(C:0.06,D\"q:0.06)CD:0.04)root;\n");
    std::string table = "A&1\tB<2>\tC\t\"D\"\"q\"\n";  // quoted as spreadsheets do
    for (int site = 0; site < 40; ++site) table += site < 30 ? "0\t0\t0\t1\n" : "0\t0\t0\t0\n";
    WriteText("data.tsv", table);
  }

  json Run(const std::string& project) {
    const std::string control = project + ".txt";
    WriteText(control, testing_support::ControlText(lines_));
    const auto run = testing_support::RunVorn({"--seed", "1", control.c_str()});
    errors_ = run.err;
    EXPECT_EQ(run.status, 0) << errors_;
    return json::parse(ReadText(project + ".results.json"));
  }

  std::map<int, std::string> lines_ = {
      {3, "tree: tree.nwk newick"}, {8, "source: table data.tsv"}, {24, "p0: fix 0.9"}, {25, "theta: fix 1"},
      {26, "phi: con 0.1"}, {27, "eta: fix 0.5"}, {29, "nu: fix 0"}, {32, "l-lambda: fix inf"},
      {33, "g-lambda: fix inf"}, {36, "# categories (loss distribution): 1"}, {37, "# categories (gain distribution): 2"},
      {41, "maximum # iterations: 100"}, {42, "ancestral reconstruction: on"}, {49, "xi: fix 0.5 0.5 0.5 0.5 0.5 0.5 0.5"}};
  std::string errors_;
};

TEST_F(ResultsRunTest, BoundsAndTheIterationLimitShow) {
  const json bound = Run("bound");
  ExpectSchema(bound);
  EXPECT_EQ(bound["outcome"]["converged"], true);
  EXPECT_EQ(bound["outcome"]["free_parameters"], 6);
  std::map<std::string, json> xi;
  for (const json& p : bound["parameters"]) {
    if (p["parameter"] == "xi") xi[p["name"].get<std::string>()] = p;
  }
  EXPECT_EQ(xi.at("D\"q")["value"], 1.0);
  EXPECT_EQ(xi.at("D\"q")["upper"], 1.0);
  for (const char* leaf : {"D\"q", "A&1", "B<2>", "C"}) EXPECT_EQ(xi.at(leaf)["at_bound"], true) << leaf;

  lines_[39] = "parameter tolerance: 0";  // met only where nothing moves
  lines_[41] = "maximum # iterations: 1";
  const json limit = Run("limit");
  ExpectSchema(limit);
  EXPECT_EQ(limit["outcome"]["converged"], false);
  EXPECT_EQ(limit["outcome"]["iterations"], 1);
  const json expected = {{"test", "parameter tolerance"}, {"parameter", "xi"}, {"threshold", 0}};
  for (const auto& [key, value] : expected.items()) EXPECT_EQ(limit["outcome"]["criterion_not_met"][key], value) << key;
  EXPECT_NE(errors_.find("the relative change of xi ("), std::string::npos) << errors_;
  lines_[24] = "p0: est";  // the first family, named before xi
  EXPECT_EQ(Run("p0")["outcome"]["criterion_not_met"]["parameter"], "p0");
}

TEST_F(ResultsRunTest, RateBoundsAreTheCapOverTheLargestRate) {
  // The cap is 153.5 over the longest branch (0.06); the largest of three rates of the exponential
  // (shape 1) is its 5/6 quantile, ln 6, over the mean of the three, (ln 6/5 + ln 2 + ln 6) / 3.
  for (const auto& [line, text] : std::map<int, std::string>{
           {25, "theta: est"}, {27, "eta: est"}, {32, "l-lambda: fix 1"}, {33, "g-lambda: fix 1"},
           {36, "# categories (loss distribution): 3"}, {37, "# categories (gain distribution): 4"}}) {
    lines_[line] = text;
  }
  const double largest = 3 * std::log(6.0) / (std::log(1.2) + std::log(2.0) + std::log(6.0));
  std::string seen;
  const json caps = Run("caps");
  for (const json& p : caps["parameters"]) {
    if (p["parameter"] != "theta" && p["parameter"] != "eta") continue;
    seen += p["parameter"].get<std::string>();
    EXPECT_NEAR(p["upper"].get<double>(), 153.5 / 0.06 / largest, 1e-6) << p["parameter"];
  }
  EXPECT_EQ(seen, "thetaeta") << caps.dump();
}

TEST_F(ResultsRunTest, TheAnnotatedTreeAndThePictureReadBack) {
  Run("run");
  // The tool's own reader knows no comments: without them, the same tree.
  const std::string annotated = ReadText("run.tree.nwk");
  EXPECT_EQ(std::count(annotated.begin(), annotated.end(), '['), 7);  // every node: the root its present count
  WriteText("plain.nwk", std::regex_replace(annotated, std::regex("\\[[^\\]]*\\]"), ""));
  PhylogeneticTree original, again;
  FilePtr file = OpenFile("tree.nwk", "r"), plain = OpenFile("plain.nwk", "r");
  ASSERT_TRUE(original.ReadNewick(file.get()) && again.ReadNewick(plain.get()));
  auto branches = [](const PhylogeneticTree& tree) {
    std::map<std::string, std::pair<std::string, double>> above;  // name: parent's name, length
    for (std::uint32_t v = 1; v < tree.nodeCount; ++v) above[tree.nodeNames[v]] = {tree.nodeNames[tree.parent[v]], tree.branchLength[v]};
    return above;
  };
  EXPECT_EQ(branches(again), branches(original));

  const int xml = RunPython("import sys, xml.etree.ElementTree as ET\n"
                            "svg = ET.parse(sys.argv[1]).getroot()\n"
                            "texts = ''.join(''.join(t.itertext()) for t in svg.iter('{http://www.w3.org/2000/svg}text'))\n"
                            "assert 'A&1' in texts and 'B<2>' in texts and 'log-likelihood' in texts, texts\n",
                            "run.tree.svg");
  if (xml < 0) GTEST_SKIP() << "no python3 to parse the picture as XML";
  EXPECT_EQ(xml, 0);
}

}  // namespace
}  // namespace vorn
