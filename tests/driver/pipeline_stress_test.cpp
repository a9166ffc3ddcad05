#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver/run_program.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::FileExists;
using testing_support::ReadText;
using testing_support::WriteText;

// Random valid runs, end to end: trees of 2 to 40 leaves in all three forms, random pattern files
// with unknown values (or simulated data), random mixes of estimated and fixed parameters and of
// initialization modes, 1 to 8 categories, a few iterations. Every run must complete and leave a
// complete report and histories without a value that is not a number. The one refusal a valid
// control file may get is a start under which its data cannot occur (a Dollo start on branches
// of length 0); about one run in three thousand meets it.
//
// Each run goes through RunProgram in a child process (EXPECT_EXIT), so that a run that ends the
// process or crashes is reported with its control file instead of taking the suite down. 250
// runs take about 4 s in a release build.
constexpr int kDefaultRuns = 250;

class Case {
 public:
  explicit Case(std::uint32_t seed) : random_(seed) {}

  // Writes the control file "run.txt" and the files it names into the working directory.
  void Write() {
    leaves_ = Uniform(2, 40);
    nodes_ = 2 * leaves_ - 1;
    simulate_ = Chance(0.2);
    genes_ = Uniform(1, 3);
    lines_.clear();
    Add("PHYLOGENETIC TREE");
    Add(Chance(0.5) ? "time units: M" : "time units: Ma");
    const int form = Uniform(0, 2);
    if (form == 0) {
      Add("tree: rand");
      Add("number of leaves: " + std::to_string(leaves_));
      Add("total time span: " + Number(Real(10, 900)));
    } else {
      WriteText("tree.txt", form == 1 ? PhylTree() : NewickTree());
      Add(form == 1 ? "tree: tree.txt phyl" : "tree: tree.txt newick");
      Add("number of leaves: 0");
      Add("total time span: 0");
    }
    Add("");
    Add("ALIGNMENT DATA");
    if (simulate_) {
      Add("source: sim");
      Add("number of genes: " + std::to_string(genes_));
      Add("number of sites: const " + std::to_string(Uniform(10, 40)));
      Add("fraction of unknowns: " + Number(Real(0, 0.2)));
      Add(Chance(0.5) ? "track numbers of present characters: on" : "track numbers of present characters: off");
    } else {
      WritePatternFiles();
      Add("source: pat data.wp.txt data.ngp.txt");
      Add("number of genes: 1");
      Add("number of sites: const 1");
      Add("fraction of unknowns: 0");
      Add("track numbers of present characters: off");
    }
    // A threshold of 0 would remove every site, and data without sites cannot start p0 or nu.
    Add(Chance(0.7) ? "filter unknowns: none" : "filter unknowns: ukf " + Number(Real(0.3, 1)));
    for (const char* draw : {"p0: 0.9", "theta: 1", "phi: 0.4 1", "eta: 1.5", "xi: 0.4 1.5", "nu: 0.7",
                             "l-lambda: 1", "g-lambda: 1"}) {
      Add(draw);
    }
    Add("");
    Add("MODEL PARAMETERS");
    ModelSection();
    Add("");
    Add("CONTROL PARAMETERS");
    Add("# categories (loss distribution): " + std::to_string(Uniform(1, 8)));
    Add("# categories (gain distribution): " + std::to_string(Uniform(1, 8)));
    Add("likelihood tolerance: " + Number(Real(0, 1e-4)));
    Add("parameter tolerance: " + Number(Real(0, 1e-2)));
    Add("internal tolerance: " + Number(std::pow(10, -Real(4, 10))));
    Add("maximum # iterations: " + std::to_string(Uniform(1, 3)));
    const char* ancestral[] = {"off", "on", "detailed"};
    ancestralMode_ = Uniform(0, 2);
    Add(std::string("ancestral reconstruction: ") + ancestral[ancestralMode_]);
    Add("");
    Add("INITIALIZATION PARAMETERS");
    InitializationSection();
    // Settings after the template: the other optimizer, several starts, and (on read data, where a
    // simulation could redraw sites without end) conditioning on presence.
    if (Chance(0.3)) Add("optimizer: fast");
    if (Chance(0.2)) Add("starts: " + std::to_string(Uniform(2, 3)));
    if (!simulate_ && Chance(0.3)) Add("condition on presence: on");
    std::string text;
    for (const std::string& line : lines_) text += line + "\n";
    WriteText("run.txt", text);
  }

