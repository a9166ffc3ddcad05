// Tests of the subcommands: every option read or refused, and vorn fit, simulate and check run
// end to end on the example data.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>

#include "driver/subcommand_lines.h"
#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::ReadText;
using testing_support::RunVorn;
using testing_support::WriteText;
using SubcommandsTest = testing_support::ScratchTest;

std::string Or(const std::string& text) { return text.empty() ? "-" : text; }
std::string Or(const std::optional<std::uint32_t>& number) { return number ? std::to_string(*number) : "-"; }

std::string Joined(const std::vector<std::string>& words, const char* separator) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : separator) + word;
  return text;
}

// What a parser read, in the case table's words; "" when it refused, with its message in `errors`.
std::string ParsedSummary(const std::vector<const char*>& argv, std::string* errors) {
  const std::string name = argv[0];
  const int argc = static_cast<int>(argv.size());
  testing::internal::CaptureStderr();
  std::ostringstream summary;
  LineOutcome outcome = LineOutcome::kRefused;
  if (name == "fit") {
    FitLine line;
    outcome = ParseFitLine(argc, argv.data(), &line);
    summary << line.reading.tree << " " << line.reading.data << " " << Or(line.prefix) << " "
            << line.conditionOnPresence << " " << Joined(std::vector<std::string>(line.modes, line.modes + 8), ",")
            << " " << line.lossCategories << "," << line.gainCategories << " " << line.starts << " "
            << line.standardErrors << " " << Or(line.seed) << " " << line.threads << " " << Or(line.reading.treeUnit)
            << " " << Or(line.reading.geneColumn) << " " << Or(line.reading.leavesWithoutData);
  } else if (name == "simulate") {
    SimulateLine line;
    outcome = ParseSimulateLine(argc, argv.data(), &line);
    summary << line.tree << " " << Or(line.model) << " " << Or(Joined(line.set, ",")) << " " << line.sites << " "
            << Or(line.genes) << " " << line.replicates << " " << line.prefix << " " << Or(line.treeUnit) << " "
            << Or(line.seed);
  } else {
    CheckLine line;
    outcome = ParseCheckLine(argc, argv.data(), &line);
    summary << line.reading.tree << " " << line.reading.data << " " << Or(line.reading.treeUnit) << " "
            << Or(line.reading.geneColumn) << " " << Or(line.reading.leavesWithoutData);
  }
  *errors = testing::internal::GetCapturedStderr();
  return outcome == LineOutcome::kRun ? summary.str() : "";
}

TEST(SubcommandLinesTest, EveryOptionReadOrRefusedAsTheCaseTableSays) {
  for (const std::vector<std::string>& c : testing_support::CaseTable("subcommand_lines.txt")) {
    SCOPED_TRACE(c[0]);
    std::istringstream words(c[0]);
    const std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    std::string errors;
    const std::string summary = ParsedSummary(argv, &errors);
    if (c[1] == "ok") {
      EXPECT_EQ(errors, "");
      EXPECT_EQ(summary, c[2]);
    } else {
      EXPECT_EQ(summary, "");
      EXPECT_EQ(errors, c[1] + "\n");
    }
  }
}

TEST(SubcommandLinesTest, HelpShowsEveryOptionItsDefaultAndAnExample) {
  const auto fit = RunVorn({"fit", "--help"});
  EXPECT_EQ(fit.status, 0);
  EXPECT_EQ(fit.err, "");
  for (const char* text : {"--tree FILE", "--data FILE", "--prefix PATH", "--condition-on-presence MODE", "[default: auto]",
                           "--fix NAME=VALUE", "--estimate NAME", "--categories LOSS,GAIN", "[default: 4,5]", "--starts N",
                           "[default: 8]", "--standard-errors", "--threads N", "--seed N", "--tree-unit UNIT",
                           "--gene-column NAME", "--leaves-without-data RULE", "Example:", "stderr"}) {
    EXPECT_NE(fit.out.find(text), std::string::npos) << text;
  }
  const auto top = RunVorn({"--help"});
  for (const char* text : {"vorn fit --tree FILE --data FILE", "vorn simulate", "vorn check", "stderr"}) {
    EXPECT_NE(top.out.find(text), std::string::npos) << text;
  }
  EXPECT_EQ(RunVorn({"simulate", "--help"}).status, 0);
  EXPECT_NE(RunVorn({"check", "-h"}).out.find("Writes no file"), std::string::npos);
}

