#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver/run_program.h"
#include "estimation/e_step.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::FileExists;
using testing_support::ReadText;
using testing_support::WriteText;

// Random valid runs, end to end: trees of 2 to 40 leaves in all three forms, random pattern files
// with unknown values (or simulated data), random mixes of estimated and fixed parameters and of
// initialization modes, 1 to 8 categories, a few iterations. Every run must complete and leave a
// complete report and histories in which every value is a number. Each run goes through
// RunProgram in a child process (EXPECT_EXIT), so that a crash is reported with its control file.
// VORN_STRESS_RUNS (250, about 4 s) asks for more or fewer runs, VORN_STRESS_FIRST starts at
// another run number, so that a failing run can be repeated alone.
class Case {
 public:
  explicit Case(std::uint32_t seed) : random_(seed) {}
  int ancestralMode = 0;  // line 42: off, on, detailed

  // Writes the control file "run.txt" and the files it names into the working directory.
  void Write() {
    leaves_ = Uniform(2, 40);
    nodes_ = 2 * leaves_ - 1;
    simulate_ = Chance(0.2);
    genes_ = Uniform(1, 3);
    const int form = Uniform(0, 2);
    Add(Chance(0.5) ? "PHYLOGENETIC TREE\ntime units: M" : "PHYLOGENETIC TREE\ntime units: Ma");
    if (form == 0) {
      Add({"tree: rand\nnumber of leaves: " + std::to_string(leaves_), "total time span: " + Number(Real(10, 900))});
    } else {
      WriteText("tree.txt", Tree(form == 1));
      Add({form == 1 ? "tree: tree.txt phyl" : "tree: tree.txt newick", "number of leaves: 0\ntotal time span: 0"});
    }
    if (simulate_) {  // the elements of a braced list are evaluated in order: the draws keep theirs
      Add({"\nALIGNMENT DATA\nsource: sim\nnumber of genes: " + std::to_string(genes_),
           "number of sites: const " + std::to_string(Uniform(10, 40)), "fraction of unknowns: " + Number(Real(0, 0.2)),
           Chance(0.5) ? "track numbers of present characters: on" : "track numbers of present characters: off"});
    } else {
      WritePatternFiles();
      Add({"\nALIGNMENT DATA\nsource: pat data.wp.txt data.ngp.txt\nnumber of genes: 1\nnumber of sites: const 1",
           "fraction of unknowns: 0\ntrack numbers of present characters: off"});
    }
    // A threshold of 0 would remove every site, and data without sites cannot start p0 or nu.
    Add(Chance(0.7) ? "filter unknowns: none" : "filter unknowns: ukf " + Number(Real(0.3, 1)));
    Add("p0: 0.9\ntheta: 1\nphi: 0.4 1\neta: 1.5\nxi: 0.4 1.5\nnu: 0.7\nl-lambda: 1\ng-lambda: 1");
    Add(Chance(0.5) ? "\nMODEL PARAMETERS\np0: est" : "\nMODEL PARAMETERS\np0: fix " + Number(Real(0.05, 0.95)));
    EntryLine("theta", false, 0.05, 3);
    EntryLine("phi", true, 0, 0.5);
    EntryLine("eta", false, 0.05, 4);
    EntryLine("xi", true, 0.01, 1);
    Add(Pick({"nu: est", "nu: est fix", "nu: fix " + Number(Real(0, 0.9))}));
    Add("minimal l-lambda value: 0.05\nminimal g-lambda value: 0.06");
    for (const std::string label : {"l-lambda", "g-lambda"}) {
      Add(label + Pick({": est", ": fix inf", ": fix " + Number(Real(0.1, 5))}));
    }
    Add({"\nCONTROL PARAMETERS\n# categories (loss distribution): " + std::to_string(Uniform(1, 8)),
         "# categories (gain distribution): " + std::to_string(Uniform(1, 8)),
         "likelihood tolerance: " + Number(Real(0, 1e-4)), "parameter tolerance: " + Number(Real(0, 1e-2)),
         "internal tolerance: " + Number(std::pow(10, -Real(4, 10))),
         "maximum # iterations: " + std::to_string(Uniform(1, 3))});
    const char* const ancestral[] = {"off", "on", "detailed"};
    ancestralMode = Uniform(0, 2);
    Add(std::string("ancestral reconstruction: ") + ancestral[ancestralMode] + "\n\nINITIALIZATION PARAMETERS");
    Add(Pick({"p0: observed 0.95", "p0: rand " + Number(Real(0, 0.99)), "p0: fix " + Number(Real(0.05, 0.95))}));
    for (const std::string label : {"theta", "phi", "eta", "xi"}) {
      const bool perNode = label == "phi" || label == "xi";
      const double high = label == "phi" ? 0.5 : label == "xi" ? 1 : 3;
      const int mode = Uniform(0, perNode ? 1 : 2);
      if (mode == 0) Add(label + (perNode ? ": dollo" : ": rand " + Number(Real(0.2, 3))));
      if (mode == 1) List(label + ": fix", perNode ? nodes_ : genes_, perNode ? 0 : 0.05, high);
      if (mode == 2) Add(label + ": con " + Number(Real(0.05, high)));
    }
    // Simulated data may hold no site that is fully known and shows the character; the observed
    // start of nu needs one.
    const std::string nu[] = {"observed 0.8", "rand " + Number(Real(0, 0.9)), "fix " + Number(Real(0, 0.9))};
    Add("nu: " + nu[Uniform(simulate_ ? 1 : 0, 2)]);
    for (const std::string label : {"l-lambda", "g-lambda"}) {
      Add(label + (Chance(0.5) ? ": rand " + Number(Real(0.2, 3)) : ": fixed " + Number(Real(0.1, 5))));
    }
    // Settings after the template: the other optimizer, several starts, and (on read data, where a
    // simulation could redraw sites without end) conditioning on presence.
    if (Chance(0.3)) Add("optimizer: fast");
    if (Chance(0.2)) Add("starts: " + std::to_string(Uniform(2, 3)));
    if (!simulate_ && Chance(0.3)) Add("condition on presence: on");
    WriteText("run.txt", text_);
  }