  const std::string& Describe() {
    description_ = ReadText("run.txt");
    for (const char* name : {"tree.txt", "data.wp.txt", "data.ngp.txt"}) {
      if (FileExists(name)) description_ += std::string("--- ") + name + "\n" + ReadText(name);
    }
    return description_;
  }

  int ancestralMode() const { return ancestralMode_; }

 private:
  int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  double Real(double low, double high) { return std::uniform_real_distribution<double>(low, high)(random_); }
  bool Chance(double p) { return Real(0, 1) < p; }
  static std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
  }
  void Add(const std::string& line) { lines_.push_back(line); }

  // A random binary topology: merges of two random subtrees, as (left, right) index pairs of the
  // merged subtrees; subtrees 0 ... L-1 are the leaves, L + k the k-th merge.
  std::vector<std::pair<int, int>> Topology() {
    std::vector<int> open(leaves_);
    for (int i = 0; i < leaves_; ++i) open[i] = i;
    std::vector<std::pair<int, int>> merges;
    while (open.size() > 1) {
      const int a = Uniform(0, static_cast<int>(open.size()) - 1);
      int b = Uniform(0, static_cast<int>(open.size()) - 2);
      if (b >= a) ++b;
      merges.emplace_back(open[a], open[b]);
      const int merged = leaves_ + static_cast<int>(merges.size()) - 1;
      open.erase(open.begin() + std::max(a, b));
      open.erase(open.begin() + std::min(a, b));
      open.push_back(merged);
    }
    return merges;
  }

  // Ages in millions of years, a branch of length 0 now and then, node IDs shuffled so that the
  // reader has to renumber, and quoted names with blanks.
  std::string PhylTree() {
    const std::vector<std::pair<int, int>> merges = Topology();
    std::vector<double> age(nodes_, 0.0);
    std::vector<int> parent(nodes_, -1);
    for (int i = 0; i < leaves_; ++i) age[i] = Chance(0.1) ? Real(0, 5) : 0.0;
    for (std::size_t k = 0; k < merges.size(); ++k) {
      const int v = leaves_ + static_cast<int>(k);
      const auto [a, b] = merges[k];
      // The root is always older than some leaf: a tree of nothing but zero-length branches has
      // no time for rates to act on, and the reader refuses to estimate them there.
      const bool root = k + 1 == merges.size();
      age[v] = std::max(age[a], age[b]) + (Chance(0.05) && !root ? 0.0 : Real(1, 120));
      parent[a] = parent[b] = v;
    }
    std::vector<int> id(nodes_);
    for (int v = 0; v < nodes_; ++v) id[v] = v + 1;
    std::shuffle(id.begin(), id.end(), random_);
    std::vector<int> byId(nodes_ + 1);
    for (int v = 0; v < nodes_; ++v) byId[id[v]] = v;
    std::ostringstream text;
    text << nodes_ << " Nodes (ID name age):\n";
    for (int i = 1; i <= nodes_; ++i) {
      const int v = byId[i];
      text << i << ": '" << (v < leaves_ ? "leaf " : "anc ") << v << "' " << Number(age[v]) << "\n";
    }
    text << "\nEdges (ID from to):\n";
    int edge = 0;
    for (int v = 0; v < nodes_; ++v) {
      if (parent[v] >= 0) text << ++edge << ": " << id[parent[v]] << " " << id[v] << "\n";
    }
    return text.str();
  }

  // Lengths in units of 1000 million years, not clock-like, some of them 0.
  std::string NewickTree() {
    const std::vector<std::pair<int, int>> merges = Topology();
    std::vector<std::string> text(nodes_);
    auto length = [this] { return ":" + Number(Chance(0.05) ? 0.0 : Real(0.001, 0.3)); };
    const auto positive = [this] { return ":" + Number(Real(0.001, 0.3)); };
    // Leaf 0 always has a branch of positive length (see PhylTree).
    for (int i = 0; i < leaves_; ++i) {
      text[i] = (Chance(0.2) ? std::string() : "t" + std::to_string(i)) + (i == 0 ? positive() : length());
    }
    for (std::size_t k = 0; k < merges.size(); ++k) {
      const int v = leaves_ + static_cast<int>(k);
      const bool root = k + 1 == merges.size();
      text[v] = "(" + text[merges[k].first] + "," + text[merges[k].second] + ")" +
                (Chance(0.3) ? "n" + std::to_string(v) : std::string()) + (root ? std::string() : length());
    }
    return text[nodes_ - 1] + ";\n";
  }

  // Distinct patterns with unknown values; the first is fully known and shows the character, so
  // that the observed starts of p0 and nu always have data. Some genes may have no site at all.
  void WritePatternFiles() {
    const double unknown = Real(0, 0.3), present = Real(0.2, 0.8);
    std::set<std::string> seen;
    std::vector<std::string> patterns;
    const int wanted = Uniform(1, 20);
    for (int attempt = 0; attempt < 200 && static_cast<int>(patterns.size()) < wanted; ++attempt) {
      std::string pattern;
      bool shown = false;
      for (int j = 0; j < leaves_; ++j) {
        char value = Chance(present) ? '1' : '0';
        if (!patterns.empty() && Chance(unknown)) value = '2';
        if (patterns.empty() && j == leaves_ - 1 && !shown) value = '1';
        shown = shown || value == '1';
        pattern += value;
      }
      if (seen.insert(pattern).second) patterns.push_back(pattern);
    }
    std::string wp, ngp;
    for (const std::string& pattern : patterns) {
      for (char value : pattern) wp += std::string(1, value) + " ";
      wp += "\n";
    }
    for (int g = 0; g < genes_; ++g) {
      ngp += "gene" + std::to_string(g);
      for (std::size_t p = 0; p < patterns.size(); ++p) {
        const int count = g == 0 && p == 0 ? Uniform(1, 30) : (Chance(0.3) ? 0 : Uniform(1, 30));
        ngp += " " + std::to_string(count);
      }
      ngp += "\n";
    }
    WriteText("data.wp.txt", wp);
    WriteText("data.ngp.txt", ngp);
  }

  // "label: mode v1 ... v10", then ten values a line.
  void List(const std::string& head, int count, double low, double high) {
    std::string line = head;
    for (int i = 0; i < count; ++i) {
      if (i > 0 && i % 10 == 0) {
        Add(line);
        line.clear();
      }
      line += (line.empty() ? "" : " ") + Number(Real(low, high));
    }
    Add(line);
  }

  // "label: mix i v i v ... %", the pairs spread over one or two lines.
  void Pairs(const std::string& head, int count, int first, double low, double high) {
    std::string line = head;
    const int pairs = Uniform(0, 3);
    for (int i = 0; i < pairs; ++i) {
      line += " " + std::to_string(Uniform(first, count - 1)) + " " + Number(Real(low, high));
      if (Chance(0.3)) {
        Add(line);
        line.clear();
      }
    }
    Add(line + (line.empty() ? "%" : " %"));
  }

  // theta and eta (per gene) or phi and xi (per node, the root's value read and dropped).
  void EntryLine(const std::string& label, bool perNode, double low, double high) {
    const int count = perNode ? nodes_ : genes_;
    switch (Uniform(0, 3)) {
      case 0: Add(label + ": est"); break;
      case 1:
        if (Chance(0.2)) {
          Add(label + ": fix rand");
        } else {
          List(label + ": fix", count, low, high);
        }
        break;
      case 2: Add(label + ": con " + Number(Real(low, high))); break;
      default: Pairs(label + ": mix", count, perNode ? 1 : 0, low, high);
    }
  }

  void ModelSection() {
    Add(Chance(0.5) ? "p0: est" : "p0: fix " + Number(Real(0.05, 0.95)));
    EntryLine("theta", false, 0.05, 3);
    EntryLine("phi", true, 0, 0.5);
    EntryLine("eta", false, 0.05, 4);
    EntryLine("xi", true, 0.01, 1);
    switch (Uniform(0, 2)) {
      case 0: Add("nu: est"); break;
      case 1: Add("nu: est fix"); break;
      default: Add("nu: fix " + Number(Real(0, 0.9)));
    }
    Add("minimal l-lambda value: 0.05");
    Add("minimal g-lambda value: 0.06");
    for (const char* label : {"l-lambda", "g-lambda"}) {
      switch (Uniform(0, 2)) {
        case 0: Add(std::string(label) + ": est"); break;
        case 1: Add(std::string(label) + ": fix inf"); break;
        default: Add(std::string(label) + ": fix " + Number(Real(0.1, 5)));
      }
    }
  }

  void InitializationSection() {
    switch (Uniform(0, 2)) {
      case 0: Add("p0: observed 0.95"); break;
      case 1: Add("p0: rand " + Number(Real(0, 0.99))); break;
      default: Add("p0: fix " + Number(Real(0.05, 0.95)));
    }
    for (const char* label : {"theta", "phi", "eta", "xi"}) {
      const bool perNode = label[0] == 'p' || label[0] == 'x';
      const double high = label[0] == 'p' ? 0.5 : (label[0] == 'x' ? 1 : 3);
      const int mode = Uniform(0, perNode ? 1 : 2);
      if (mode == 0) {
        Add(std::string(label) + (perNode ? ": dollo" : ": rand " + Number(Real(0.2, 3))));
      } else if (mode == 1) {
        List(std::string(label) + ": fix", perNode ? nodes_ : genes_, perNode ? 0 : 0.05, high);
      } else {
        Add(std::string(label) + ": con " + Number(Real(0.05, high)));
      }
    }
    // Simulated data may hold no site that is fully known and shows the character; the observed
    // start of nu needs one.
    switch (Uniform(simulate_ ? 1 : 0, 2)) {
      case 0: Add("nu: observed 0.8"); break;
      case 1: Add("nu: rand " + Number(Real(0, 0.9))); break;
      default: Add("nu: fix " + Number(Real(0, 0.9)));
    }
    for (const char* label : {"l-lambda", "g-lambda"}) {
      Add(std::string(label) + (Chance(0.5) ? ": rand " + Number(Real(0.2, 3)) : ": fixed " + Number(Real(0.1, 5))));
    }
  }

  std::mt19937 random_;
  std::vector<std::string> lines_;
  std::string description_;
  int leaves_ = 0, nodes_ = 0, genes_ = 0, ancestralMode_ = 0;
  bool simulate_ = false;
};