void CopyExamples() {
  for (const char* name : {"mammals.nwk", "families.tsv"}) {
    std::filesystem::copy_file(std::string(EXAMPLES_DIR) + "/" + name, name);
  }
}

// Every file under the working directory, by path, with the texts that change between two runs of
// one seed taken out: the running time, elapsed_seconds, and the command line of a subcommand.
std::map<std::string, std::string> Outputs(const std::string& folder) {
  std::map<std::string, std::string> files;
  const std::regex changing("total running time: [^\n]*|\"elapsed_seconds\": [^\n]*|"
                            " *\"command_line\": \\[[^\\]]*\\],\n");
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().string();
    files[name] = std::regex_replace(ReadText(name), changing, "");
  }
  return files;
}

TEST_F(SubcommandsTest, FitIsTheRunOfTheControlFileItLeaves) {
  CopyExamples();
  const auto fit = RunVorn({"fit", "--tree", "mammals.nwk", "--data", "families.tsv", "--prefix", "out/fam",
                            "--seed", "11", "--starts", "2"});
  ASSERT_EQ(fit.status, 0) << fit.err;
  EXPECT_EQ(fit.out, "");  // progress and summary go to stderr
  EXPECT_FALSE(testing_support::FileExists("done.txt"));  // the control-file path's marker alone
  // 290 rows of the table are 0 or NA at every leaf (counted with a script from the table).
  EXPECT_EQ(fit.err.rfind("condition on presence: off (auto: 290 of the 1300 sites show the character at no leaf)\n",
                          0), 0U) << fit.err;
  EXPECT_NE(fit.err.find("repeat with: vorn --seed 11 out/fam.input.txt\n"), std::string::npos);
  const std::string results = ReadText("out/fam.results.json");
  EXPECT_NE(results.find("\"command_line\": [\n    \"vorn\",\n    \"fit\",\n    \"--tree\",\n    \"mammals.nwk\","),
            std::string::npos);
  // The control file: the 52 lines of the examples (checked by hand against families.input.txt)
  // with the recommended settings after them.
  const std::string control = ReadText("out/fam.input.txt");
  const std::size_t tail = control.find("% Written by vorn fit");
  ASSERT_NE(tail, std::string::npos);
  EXPECT_EQ(std::count(control.begin(), control.begin() + tail, '\n'), 52);
  EXPECT_NE(control.find("tree: mammals.nwk newick\n"), std::string::npos);
  EXPECT_NE(control.find("source: table families.tsv\n"), std::string::npos);
  EXPECT_EQ(control.substr(tail),
            "% Written by vorn fit: vorn fit --tree mammals.nwk --data families.tsv --prefix out/fam --seed 11 "
            "--starts 2\n% Repeat the run with: vorn --seed 11 out/fam.input.txt\n"
            "optimizer: fast\nstarts: 2\nsearch: screen\ncondition on presence: off\nstandard errors: off\n"
            "family posteriors: on\n");

  const std::map<std::string, std::string> fitted = Outputs("out");
  const auto again = RunVorn({"--seed", "11", "out/fam.input.txt"});
  ASSERT_EQ(again.status, 0) << again.err;
  const std::map<std::string, std::string> repeated = Outputs("out");
  EXPECT_EQ(fitted.size(), 18U);  // with families.tsv and family_events.tsv
  EXPECT_EQ(repeated.size(), fitted.size());
  for (const auto& [name, text] : fitted) {
    SCOPED_TRACE(name);
    ASSERT_EQ(repeated.count(name), 1U);
    EXPECT_TRUE(text == repeated.at(name));
  }
}

