// The subcommands' options on CLI11, and the checks of their values.
#include "driver/subcommand_lines.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <cstdio>
#include <string_view>

#include "data/text_io.h"
#include "driver/command_line.h"
#include "driver/control_text.h"
#include "input/input_reader.h"

namespace vorn {
namespace {

// Edit distance of two option names, to name the option a mistyped one was meant to be.
std::size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

// " (did you mean --tree-unit?)" for a name within three edits of an option; "" otherwise.
std::string Suggestion(const CLI::App& app, const std::string& name) {
  std::string best;
  std::size_t bestDistance = 4;
  for (const CLI::Option* option : app.get_options()) {
    for (const std::string& known : option->get_lnames()) {
      const std::size_t distance = Distance(name, known);
      if (distance < bestDistance) bestDistance = distance, best = known;
    }
  }
  return best.empty() ? "" : " (did you mean --" + best + "?)";
}

// An unknown option is named before anything else is said about the line (CLI11 would first
// report a required option its misspelling left out). A negative number is a value, not an option.
bool KnownOptions(const CLI::App& app, int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--") return true;
    if (argument.size() < 2 || argument[0] != '-' || std::isdigit(static_cast<unsigned char>(argument[1]))) continue;
    const std::string option = argument.substr(0, argument.find('='));
    if (app.get_option_no_throw(option)) continue;
    const std::string name = option.substr(option.find_first_not_of('-'));
    std::fprintf(stderr, "Error:VORN:Main: %s: unknown option '%s'%s; '%s --help' lists the options\n",
                 app.get_name().c_str(), option.c_str(), Suggestion(app, name).c_str(), app.get_name().c_str());
    return false;
  }
  return true;
}

LineOutcome Parse(CLI::App& app, int argc, const char* const* argv) {
  if (!KnownOptions(app, argc, argv)) return LineOutcome::kRefused;
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return LineOutcome::kHelped;
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "Error:VORN:Main: %s: %s; '%s --help' lists the options\n", app.get_name().c_str(),
                 error.what(), app.get_name().c_str());
    return LineOutcome::kRefused;
  }
  return LineOutcome::kRun;
}

void Setup(CLI::App& app, const char* footer) {
  app.footer(footer);
  app.get_formatter()->column_width(36);
}

bool Refuse(const char* option, const std::string& value, const char* expected) {
  std::fprintf(stderr, "Error:VORN:Main: %s takes %s, not '%s'\n", option, expected, value.c_str());
  return false;
}

bool CheckWord(const char* option, const std::string& value, std::initializer_list<const char*> words,
               const char* expected) {
  for (const char* word : words) {
    if (value == word) return true;
  }
  return Refuse(option, value, expected);
}

bool ParseWhole(const char* option, const std::string& value, std::uint32_t low, std::uint32_t high,
                std::uint32_t* number) {
  unsigned long long parsed = 0;
  if (!ParseUnsigned(value, high, &parsed) || parsed < low) {
    const std::string expected = "a whole number from " + std::to_string(low) + " to " + std::to_string(high);
    return Refuse(option, value, expected.c_str());
  }
  *number = static_cast<std::uint32_t>(parsed);
  return true;
}

bool CheckReading(const ReadingChoices& reading) {
  return reading.leavesWithoutData.empty() ||
         CheckWord("--leaves-without-data", reading.leavesWithoutData, {"error", "unknown", "prune"},
                   "error, unknown or prune");
}

void AddReading(CLI::App& app, ReadingChoices* reading) {
  app.add_option("--tree", reading->tree, "the rooted binary tree: Newick, NEXUS or phyl (*.phyl)")
      ->required()
      ->type_name("FILE");
  app.add_option("--data", reading->data,
                 "the table (TSV, CSV, FASTA or PHYLIP) of presence/absence or counts; or NAME.wp.txt, with "
                 "NAME.ngp.txt beside it")
      ->required()
      ->type_name("FILE");
  app.add_option("--tree-unit", reading->treeUnit,
                 "one unit of the tree's branch lengths: My, 100My (MCMCTree), Gy or a number of My [default: Gy]")
      ->type_name("UNIT");
  app.add_option("--gene-column", reading->geneColumn,
                 "the table column that groups the rows into genes [default: a column headed gene]")
      ->type_name("NAME");
  app.add_option("--leaves-without-data", reading->leavesWithoutData,
                 "a leaf without a column: error, unknown or prune [default: error]")
      ->type_name("RULE");
}