 private:
  int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  double Real(double low, double high) { return std::uniform_real_distribution<double>(low, high)(random_); }
  bool Chance(double p) { return Real(0, 1) < p; }
  std::string Pick(const std::vector<std::string>& choices) { return choices[Uniform(0, choices.size() - 1)]; }
  static std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
  }
  void Add(const std::string& lines) { text_ += lines + "\n"; }
  void Add(std::initializer_list<std::string> lines) {
    for (const std::string& line : lines) Add(line);
  }

  // A random binary topology with ages in millions of years (a branch of length 0 now and then),
  // written in the node/edge form, its node IDs shuffled so that the reader has to renumber, or
  // in the Newick form with some names left out.
  std::string Tree(bool phyl) {
    std::vector<int> open(leaves_), parent(nodes_, -1);
    std::vector<double> age(nodes_, 0.0);
    std::vector<std::string> newick(nodes_);
    for (int i = 0; i < leaves_; ++i) {
      open[i] = i;
      age[i] = Chance(0.1) ? Real(0, 5) : 0.0;
      newick[i] = Chance(0.2) ? "" : "t" + std::to_string(i);
    }
    for (int v = leaves_; v < nodes_; ++v) {
      const int a = Uniform(0, open.size() - 1), b = (a + Uniform(1, open.size() - 1)) % open.size();
      const int x = open[a], y = open[b];
      const bool root = v + 1 == nodes_;
      // The root is always older than its children: a tree of nothing but zero-length branches has
      // no time for rates to act on, and the reader refuses to estimate them there.
      age[v] = std::max(age[x], age[y]) + (Chance(0.05) && !root ? 0.0 : Real(1, 120));
      parent[x] = parent[y] = v;
      auto length = [&](int child) { return ":" + Number((age[v] - age[child]) / 1000); };
      newick[v] = "(" + newick[x] + length(x) + "," + newick[y] + length(y) + ")" + (Chance(0.3) ? "n" : "");
      open.erase(open.begin() + std::max(a, b));
      open.erase(open.begin() + std::min(a, b));
      open.push_back(v);
    }
    if (!phyl) return newick[nodes_ - 1] + ";\n";
    std::vector<int> id(nodes_);
    for (int v = 0; v < nodes_; ++v) id[v] = v + 1;
    std::shuffle(id.begin(), id.end(), random_);
    std::ostringstream text;
    text << nodes_ << " Nodes (ID name age):\n";
    for (int v = 0; v < nodes_; ++v) {
      text << id[v] << ": '" << (v < leaves_ ? "leaf " : "anc ") << v << "' " << Number(age[v]) << "\n";
    }
    text << "\nEdges (ID from to):\n";
    for (int v = 0, edge = 0; v < nodes_; ++v) {
      if (parent[v] >= 0) text << ++edge << ": " << id[parent[v]] << " " << id[v] << "\n";
    }
    return text.str();
  }

  // Distinct patterns with unknown values; the first is fully known and shows the character, so
  // that the observed starts of p0 and nu always have data. Some genes may have no site at all.
  void WritePatternFiles() {
    const double unknown = Real(0, 0.3), present = Real(0.2, 0.8);
    std::set<std::string> seen;
    std::string wp, ngp;
    const int wanted = Uniform(1, 20);
    for (int attempt = 0; attempt < 200 && static_cast<int>(seen.size()) < wanted; ++attempt) {
      std::string pattern;
      for (int j = 0; j < leaves_; ++j) {
        const bool hidden = !seen.empty() && Chance(unknown);
        pattern += hidden ? "2 " : (seen.empty() && j == 0) || Chance(present) ? "1 " : "0 ";
      }
      if (seen.insert(pattern).second) wp += pattern + "\n";
    }
    for (int g = 0; g < genes_; ++g) {
      ngp += "gene" + std::to_string(g);
      for (std::size_t p = 0; p < seen.size(); ++p) {
        ngp += " " + std::to_string(g + p > 0 && Chance(0.3) ? 0 : Uniform(1, 30));
      }
      ngp += "\n";
    }
    WriteText("data.wp.txt", wp);
    WriteText("data.ngp.txt", ngp);
  }

  // "label: mode v1 ... v10", then ten values a line.
  void List(const std::string& head, int count, double low, double high) {
    std::string line = head;
    for (int i = 0; i < count; ++i) line += (i > 0 && i % 10 == 0 ? "\n" : " ") + Number(Real(low, high));
    Add(line);
  }

  // theta and eta (per gene) or phi and xi (per node, the root's value read and dropped); the
  // pairs of "mix" end with "%", sometimes a line later.
  void EntryLine(const std::string& label, bool perNode, double low, double high) {
    const int count = perNode ? nodes_ : genes_;
    switch (Uniform(0, 3)) {
      case 0: Add(label + ": est"); break;
      case 1: Chance(0.2) ? Add(label + ": fix rand") : List(label + ": fix", count, low, high); break;
      case 2: Add(label + ": con " + Number(Real(low, high))); break;
      default: {
        std::string line = label + ": mix";
        for (int i = Uniform(0, 3); i > 0; --i) {
          line += " " + std::to_string(Uniform(perNode ? 1 : 0, count - 1)) + " " + Number(Real(low, high));
          if (Chance(0.3)) line += "\n";
        }
        Add(line + " %");
      }
    }
  }

  std::mt19937 random_;
  std::string text_;
  int leaves_ = 0, nodes_ = 0, genes_ = 0;
  bool simulate_ = false;
};