TEST_F(SubcommandsTest, FitRefusesWhatItCannotRunAndKeepsAResearchersFiles) {
  CopyExamples();
  // A control file of the same name that vorn fit did not write is never replaced.
  WriteText("families.input.txt", "my own\n");
  auto run = RunVorn({"fit", "--tree", "mammals.nwk", "--data", "families.tsv"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Error:VORN:Main: The file 'families.input.txt' exists and was not written by vorn fit; it is "
                     "left as it is: give another --prefix\n");
  EXPECT_EQ(ReadText("families.input.txt"), "my own\n");
  run = RunVorn({"fit", "--tree", "none.nwk", "--data", "families.tsv"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("Error:VORN:Main: The tree file 'none.nwk' cannot be found from the working directory ", 0),
            0U);
  // A table the reader refuses leaves no control file: the error is the reader's own line.
  WriteText("bad.tsv", "family\thuman\tmouse\nF1\t1\t0\n");
  run = RunVorn({"fit", "--tree", "mammals.nwk", "--data", "bad.tsv"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("Error:VORN:ReadInput:"), std::string::npos) << run.err;
  EXPECT_FALSE(testing_support::FileExists("bad.input.txt"));
}

TEST_F(SubcommandsTest, AutoConditionsOnPresenceWhenEverySiteShowsTheCharacter) {
  WriteText("t.nwk", "((A:0.1,B:0.1):0.1,(C:0.15,D:0.15):0.05);\n");
  WriteText("d.tsv", "family\tA\tB\tC\tD\nF1\t1\t0\t0\t0\nF2\t1\t1\t0\t1\nF3\t0\t0\t2\t0\nF4\t0\tNA\t1\t1\n");
  const auto run = RunVorn({"fit", "--tree", "t.nwk", "--data", "d.tsv", "--seed", "3", "--starts", "1"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err.rfind("condition on presence: on (auto: every one of the 4 sites shows the character at some "
                          "leaf)\n", 0), 0U) << run.err;
  EXPECT_NE(ReadText("d.input.txt").find("\ncondition on presence: on\n"), std::string::npos);
  const auto given = RunVorn({"fit", "--tree", "t.nwk", "--data", "d.tsv", "--prefix", "off", "--seed", "3",
                              "--starts", "1", "--condition-on-presence", "off", "--fix", "g-lambda=inf",
                              "--standard-errors", "--threads", "2"});
  ASSERT_EQ(given.status, 0) << given.err;
  EXPECT_EQ(given.err.find("auto"), std::string::npos);
  const std::string control = ReadText("off.input.txt");
  EXPECT_NE(control.find("\ncondition on presence: off\n"), std::string::npos);
  EXPECT_NE(control.find("\ng-lambda: fix inf\n"), std::string::npos);
  EXPECT_NE(control.find("\nstandard errors: on\n"), std::string::npos);
  EXPECT_TRUE(testing_support::FileExists("off.uncertainty.tsv"));
}

TEST_F(SubcommandsTest, CheckPrintsWhatAFitWouldSeeAndWritesNothing) {
  CopyExamples();
  const auto check = RunVorn({"check", "--tree", "mammals.nwk", "--data", "families.tsv"});
  ASSERT_EQ(check.status, 0) << check.err;
  EXPECT_EQ(check.err, "");
  // The counts from the table by a script: 1300 rows, 232 with 0 at every leaf, 290 with 0 or NA.
  EXPECT_EQ(check.out,
            "reading and processing input file\n"
            "tree: mammals.nwk, 8 leaves, 15 nodes; unit Gy (the default); depth 0.096 units = 96 million years\n"
            "data: families.tsv, 8 leaves matched to the tree's 8, 3 genes, 1300 sites (1300 after the filter of "
            "unknowns), 246 distinct patterns\n"
            "  gene olfactory: 600 sites\n  gene immune: 400 sites\n  gene housekeeping: 300 sites\n"
            "sites absent at every leaf: 232; showing the character at no leaf: 290\n"
            "vorn fit would condition on presence: off (--condition-on-presence auto)\n"
            "warnings: 0\n");
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(".")) files.push_back(entry.path().filename());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"families.tsv", "mammals.nwk"}));
  // A leaf without a column is what a fit refuses: exit 1, the reader's line, nothing written.
  WriteText("seven.tsv", ReadText("families.tsv").substr(0, 0) +
                             "family\tchimpanzee\tdog\tgorilla\thuman\tmacaque\tmouse\torangutan\nF1\t1\t0\t0\t1\t1\t0\t1\n");
  const auto refused = RunVorn({"check", "--tree", "mammals.nwk", "--data", "seven.tsv"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("Error:VORN:ReadInput:"), std::string::npos) << refused.err;
  const auto pruned =
      RunVorn({"check", "--tree", "mammals.nwk", "--data", "seven.tsv", "--leaves-without-data", "prune"});
  EXPECT_EQ(pruned.status, 0) << pruned.err;
  EXPECT_NE(pruned.out.find("7 leaves matched to the tree's 7"), std::string::npos) << pruned.out;
  EXPECT_NE(pruned.out.find("warnings: 1\n  leaves-pruned: "), std::string::npos) << pruned.out;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), std::filesystem::directory_iterator()), 3);
}

