// One run of a project at a time: a lock file beside its outputs.
#pragma once
#include <string>

namespace vorn {

// PREFIX.lock, created by the run that writes the project and removed when the object dies. Two
// runs of one project at once would write their history files into each other line by line,
// and leave a report beside the results of the other. The file holds the process id and the
// host of its run: a lock whose process is gone (a run that was killed) is stale and taken over;
// one whose process lives, or that was taken on another host, where its process cannot be
// looked for, is refused.
class RunLock {
 public:
  explicit RunLock(const std::string& projectName);
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // False, after its error line, when another run holds the lock or it cannot be created.
  bool Take();
  const std::string& name() const { return name_; }

 private:
  bool Create(bool* exists);
  std::string project_, name_;
  bool held_ = false;
};

}  // namespace vorn
