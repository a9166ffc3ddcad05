// Whole runs and what they leave for scripts and viewers: results.json read as a script would,
// the annotated tree read back, the picture parsed as XML.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <tuple>
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

// Every node of a tree by its name: its parent's name, the length above it and its support value.
std::map<std::string, std::tuple<std::string, double, std::string>> Branches(const PhylogeneticTree& tree) {
  std::map<std::string, std::tuple<std::string, double, std::string>> above;
  for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
    above[tree.nodeNames[v]] = {tree.nodeNames[tree.parent[v]], tree.branchLength[v],
                                tree.HasSupport() ? tree.support[v] : std::string()};
  }
  return above;
}

PhylogeneticTree ReadTree(const std::string& file, bool newick) {
  PhylogeneticTree tree;
  tree.treeName = file;
  FilePtr stream = OpenFile(file, "r");
  EXPECT_TRUE(stream && (newick ? tree.ReadNewick(stream.get()) : tree.ReadPhyl(stream.get()))) << file;
  return tree;
}

TEST_F(ResultsRunTest, EveryAnnotatedTreeReadsBackWithItsNamesLengthsAndSupport) {
  // Names a Newick label must quote, numbers as inner names (a "phyl" file's), support values, a
  // random tree's names, with the reconstruction's comments and without.
  WriteText("named.phyl", "7 Nodes (ID name age):\n1: '29' 100\n2: '28' 40\n3: 'C:D (x)' 60\n4: 'first leaf' 0\n"
                          "5: 'B,2' 0\n6: '7' 0\n7: 'D' 0\n\nEdges (ID from to):\n1: 1 2\n2: 1 3\n3: 2 4\n"
                          "4: 2 5\n5: 3 6\n6: 3 7\n");
  WriteText("support.nwk", "((A&1:0.04,B<2>:0.04)95:0.06,(C:0.06,D\"q:0.06)0.5/87:0.04)100;\n");
  const struct {
    const char* tree;
    const char* source;
    const char* reconstruction;
  } cases[] = {
      {"tree: tree.nwk newick", "source: table data.tsv", "ancestral reconstruction: on"},
      {"tree: tree.nwk newick", "source: table data.tsv", "ancestral reconstruction: off"},
      {"tree: named.phyl phyl", "source: pat data.wp.txt data.ngp.txt", "ancestral reconstruction: on"},
      {"tree: support.nwk newick", "source: table data.tsv", "ancestral reconstruction: on"},
      {"tree: random", "source: pat data.wp.txt data.ngp.txt", "ancestral reconstruction: on"},
  };
  WriteText("data.wp.txt", "0 1 1 0\n1 1 0 1\n");
  WriteText("data.ngp.txt", "g 10 12\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tree);
    lines_[3] = c.tree;
    lines_[4] = "number of leaves: 4";
    lines_[8] = c.source;
    lines_[42] = c.reconstruction;
    Run("run");
    const std::string file = std::string(c.tree).substr(6, std::string(c.tree).find(' ', 6) - 6);
    const PhylogeneticTree original = file == "random" ? ReadTree("run.phyl", false)
                                                       : ReadTree(file, file.find(".nwk") != std::string::npos);
    const PhylogeneticTree again = ReadTree("run.tree.nwk", true);
    if (file != "random") {
      EXPECT_EQ(Branches(again), Branches(original));
    } else {
      // Its file names the nodes 'Node #k' and keeps two decimals of My; the fit ran on the tree.
      std::set<std::string> names(again.nodeNames.begin(), again.nodeNames.end());
      EXPECT_EQ(names, (std::set<std::string>{"node #0", "node #1", "node #2", "node #3", "node #4", "node #5",
                                              "node #6"}));
    }
  }
}