// A value that is not a number, printed by printf ("nan", "-nan", "inf", "-inf"), standing alone.
bool HoldsNonNumber(const std::string& text) {
  static const std::regex nonNumber("(^|[^A-Za-z])-?(nan|inf)([^A-Za-z]|$)", std::regex::icase);
  return std::regex_search(text, nonNumber);
}

// VORN_STRESS_RUNS asks for more (or fewer) runs; VORN_STRESS_FIRST starts at another run number,
// so that one failing run can be repeated alone; VORN_STRESS_KEEP names a folder that receives a
// copy of the files of every failing run.
int EnvironmentNumber(const char* name, int otherwise) {
  const char* asked = std::getenv(name);
  return asked ? std::atoi(asked) : otherwise;
}

// What a completed run leaves: a whole report and histories in which every value is a number.
void CheckCompletedRun(int ancestralMode) {
  const std::string report = ReadText("run.output.txt");
  EXPECT_NE(report.find("\nlog likelihood:\n"), std::string::npos);
  EXPECT_NE(report.find("ETA-XI invariant "), std::string::npos) << "report ends early";
  if (ancestralMode != 0) {
    EXPECT_NE(report.find("% Ancestral reconstruction:"), std::string::npos);
  }
  if (ancestralMode == 2) {
    EXPECT_NE(ReadText("run.ar.txt").find("account on events"), std::string::npos);
  }
  // A shape of 0 is no rate variation, printed as "inf" in the fixed parameters: the one place
  // where the word may stand.
  std::string checked = report;
  for (const char* shape : {"l-lambda:\n\tinf\n", "g-lambda:\n\tinf\n"}) {
    const std::size_t at = checked.find(shape);
    if (at != std::string::npos) checked.erase(at, std::string(shape).size());
  }
  EXPECT_FALSE(HoldsNonNumber(checked)) << report;

  std::istringstream likelihoods(ReadText("run.history.likelihood.txt"));
  int lines = 0;
  for (std::string line; std::getline(likelihoods, line); ++lines) {
    char* end = nullptr;
    const double value = std::strtod(line.c_str(), &end);
    EXPECT_TRUE(std::isfinite(value) && *end == '\0') << "likelihood line " << lines << ": " << line;
  }
  // Every step climbs, within a start (each start begins anew from its own values), to 1e-8.
  std::istringstream table(ReadText("run.history.tsv"));
  std::string row;
  std::getline(table, row);  // the header
  double previous = -HUGE_VAL;
  std::string previousStart;
  for (int r = 1; std::getline(table, row); ++r) {
    std::istringstream fields(row);
    std::string iteration, step, value, change, start;
    std::getline(fields, iteration, '\t');
    std::getline(fields, step, '\t');
    std::getline(fields, value, '\t');
    std::getline(fields, change, '\t');
    std::getline(fields, start, '\t');
    const double logLikelihood = std::strtod(value.c_str(), nullptr);
    if (start != previousStart) previous = -HUGE_VAL;
    EXPECT_GE(logLikelihood, previous - 1e-8 * std::abs(previous)) << "history.tsv row " << r << " falls: " << row;
    previous = logLikelihood;
    previousStart = start;
  }
  EXPECT_GE(lines, 1);
  for (const char* name : {"p0", "theta", "phi", "eta", "xi", "nu", "llambda", "glambda"}) {
    const std::string history = ReadText(std::string("run.history.") + name + ".txt");
    EXPECT_FALSE(HoldsNonNumber(history)) << name << " history:\n" << history;
  }
}

