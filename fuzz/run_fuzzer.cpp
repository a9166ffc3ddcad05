// A whole run: one input packs the control file, a tree file and the two pattern files, as the
// input harness does ("run.txt", "tree.phyl", "data.wp.txt", "data.ngp.txt" in a scratch
// folder), and the program runs on them as from the command line: read, simulate, fit (the E-
// and M-steps, the fast search, the shape searches), reconstruct, and every writer. Runs that
// would take more than milliseconds (many iterations, starts or leaves) are skipped after their
// reading. Either the run fails with status 1, leaving no temporary file, no lock and no
// done.txt, or it succeeds and every output is well-formed: results.json parses, branches.tsv
// is rectangular, tree.nwk is one line, tree.svg is XML, and each is UTF-8.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "data/text_io.h"
#include "driver/run_program.h"
#include "fuzz_support.h"
#include "input/input_reader.h"
#include "numerics/run_seed.h"

namespace {

using vorn::fuzzing::Require;

const char* const kInputs[] = {"run.txt", "tree.phyl", "data.wp.txt", "data.ngp.txt"};

// What one input may ask of a run before it is skipped: a few iterations of a few starts on a
// small tree keep an input within milliseconds.
constexpr std::uint32_t kMostIterations = 4;
constexpr std::uint32_t kMostStarts = 2;
constexpr std::uint32_t kMostLeaves = 12;
constexpr std::uint32_t kMostGenes = 6;

std::string scratch;
std::filesystem::path home;

struct InScratch {
  InScratch() { std::filesystem::current_path(scratch); }
  ~InScratch() { std::filesystem::current_path(home); }
};

void RemoveScratch() {
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
}

void ClearScratch() {
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    std::error_code ignored;
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

bool WriteFile(const char* name, const std::string& bytes) {
  std::FILE* file = std::fopen(name, "wb");
  if (!file) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Exists(const std::string& name) {
  std::error_code ignored;
  return std::filesystem::exists(name, ignored);
}

// Valid UTF-8 throughout; line feeds and tabs are the only control characters an output holds.
bool Utf8Text(std::string_view text) {
  std::size_t start = 0;
  for (std::size_t at = 0; at <= text.size(); ++at) {
    if (at < text.size() && text[at] != '\n' && text[at] != '\t') continue;
    if (vorn::NameFault(text.substr(start, at - start))) return false;
    start = at + 1;
  }
  return true;
}

// Well-formed XML as the picture writes it: a declaration, elements that nest and close, quoted
// attributes, and no '<' or bare '&' in text.
bool WellFormedXml(std::string_view svg) {
  std::vector<std::string_view> open;
  std::size_t at = 0;
  bool root = false;
  while (at < svg.size()) {
    if (svg[at] == '&') {
      const std::size_t end = svg.find(';', at);
      if (end == std::string_view::npos || end - at < 2 || end - at > 8) return false;
      at = end + 1;
      continue;
    }
    if (svg[at] == '>') return false;
    if (svg[at] != '<') {
      ++at;
      continue;
    }
    if (svg.substr(at, 5) == "<?xml" || svg.substr(at, 4) == "<!--") {
      const std::size_t end = svg.find(svg[at + 1] == '?' ? "?>" : "-->", at);
      if (end == std::string_view::npos || !open.empty() || root) return false;
      at = svg.find('>', end) + 1;
      continue;
    }
    const bool closing = at + 1 < svg.size() && svg[at + 1] == '/';
    std::size_t pos = at + (closing ? 2 : 1);
    const std::size_t nameStart = pos;
    while (pos < svg.size() && (std::isalnum(static_cast<unsigned char>(svg[pos])) || svg[pos] == '-' ||
                                svg[pos] == ':' || svg[pos] == '_')) {
      ++pos;
    }
    const std::string_view name = svg.substr(nameStart, pos - nameStart);
    if (name.empty()) return false;
    char quote = 0;
    while (pos < svg.size() && (quote || svg[pos] != '>')) {
      if (quote && svg[pos] == '<') return false;
      if (svg[pos] == '"' || svg[pos] == '\'') quote = quote == svg[pos] ? 0 : quote ? quote : svg[pos];
      ++pos;
    }
    if (pos == svg.size()) return false;
    const bool empty = svg[pos - 1] == '/';
    if (closing) {
      if (open.empty() || open.back() != name) return false;
      open.pop_back();
    } else if (!empty) {
      if (open.empty() && root) return false;  // a second root
      open.push_back(name);
      root = true;
    }
    at = pos + 1;
  }
  return root && open.empty();
}

// Every row of a TSV file has as many fields as its header.
bool Rectangular(const std::string& tsv) {
  std::istringstream lines(tsv);
  std::string line;
  std::ptrdiff_t fields = -1;
  while (std::getline(lines, line)) {
    const std::ptrdiff_t count = std::count(line.begin(), line.end(), '\t') + 1;
    if (fields >= 0 && count != fields) return false;
    fields = count;
  }
  return fields > 0 && !tsv.empty() && tsv.back() == '\n';
}

void CheckOutputs(const vorn::ControlFile& control) {
  if (control.fit.maxIterations == 0) return;
  for (const char* suffix : {".output.txt", ".results.json", ".branches.tsv", ".tree.nwk", ".tree.svg",
                             ".history.tsv"}) {
    const std::string name = std::string("run") + suffix;
    Require(Exists(name), "every output of a fit written");
    Require(Utf8Text(ReadFile(name)), "outputs are UTF-8 text");
  }
  Require(nlohmann::json::accept(ReadFile("run.results.json")), "results.json parses");
  Require(Rectangular(ReadFile("run.branches.tsv")), "branches.tsv is rectangular");
  Require(Rectangular(ReadFile("run.history.tsv")), "history.tsv is rectangular");
  const std::string newick = ReadFile("run.tree.nwk");
  Require(!newick.empty() && newick.find('\n') == newick.size() - 1, "tree.nwk is one line");
  Require(WellFormedXml(ReadFile("run.tree.svg")), "tree.svg is well-formed XML");
}

// The control file asks for a run small enough to fuzz: read as the run will read it.
bool Affordable(vorn::ControlFile* control) {
  vorn::SetRunSeed(1);
  vorn::PhylogeneticTree tree;
  vorn::AlignmentData data;
  const bool read = vorn::LoadRun(tree, data, *control, "run.txt", "run");
  if (!read) return true;  // the run fails the same way, and that is worth running
  const std::uint32_t genes = control->simulation.simulate ? control->simulation.geneCount : data.geneCount;
  return control->fit.maxIterations <= kMostIterations && control->fit.starts <= kMostStarts &&
         tree.leafCount <= kMostLeaves && genes <= kMostGenes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string pattern = (std::filesystem::temp_directory_path() / "vorn_fuzz_run_XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  scratch = pattern;
  home = std::filesystem::current_path();
  std::atexit(RemoveScratch);
  vorn::InputLimits limits;
  limits.maxTreeLeaves = kMostLeaves;
  limits.maxRandomTreeLeaves = kMostLeaves;
  limits.maxSimulatedGenes = kMostGenes;
  limits.maxSimulatedSites = 128;
  limits.maxCategories = 8;
  vorn::SetInputLimitsForTesting(limits);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> files =
      vorn::fuzzing::SplitFiles(std::string_view(reinterpret_cast<const char*>(data), size), 4);
  // Names stay inside the scratch folder: a name may reach any file of the machine.
  for (const std::string& file : files) {
    if (file.find('/') != std::string::npos) return 0;
  }
  const InScratch inScratch;
  ClearScratch();
  for (int i = 0; i < 4; ++i) Require(WriteFile(kInputs[i], files[i]), "scratch files written");
  vorn::ControlFile control;
  if (!Affordable(&control)) return 0;
  // The reading above may have written a random tree or simulated data: the run starts afresh.
  ClearScratch();
  for (int i = 0; i < 4; ++i) Require(WriteFile(kInputs[i], files[i]), "scratch files written");

  const char* argv[] = {"vorn", "--seed", "1", "run.txt"};
  const int status = vorn::RunProgram(4, argv);
  Require(status == 0 || status == 1, "status 0 or 1");
  for (int i = 0; i < 4; ++i) Require(ReadFile(kInputs[i]) == files[i], "no input is written");
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    Require(entry.path().filename().string().find(".tmp-") == std::string::npos, "no temporary file is left");
  }
  Require(!Exists("run.lock"), "the lock is let go");
  Require(Exists("done.txt") == (status == 0), "done.txt exactly after a run that succeeds");
  if (status == 0) CheckOutputs(control);
  return 0;
}