// NAME=VALUE of --fix: the value as the model line takes it, checked against the family's range.
bool FixedMode(const std::string& assignment, std::string modes[8]) {
  const std::size_t equals = assignment.find('=');
  const FamilyLine* family = equals == std::string::npos ? nullptr : FindFamily(assignment.substr(0, equals));
  if (!family) return Refuse("--fix", assignment, "NAME=VALUE, NAME one of p0 theta phi eta xi nu l-lambda g-lambda");
  const std::string value = assignment.substr(equals + 1);
  double number = 0;
  const bool shape = family->kind == FamilyKind::kShape;
  const bool probability = family->kind == FamilyKind::kProbability || family->kind == FamilyKind::kBranchProbability;
  const bool ok = (shape && value == "inf") ||
                  (ParseDouble(value, &number) && number >= 0 && (!probability || number <= 1) && (!shape || number > 0));
  if (!ok) {
    const char* expected = shape         ? "a shape above 0 or inf (no rate variation) after the name"
                           : probability ? "a probability from 0 to 1 after the name"
                                         : "a rate of 0 or more after the name";
    return Refuse("--fix", assignment, expected);
  }
  const bool perEntry = family->kind == FamilyKind::kGeneRate || family->kind == FamilyKind::kBranchProbability;
  modes[&*family - kFamilyLines] = (perEntry ? "con " : "fix ") + value;
  return true;
}

bool CheckFitLine(FitLine* line, const std::vector<std::string>& estimate, const std::vector<std::string>& fix,
                  const std::string& categories, const std::string& starts, const std::string& seed,
                  const std::string& threads) {
  if (!CheckReading(line->reading) ||
      !CheckWord("--condition-on-presence", line->conditionOnPresence, {"auto", "on", "off"}, "auto, on or off")) {
    return false;
  }
  for (const std::string& assignment : fix) {
    if (!FixedMode(assignment, line->modes)) return false;
  }
  for (const std::string& name : estimate) {
    const FamilyLine* family = FindFamily(name);
    if (!family) return Refuse("--estimate", name, "one of p0 theta phi eta xi nu l-lambda g-lambda");
    if (line->modes[family - kFamilyLines] != "est") {
      std::fprintf(stderr, "Error:VORN:Main: %s is both estimated (--estimate) and fixed (--fix)\n", name.c_str());
      return false;
    }
  }
  const std::size_t comma = categories.find(',');
  if (comma == std::string::npos ||
      !ParseWhole("--categories", categories.substr(0, comma), 1, kMaxCategories, &line->lossCategories) ||
      !ParseWhole("--categories", categories.substr(comma + 1), 1, kMaxCategories, &line->gainCategories)) {
    if (comma == std::string::npos) Refuse("--categories", categories, "LOSS,GAIN, two whole numbers such as 4,5");
    return false;
  }
  double threshold = 0;
  if (!line->eventThreshold.empty() &&
      !(ParseDouble(line->eventThreshold, &threshold) && threshold >= 0 && threshold <= 1)) {
    return Refuse("--event-threshold", line->eventThreshold, "a probability from 0 to 1");
  }
  std::uint32_t seedValue = 0;
  if (!seed.empty() && !ParseSeed(seed, &seedValue)) return false;
  if (!seed.empty()) line->seed = seedValue;
  return ParseWhole("--starts", starts, 1, 1000, &line->starts) && ParseThreads(threads, &line->threads);
}

}  // namespace

LineOutcome ParseFitLine(int argc, const char* const* argv, FitLine* line) {
  CLI::App app("Fits the model of gain and loss to a table and a tree with the settings the README recommends\n"
               "for real data: the fast optimizer, 8 starts screened, ancestral reconstruction and family posteriors on.\n",
               "vorn fit");
  Setup(app,
        "Writes PREFIX.input.txt, the control file it ran (vorn --seed N PREFIX.input.txt repeats the run),\n"
        "and PREFIX.output.txt, .results.json, .branches.tsv, .tree.nwk, .tree.svg, the histories, and\n"
        "per site .families.tsv and .family_events.tsv (which families were gained and lost where).\n"
        "Progress and the summary go to stderr.\n\n"
        "Example:\n  vorn fit --tree examples/mammals.nwk --data examples/families.tsv --prefix results/families");
  AddReading(app, &line->reading);
  std::vector<std::string> estimate, fix;
  std::string categories = "4,5", starts = "8", seed, threads = "1";
  app.add_option("--prefix", line->prefix, "where the files go: PATH.output.txt ... [default: the data file's name]")
      ->type_name("PATH");
  app.add_option("--condition-on-presence", line->conditionOnPresence,
                 "auto, on or off; auto is on when every site shows the character at some leaf [default: auto]")
      ->type_name("MODE");
  app.add_option("--fix", fix, "hold a parameter family at a value: --fix nu=0.1 --fix g-lambda=inf")
      ->type_name("NAME=VALUE");
  app.add_option("--estimate", estimate, "estimate a family (every family is estimated unless fixed)")
      ->type_name("NAME");
  app.add_option("--categories", categories, "rate categories of the loss and gain distributions [default: 4,5]")
      ->type_name("LOSS,GAIN");
  app.add_option("--starts", starts, "starts of the screened search, 1 to 1000 [default: 8]")->type_name("N");
  app.add_flag("--standard-errors", line->standardErrors,
               "standard errors and 95 % intervals (PREFIX.uncertainty.tsv) [default: off]");
  app.add_option("--event-threshold", line->eventThreshold,
                 "list a site and branch in PREFIX.family_events.tsv when its gain or loss chance reaches P "
                 "[default: 0.05]")
      ->type_name("P");
  app.add_option("--threads", threads, "threads of the E-step, or auto; results do not change [default: 1]")
      ->type_name("N");
  app.add_option("--seed", seed, "seed of every random draw, 0 to 4294967295 [default: from the clock]")
      ->type_name("N");
  const LineOutcome outcome = Parse(app, argc, argv);
  if (outcome != LineOutcome::kRun) return outcome;
  return CheckFitLine(line, estimate, fix, categories, starts, seed, threads) ? LineOutcome::kRun
                                                                              : LineOutcome::kRefused;
}