// The child's side of one run: the whole program on "run.txt", its status as the exit status and
// its messages in "run.stderr".
[[noreturn]] void RunAndExit(int run) {
  std::freopen("/dev/null", "w", stdout);
  std::freopen("run.stderr", "w", stderr);
  const std::string seed = std::to_string(1000 + run);
  const char* args[] = {"vorn", "--seed", seed.c_str(), "run.txt"};
  std::exit(RunProgram(4, args));
}

// The status of the last child, as the parent sees it.
int childStatus = 0;
bool KeepStatus(int status) {
  childStatus = status;
  return true;
}

constexpr const char* kCannotStart = "Error:VORN:EM:Run: The log-likelihood of the initial parameters is -inf: ";
// Conditioning on presence drops the sites where no leaf shows the character: random data may have
// none left.
constexpr const char* kNoSiteLeft = "Error:VORN:EM:Run: No site is left";

// Death-test suite name: every run forks, and gtest runs such suites first.
TEST(PipelineStressDeathTest, RandomValidRunsComplete) {
  const int first = EnvironmentNumber("VORN_STRESS_FIRST", 0);
  const int runs = EnvironmentNumber("VORN_STRESS_RUNS", kDefaultRuns);
  const char* keep = std::getenv("VORN_STRESS_KEEP");
  int refused = 0;
  for (int run = first; run < first + runs; ++run) {
    testing_support::TempDir dir;
    testing_support::ScopedChdir chdir(dir.path());
    Case c(static_cast<std::uint32_t>(run));
    c.Write();
    SCOPED_TRACE("run " + std::to_string(run) + ":\n" + c.Describe());
    EXPECT_EXIT(RunAndExit(run), KeepStatus, "");
    // Warnings may come and go; an error line is either the refusal, as the last line, or a fault.
    const std::string errors = ReadText("run.stderr");
    int errorLines = 0;
    std::string lastLine;
    std::istringstream lines(errors);
    for (std::string line; std::getline(lines, line); lastLine = line) {
      errorLines += line.find("Error") != std::string::npos;
    }
    const bool exited = WIFEXITED(childStatus);
    if (exited && WEXITSTATUS(childStatus) == 0 && errorLines == 0) {
      EXPECT_TRUE(FileExists("done.txt"));
      CheckCompletedRun(c.ancestralMode());
    } else if (exited && WEXITSTATUS(childStatus) == 1 && errorLines == 1 && (lastLine.rfind(kCannotStart, 0) == 0 || lastLine.rfind(kNoSiteLeft, 0) == 0)) {
      EXPECT_FALSE(FileExists("done.txt"));
      ++refused;
    } else {
      ADD_FAILURE() << "run ended with status " << childStatus << ":\n" << errors;
    }
    if (HasFailure()) {
      if (keep) {
        const std::filesystem::path copy = std::filesystem::path(keep) / ("run" + std::to_string(run));
        std::filesystem::create_directories(copy);
        std::filesystem::copy(dir.path(), copy,
                              std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
      }
      break;  // one reproducible case is enough to read
    }
  }
  std::printf("%d of %d runs refused their start\n", refused, runs);
}

}  // namespace
}  // namespace vorn