// A value that is not a number, printed by printf ("nan", "-nan", "inf", "-inf"), standing alone.
bool HoldsNonNumber(const std::string& text) {
  static const std::regex nonNumber("(^|[^A-Za-z])-?(nan|inf)([^A-Za-z]|$)", std::regex::icase);
  return std::regex_search(text, nonNumber);
}

// What a completed run leaves: a whole report and histories in which every value is a number.
void CheckCompletedRun(int ancestralMode) {
  std::string report = ReadText("run.output.txt");
  EXPECT_NE(report.find("ETA-XI invariant "), std::string::npos) << "report ends early";
  EXPECT_EQ(report.find("% Ancestral reconstruction:") != std::string::npos, ancestralMode != 0);
  EXPECT_TRUE(ancestralMode != 2 || ReadText("run.ar.txt").find("account on events") != std::string::npos);
  // A shape of 0 is no rate variation, printed as "inf" in the fixed parameters: the one place
  // where the word may stand.
  EXPECT_FALSE(HoldsNonNumber(std::regex_replace(report, std::regex("-lambda:\n\tinf\n"), ""))) << report;
  // Every step climbs, within a start (each start begins anew from its own values), to 1e-8.
  std::istringstream table(ReadText("run.history.tsv"));
  std::string row, previousStart;
  std::getline(table, row);  // the header
  double previous = -HUGE_VAL;
  for (int r = 1; std::getline(table, row); ++r) {  // iteration, step, log_likelihood, largest_change, start
    const double logLikelihood = std::strtod(row.c_str() + row.find('\t', row.find('\t') + 1) + 1, nullptr);
    const std::string start = row.substr(row.rfind('\t') + 1);
    if (start != previousStart) previous = -HUGE_VAL;
    EXPECT_GE(logLikelihood, previous - 1e-8 * std::abs(previous)) << "history.tsv row " << r << " falls: " << row;
    previous = logLikelihood;
    previousStart = start;
  }
  EXPECT_NE(ReadText("run.history.likelihood.txt"), "");
  for (const char* name : {"likelihood", "p0", "theta", "phi", "eta", "xi", "nu", "llambda", "glambda"}) {
    EXPECT_FALSE(HoldsNonNumber(ReadText(std::string("run.history.") + name + ".txt"))) << name;
  }
}