LineOutcome ParseSimulateLine(int argc, const char* const* argv, SimulateLine* line) {
  CLI::App app("Simulates presence/absence data on a tree, from a fitted model as its results.json records it\n"
               "(the building block of a parametric bootstrap) or from values given.\n",
               "vorn simulate");
  Setup(app,
        "Writes PREFIX.wp.txt and PREFIX.ngp.txt (fit them with vorn fit --data PREFIX.wp.txt), the true model\n"
        "PREFIX_truemodel.m and PREFIX.simulate.txt, the control file it ran. With --replicates R the\n"
        "prefixes are PREFIX_1 ... PREFIX_R, each with a seed derived from the run's. Values not set take\n"
        "those of examples/simulate.input.txt: p0=0.6 theta=1 phi=0.05 eta=4 xi=0.5 nu=0.3 l-lambda=inf\n"
        "g-lambda=2. Progress goes to stderr.\n\n"
        "Examples:\n"
        "  vorn simulate --tree examples/mammals.nwk --model results/families.results.json --sites 1000\n"
        "  vorn simulate --tree examples/mammals.nwk --set p0=0.6 theta=0.8,1.2 --genes 2 --sites 500");
  std::string sites, genes, replicates = "1", seed;
  app.add_option("--tree", line->tree, "the tree to simulate on (for --model, the one fitted)")
      ->required()
      ->type_name("FILE");
  CLI::Option* model =
      app.add_option("--model", line->model, "a fit's PREFIX.results.json")->type_name("FILE");
  app.add_option("--set", line->set, "a value: p0=0.6, theta=1 or one per gene theta=0.8,1.2, g-lambda=inf")
      ->type_name("NAME=VALUE")
      ->excludes(model);
  app.add_option("--sites", sites, "sites per gene")->required()->type_name("N");
  app.add_option("--genes", genes, "genes [default: the model's, or 1]")->type_name("G");
  app.add_option("--replicates", replicates, "data sets, each with prefix PREFIX_k [default: 1]")->type_name("R");
  app.add_option("--prefix", line->prefix, "where the files go [default: simulated]")->type_name("PATH");
  app.add_option("--tree-unit", line->treeUnit, "one unit of the tree's branch lengths [default: the model's, or Gy]")
      ->type_name("UNIT");
  app.add_option("--seed", seed, "seed of every random draw [default: from the clock]")->type_name("N");
  const LineOutcome outcome = Parse(app, argc, argv);
  if (outcome != LineOutcome::kRun) return outcome;
  std::uint32_t number = 0, seedValue = 0;
  if (line->model.empty() && line->set.empty()) {
    std::fprintf(stderr, "Error:VORN:Main: simulate needs a model: --model PREFIX.results.json, or values with "
                         "--set NAME=VALUE\n");
    return LineOutcome::kRefused;
  }
  if (!ParseWhole("--sites", sites, 1, 100000000, &line->sites)) return LineOutcome::kRefused;
  if (!genes.empty()) {
    if (!ParseWhole("--genes", genes, 1, 1000000, &number)) return LineOutcome::kRefused;
    line->genes = number;
  }
  if (!ParseWhole("--replicates", replicates, 1, kMaxReplicates, &line->replicates)) return LineOutcome::kRefused;
  if (!seed.empty()) {
    if (!ParseSeed(seed, &seedValue)) return LineOutcome::kRefused;
    line->seed = seedValue;
  }
  return LineOutcome::kRun;
}

LineOutcome ParseCheckLine(int argc, const char* const* argv, CheckLine* line) {
  CLI::App app("Reads a table and a tree as vorn fit would and prints what a fit would see: leaves matched,\n"
               "columns skipped, genes, sites, sites absent everywhere, the tree's unit and depth, warnings.\n",
               "vorn check");
  Setup(app,
        "Writes no file: everything goes to stdout (vorn check ... | less), warnings also to stderr.\n"
        "Exits with status 1 on anything vorn fit would refuse.\n\n"
        "Example:\n  vorn check --tree examples/mammals.nwk --data examples/families.tsv");
  AddReading(app, &line->reading);
  const LineOutcome outcome = Parse(app, argc, argv);
  if (outcome != LineOutcome::kRun) return outcome;
  return CheckReading(line->reading) ? LineOutcome::kRun : LineOutcome::kRefused;
}

}  // namespace vorn