TEST_F(ResultsRunTest, TheResultsRecordTheSettingsTheUnitAndEveryWarning) {
  // In units of 100 My, and D ends 0.4 units above the others: not a time tree.
  WriteText("deep.nwk", "((A&1:0.4,B<2>:0.4)AB:0.6,(C:0.6,D\"q:0.2)CD:0.4)root;\n");
  lines_[3] = "tree: deep.nwk newick";
  lines_[53] = "tree unit: 100My";
  lines_[54] = "a note without a percent sign";
  lines_[55] = "condition on presence: off";
  const json r = Run("deep");
  const json expected = {{"condition_on_presence", false}, {"tree_unit", "100My"}, {"tree_name", nullptr},
                         {"ultrametric_tolerance", 0.01}, {"internal_labels", "auto"}, {"gene_column", nullptr},
                         {"leaves_without_data", "error"}, {"optimizer", "em"}, {"starts", 1}};
  for (const auto& [key, value] : expected.items()) EXPECT_EQ(r["settings"][key], value) << key;
  EXPECT_EQ(r["tree"]["unit"], json({{"setting", "100My"}, {"million_years_per_unit", 100.0}}));
  EXPECT_EQ(r["tree"]["ultrametric"], false);
  EXPECT_EQ(r["tree"]["support_values"], false);
  EXPECT_NEAR(r["tree"]["leaf_depths"]["shallowest"].get<double>(), 0.06, 1e-15);  // 0.04 + 0.02
  EXPECT_NEAR(r["tree"]["leaf_depths"]["deepest"].get<double>(), 0.1, 1e-15);
  const std::string notUltrametric =
      "Warning:VORN:ReadInput: the phylogenetic tree 'deep.nwk' is not ultrametric: its leaves end from 0.6 to 1 "
      "below the root, in the file's unit (a spread of 40 % of the root's depth, where the setting 'ultrametric "
      "tolerance' allows 1 %): its branch lengths are not times, so the rates are per unit of branch length and the "
      "report's time span and the picture's ages are not ages";
  const std::string unknownSetting =
      "Warning:VORN:ReadInput: Line 54 ('a note without a percent sign') is not a setting; it is ignored";
  // The reader's two, in order; the fit's notes of estimates at a bound may follow.
  ASSERT_GE(r["warnings"].size(), 2U);
  EXPECT_EQ(json::array({r["warnings"][0], r["warnings"][1]}),
            json::array({{{"code", "tree-not-ultrametric"}, {"text", notUltrametric}},
                         {{"code", "unknown-setting"}, {"text", unknownSetting}}}));
  EXPECT_EQ(errors_.substr(0, notUltrametric.size() + unknownSetting.size() + 2),
            notUltrametric + "\n" + unknownSetting + "\n");
  // The report's one line for the unit and one for a tree whose lengths are not times; the
  // picture's axis in the file's own unit.
  const std::string report = ReadText("deep.output.txt");
  EXPECT_NE(report.find("total time span: 100 MYears\ntree unit: 100My (100 million years per unit of branch length)\n"
                        "leaf depths: 60 to 100 MYears below the root: the branch lengths are not times\n\n"),
            std::string::npos);
  const std::string picture = ReadText("deep.tree.svg");
  EXPECT_NE(picture.find(">branch length before the deepest leaf, in the unit of the tree file (not times: the leaves "
                         "do not line up) (tree unit: 100My)</text>"),
            std::string::npos);
  EXPECT_NE(picture.find("text-anchor=\"middle\">0.8</text>"), std::string::npos);  // ticks of 0.2 units up to 1
}

TEST_F(ResultsRunTest, SupportValuesGetAColumnAndAKey) {
  WriteText("support.nwk", "((A&1:0.04,B<2>:0.04)95:0.06,(C:0.06,D\"q:0.06)0.5/87:0.04)100;\n");
  lines_[3] = "tree: support.nwk newick";
  Run("support");
  const std::string branches = ReadText("support.branches.tsv");
  const std::string header = branches.substr(0, branches.find('\n'));
  EXPECT_EQ(header.substr(header.size() - 25), "\tdollo_retentions\tsupport");
  std::map<std::string, std::string> support;  // by name, the last column
  for (std::size_t at = branches.find('\n') + 1; at < branches.size(); at = branches.find('\n', at) + 1) {
    const std::string row = branches.substr(at, branches.find('\n', at) - at);
    const std::size_t tab = row.find('\t');
    support[row.substr(tab + 1, row.find('\t', tab + 1) - tab - 1)] = row.substr(row.rfind('\t') + 1);
  }
  EXPECT_EQ(support, (std::map<std::string, std::string>{{"Ancestor_1", "95"}, {"Ancestor_2", "0.5/87"},
                                                          {"A&1", "NA"}, {"B<2>", "NA"}, {"C", "NA"}, {"D\"q", "NA"}}));
  const std::string annotated = ReadText("support.tree.nwk");
  EXPECT_NE(annotated.find(")Ancestor_1:0.059999999999999998[&support=95,gains="), std::string::npos) << annotated;
  EXPECT_NE(annotated.find(")Ancestor_2:0.040000000000000001[&support=\"0.5/87\",gains="), std::string::npos);
}

TEST_F(ResultsRunTest, TheAnnotatedTreeAndThePictureReadBack) {
  Run("run");
  const std::string annotated = ReadText("run.tree.nwk");
  EXPECT_EQ(std::count(annotated.begin(), annotated.end(), '['), 7);  // every node: the root its present count
  EXPECT_EQ(Branches(ReadTree("run.tree.nwk", true)), Branches(ReadTree("tree.nwk", true)));

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