// The number after `key` in a report.
double NumberAfter(const std::string& text, const std::string& key) {
  const std::size_t at = text.find(key);
  EXPECT_NE(at, std::string::npos) << key;
  return at == std::string::npos ? 0 : std::stod(text.substr(at + key.size()));
}

TEST_F(SubcommandsTest, SimulateFromAFittedModelGivesDataThatFitBackToIt) {
  CopyExamples();
  ASSERT_EQ(RunVorn({"fit", "--tree", "mammals.nwk", "--data", "families.tsv", "--seed", "5", "--starts", "2"}).status,
            0);
  const auto sim = RunVorn({"simulate", "--tree", "mammals.nwk", "--model", "families.results.json", "--sites",
                            "5000", "--seed", "6", "--prefix", "big"});
  ASSERT_EQ(sim.status, 0) << sim.err;
  EXPECT_EQ(sim.out, "");
  EXPECT_NE(ReadText("big.simulate.txt").find("\nsimulated rates: categories\n"), std::string::npos);
  const auto refit = RunVorn({"fit", "--tree", "mammals.nwk", "--data", "big.wp.txt", "--seed", "7", "--starts", "2",
                              "--condition-on-presence", "off"});
  ASSERT_EQ(refit.status, 0) << refit.err;
  const std::string model = ReadText("families.output.txt"), back = ReadText("big.output.txt");
  ASSERT_NE(back.find("theta ["), std::string::npos);
  // 15000 sites against the table's 1300. p0 and the gain rates eta are pinned down by the data
  // (their intervals at 1300 sites are about +-0.03 and +-15 %); theta is not compared, as it
  // trades off with every phi and the loss shape along a flat ridge of this short-branched tree.
  EXPECT_NEAR(NumberAfter(back, "\np0 [0 1]:"), NumberAfter(model, "\np0 [0 1]:"), 0.05);
  for (int g = 0; g < 3; ++g) {
    const std::string fitted = "gene #" + std::to_string(g) + " (";
    const std::string simulated = fitted + "gene_#" + std::to_string(g) + "): ";  // the simulation's names
    const std::string fromModel = model.substr(model.find("\neta ["));
    const double value = NumberAfter(fromModel, fromModel.substr(fromModel.find(fitted), fromModel.find("): ",
                                     fromModel.find(fitted)) + 3 - fromModel.find(fitted)));
    EXPECT_NEAR(NumberAfter(back.substr(back.find("\neta [")), simulated), value, 0.25 * value) << g;
  }
  // A model fitted on another tree is refused.
  WriteText("other.nwk", "((A:0.1,B:0.1):0.1,(C:0.15,D:0.15):0.05);\n");
  const auto wrong = RunVorn({"simulate", "--tree", "other.nwk", "--model", "families.results.json", "--sites", "5"});
  EXPECT_EQ(wrong.status, 1);
  EXPECT_EQ(wrong.err, "Error:VORN:Main: The tree 'other.nwk' has 7 nodes and the model of 'families.results.json' "
                       "was fitted on a tree of 15: give that tree with --tree\n");
}

