// The lock file: created exclusively, its holder looked for by process id.
#include "driver/run_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "data/diagnostics.h"
#include "data/text_io.h"

namespace vorn {
namespace {

std::string HostName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return "unknown";
  return host;
}

// The process id and host a lock file holds; false for a file that is no lock of a run.
bool ReadHolder(const std::string& name, long long* pid, std::string* host) {
  std::FILE* file = std::fopen(name.c_str(), "r");
  if (!file) return false;
  std::string line;
  const bool any = ReadLine(file, line);
  std::fclose(file);
  const std::vector<std::string_view> tokens = Tokenize(line);
  if (!any || tokens.size() != 2 || !ParseInt(tokens[0], pid) || *pid <= 0) return false;
  *host = std::string(tokens[1]);
  return true;
}

// Whether a process of this host is running: a process that has ended but was not yet waited for
// (a zombie, as a run killed under a shell that is busy) answers a signal, but runs no more.
bool Running(long long pid) {
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
  std::FILE* stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (!stat) return true;  // no /proc: the signal's answer stands
  std::string line;
  ReadLine(stat, line);
  std::fclose(stat);
  const std::size_t close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() || (line[close + 2] != 'Z' && line[close + 2] != 'X');
}

}  // namespace

RunLock::RunLock(const std::string& projectName) : project_(projectName), name_(projectName + ".lock") {}

RunLock::~RunLock() {
  if (held_) std::remove(name_.c_str());
}

bool RunLock::Create(bool* exists) {
  const int fd = open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  *exists = fd < 0 && errno == EEXIST;
  if (fd < 0) return false;
  const std::string holder = std::to_string(static_cast<long long>(getpid())) + " " + HostName() + "\n";
  const bool written = write(fd, holder.data(), holder.size()) == static_cast<ssize_t>(holder.size());
  close(fd);
  held_ = true;  // even half written, it is this run's to remove
  return written;
}

bool RunLock::Take() {
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool exists = false;
    if (Create(&exists)) return true;
    // A folder this run cannot write to holds no output of it to guard (a run that only reads,
    // with "maximum # iterations: 0", still works there); the outputs' own checks say the rest.
    if (!exists && !held_ && (errno == EACCES || errno == EROFS || errno == EPERM)) return true;
    if (!exists) {
      std::fprintf(stderr, "Error:VORN:Main: The lock file %s cannot be created\n", name_.c_str());
      return false;
    }
    long long pid = 0;
    std::string host;
    // A run that has just created its lock may not have written it yet.
    bool read = ReadHolder(name_, &pid, &host);
    if (!read) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      read = ReadHolder(name_, &pid, &host);
    }
    if (!read) {
      std::fprintf(stderr, "Error:VORN:Main: The file %s is in the way of the lock of project %s, and it is not "
                   "the lock of a run: remove it, or rename the control file\n", name_.c_str(), project_.c_str());
      return false;
    }
    if (host != HostName()) {
      std::fprintf(stderr, "Error:VORN:Main: Project %s is being written by process %lld on host %s (lock file "
                   "%s); wait for that run to end, or remove the lock file if it is gone\n", project_.c_str(), pid,
                   host.c_str(), name_.c_str());
      return false;
    }
    if (Running(pid)) {
      std::fprintf(stderr, "Error:VORN:Main: Project %s is being written by process %lld (lock file %s); two runs "
                   "of one project at once would mix their files: wait for it to end\n", project_.c_str(), pid,
                   name_.c_str());
      return false;
    }
    Warn("stale-lock", "Main", "the lock file %s was left by process %lld, which is no longer running (a run that "
         "was killed); it is taken over", name_.c_str(), pid);
    std::remove(name_.c_str());
  }
  std::fprintf(stderr, "Error:VORN:Main: The lock file %s cannot be created\n", name_.c_str());
  return false;
}

}  // namespace vorn