int EnvironmentNumber(const char* name, int otherwise) {
  const char* asked = std::getenv(name);
  return asked ? std::atoi(asked) : otherwise;
}

// The child's side of one run: the whole program on `control`, its messages in "run.stderr".
[[noreturn]] void RunAndExit(int run, const char* control = "run.txt", const char* threads = "1") {
  std::freopen("/dev/null", "w", stdout);
  std::freopen("run.stderr", "w", stderr);
  const std::string seed = std::to_string(1000 + run);
  const char* args[] = {"vorn", "--seed", seed.c_str(), "--threads", threads, control};
  std::exit(RunProgram(6, args));
}

int childStatus = 0;  // of the last child, as the parent sees it

// Death-test suite name: every run forks, and gtest runs such suites first.
TEST(PipelineStressDeathTest, RandomValidRunsComplete) {
  const int first = EnvironmentNumber("VORN_STRESS_FIRST", 0), runs = EnvironmentNumber("VORN_STRESS_RUNS", 250);
  const std::string cannotStart = "Error:VORN:EM:Run: The log-likelihood of the initial parameters is -inf: ";
  // Conditioning on presence drops the sites where no leaf shows the character: random data may have
  // none left.
  const std::string noSiteLeft = "Error:VORN:EM:Run: No site is left";
  int refused = 0;
  for (int run = first; run < first + runs && !HasFailure(); ++run) {
    testing_support::TempDir dir;
    testing_support::ScopedChdir chdir(dir.path());
    Case c(static_cast<std::uint32_t>(run));
    c.Write();
    SCOPED_TRACE("run " + std::to_string(run) + " (its files: VORN_STRESS_FIRST=" + std::to_string(run) +
                 " VORN_STRESS_RUNS=1):\n" + ReadText("run.txt"));
    EXPECT_EXIT(RunAndExit(run), [](int status) {
      childStatus = status;
      return true;
    }, "");
    // Warnings may come and go; an error line is either the refusal, as the last line, or a fault.
    const std::string errors = ReadText("run.stderr");
    const std::size_t at = errors.find("Error");
    const bool exited = WIFEXITED(childStatus);
    if (exited && WEXITSTATUS(childStatus) == 0 && at == std::string::npos) {
      EXPECT_TRUE(FileExists("done.txt"));
      CheckCompletedRun(c.ancestralMode);
      // Every tenth run again on three threads (each given its share however small the problem):
      // the same bytes in every file of the fit, the report but for its running time and its name.
      if (run % 10 == 0) {
        WriteText("threads.txt", ReadText("run.txt"));
        EXPECT_EXIT(RunAndExit(run, "threads.txt", "3"), testing::ExitedWithCode(0), "");
        const std::regex time("total running time: [^\n]*");
        for (const char* file : {".history.likelihood.txt", ".history.p0.txt", ".history.theta.txt", ".history.phi.txt",
                                 ".history.eta.txt", ".history.xi.txt", ".history.nu.txt", ".history.llambda.txt",
                                 ".history.glambda.txt", ".history.tsv", ".branches.tsv", ".ar.txt", ".output.txt"}) {
          const std::string threaded = std::regex_replace(ReadText(std::string("threads") + file), time, "");
          EXPECT_EQ(std::regex_replace(threaded, std::regex("threads\\."), "run."),
                    std::regex_replace(ReadText(std::string("run") + file), time, "")) << file;
        }
      }
    } else if (exited && WEXITSTATUS(childStatus) == 1 && errors.find('\n', at) + 1 == errors.size() &&
               (errors.compare(at, cannotStart.size(), cannotStart) == 0 || errors.compare(at, noSiteLeft.size(), noSiteLeft) == 0)) {
      EXPECT_FALSE(FileExists("done.txt"));
      ++refused;
    } else {
      ADD_FAILURE() << "run ended with status " << childStatus << ":\n" << errors;
    }
  }
  std::printf("%d of %d runs refused their start\n", refused, runs);
}

}  // namespace
}  // namespace vorn
