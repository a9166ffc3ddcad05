// The pieces the subcommands share.
#include "driver/subcommand_support.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "data/c_file.h"
#include "data/diagnostics.h"
#include "data/output_file.h"
#include "driver/control_text.h"
#include "driver/ranks.h"
#include "driver/run_program.h"

namespace vorn {

StdoutToStderr::StdoutToStderr() {
  std::fflush(stdout);
  saved_ = dup(STDOUT_FILENO);
  if (saved_ >= 0) dup2(STDERR_FILENO, STDOUT_FILENO);
}

StdoutToStderr::~StdoutToStderr() {
  std::fflush(stdout);
  if (saved_ < 0) return;
  dup2(saved_, STDOUT_FILENO);
  close(saved_);
}

namespace {

// Both streams into one file while alive, and back as they were however the scope is left (a
// numeric failure is thrown past it to the driver).
class StreamsInto {
 public:
  explicit StreamsInto(std::FILE* file) {
    std::fflush(stdout);
    std::fflush(stderr);
    savedOut_ = dup(STDOUT_FILENO);
    savedErr_ = dup(STDERR_FILENO);
    dup2(fileno(file), STDOUT_FILENO);
    dup2(fileno(file), STDERR_FILENO);
  }
  ~StreamsInto() {
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut_, STDOUT_FILENO);
    dup2(savedErr_, STDERR_FILENO);
    close(savedOut_);
    close(savedErr_);
  }
  StreamsInto(const StreamsInto&) = delete;
  StreamsInto& operator=(const StreamsInto&) = delete;

 private:
  int savedOut_, savedErr_;
};

}  // namespace

bool Silently(const std::function<bool()>& step) {
  FilePtr scratch(std::tmpfile());
  if (!scratch) return step();
  bool ok = false;
  {
    StreamsInto quiet(scratch.get());
    ok = step();
  }
  if (!ok) {
    std::rewind(scratch.get());
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, scratch.get())) > 0;) std::fwrite(buffer, 1, n, stderr);
  }
  ClearWarnings();
  return ok;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool FileFound(const char* what, const std::string& name) {
  std::error_code error;
  if (std::filesystem::is_regular_file(name, error)) return true;
  std::fprintf(stderr, "Error:VORN:Main: The %s file '%s' cannot be found from the working directory %s; give its "
               "path from there, or an absolute one\n", what, name.c_str(),
               std::filesystem::current_path(error).c_str());
  return false;
}

// The words of the command line, as a shell would take them back.
std::vector<std::string> Words(int argc, const char* const* argv) {
  std::vector<std::string> words{"vorn"};
  for (int i = 0; i < argc; ++i) words.emplace_back(argv[i]);
  return words;
}

std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) {
    const bool plain = !word.empty() && word.find_first_of(" \t'\"\\$`*?;&|<>()") == std::string::npos;
    text += (text.empty() ? "" : " ") + (plain ? word : "'" + word + "'");
  }
  // A note is one line of the control file, which holds 2046 characters.
  return text.size() > 1000 ? text.substr(0, 1000) + " ..." : text;
}

// Writes a subcommand's control file, complete or absent. One of the same name that the same
// subcommand did not write is a researcher's own and is never replaced.
bool MayReplace(const std::string& name, const std::string& marker) {
  std::ifstream existing(name);
  if (!existing) return true;
  for (std::string line; std::getline(existing, line);) {
    if (line.rfind(marker, 0) == 0) return true;
  }
  std::fprintf(stderr, "Error:VORN:Main: The file '%s' exists and was not written by %s; it is left as it is: give "
               "another --prefix\n", name.c_str(), marker.c_str() + 13);
  return false;
}

bool WriteControlFile(const std::string& name, const std::string& text, const std::string& marker) {
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::path(name).parent_path();
  if (!folder.empty() && !std::filesystem::create_directories(folder, error) && error) {
    std::fprintf(stderr, "Error:VORN:Main: The folder '%s' cannot be made: %s\n", folder.c_str(),
                 error.message().c_str());
    return false;
  }
  if (!MayReplace(name, marker)) return false;
  OutputFile file(name, "Main");
  if (!file.Open()) {
    std::fprintf(stderr, "Error:VORN:Main: The file '%s' cannot be opened for writing\n", name.c_str());
    return false;
  }
  std::fputs(text.c_str(), file.get());
  const bool written = file.Commit();
  WaitForRanks();  // the run that follows reads the file on every rank
  return written;
}


int WriteAndRun(const std::string& subcommand, ControlPlan plan, const std::vector<std::string>& words,
                const ControlRun& run) {
  const std::string marker = "Written by vorn " + subcommand;
  plan.notes = {marker + ": " + Joined(words),
                "Repeat the run with: vorn --seed " + std::to_string(*run.seed) + " " + run.controlFileName};
  if (!WriteControlFile(run.controlFileName, ControlText(plan), "% " + marker)) return 1;
  StdoutToStderr progress;
  return RunControlFile(run);
}

}  // namespace vorn