TEST_F(SubcommandsTest, ReplicatesGetNumberedPrefixesAndSeedsOfTheirOwn) {
  CopyExamples();
  const auto sim = RunVorn({"simulate", "--tree", "mammals.nwk", "--set", "p0=0.5", "theta=0.8,1.2", "xi=0.4",
                            "g-lambda=inf", "--genes", "2", "--sites", "50", "--replicates", "2", "--seed", "9",
                            "--prefix", "reps/r"});
  ASSERT_EQ(sim.status, 0) << sim.err;
  const std::string first = ReadText("reps/r_1.simulate.txt"), second = ReadText("reps/r_2.simulate.txt");
  // The values given and the defaults of examples/simulate.input.txt, on the model lines.
  EXPECT_NE(first.find("\nMODEL PARAMETERS\np0: fix 0.5\ntheta: fix 0.80000000000000004 1.2\nphi: con 0.05\n"
                       "eta: con 4\nxi: con 0.4\nnu: fix 0.3\nminimal l-lambda value: 0.05\n"
                       "minimal g-lambda value: 0.06\nl-lambda: fix inf\ng-lambda: fix inf\n"),
            std::string::npos) << first;
  EXPECT_NE(first.find("\nmaximum # iterations: 0\n"), std::string::npos);
  const std::regex seedLine("Repeat the run with: vorn --seed ([0-9]+) ");
  std::smatch a, b;
  ASSERT_TRUE(std::regex_search(first, a, seedLine));
  ASSERT_TRUE(std::regex_search(second, b, seedLine));
  EXPECT_NE(a[1].str(), b[1].str());
  EXPECT_NE(ReadText("reps/r_1.wp.txt") + ReadText("reps/r_1.ngp.txt"),
            ReadText("reps/r_2.wp.txt") + ReadText("reps/r_2.ngp.txt"));
  // Each replicate's control file repeats it with its seed.
  const std::string data = ReadText("reps/r_2.wp.txt") + ReadText("reps/r_2.ngp.txt");
  ASSERT_EQ(RunVorn({"--seed", b[1].str().c_str(), "reps/r_2.simulate.txt"}).status, 0);
  EXPECT_EQ(ReadText("reps/r_2.wp.txt") + ReadText("reps/r_2.ngp.txt"), data);
  // The same command line and seed give the same data sets.
  ASSERT_EQ(RunVorn({"simulate", "--tree", "mammals.nwk", "--set", "p0=0.5", "theta=0.8,1.2", "xi=0.4",
                     "g-lambda=inf", "--genes", "2", "--sites", "50", "--replicates", "2", "--seed", "9", "--prefix",
                     "again/r"}).status, 0);
  EXPECT_EQ(ReadText("again/r_1.wp.txt"), ReadText("reps/r_1.wp.txt"));
  const auto list = RunVorn({"simulate", "--tree", "mammals.nwk", "--set", "theta=1,2,3", "--sites", "5"});
  EXPECT_EQ(list.status, 1);
  EXPECT_EQ(list.err, "Error:VORN:Main: --set theta=1,2,3: a list needs one value per gene (--genes)\n");
}

}  // namespace
}  // namespace vorn
