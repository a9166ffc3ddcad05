// Threads started once and handed work many times: the E-step's pool, started when a run sizes
// the E-step and joined when the estimator goes, and the ordered scheduling of numbered items on
// it. Starting threads afresh for every E-step cost more than a small E-step's work.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace vorn {

// The threads a thread-count setting stands for: 0 means one per core that the system reports.
std::uint32_t EffectiveThreadCount(std::uint32_t threadCount);

// A pool of Size() - 1 waiting threads and the thread that calls Share. The work is shared, not
// split: Share(count, work) calls work(0) on the calling thread and work(1), ..., work(n - 1) on
// the first n - 1 < count pool threads that are free to take it before the caller is done, so
// work must take its items from a common counter until none is left. The caller never waits for
// a thread that is still asleep (on a busy machine that could take milliseconds), only for those
// that took part. One caller at a time. Size 1 starts no thread.
class WorkerPool {
 public:
  // A thread the system refuses to start leaves the pool smaller, not broken: the results do not
  // depend on how many threads share the work.
  explicit WorkerPool(std::uint32_t threads);
  ~WorkerPool();  // wakes and joins every thread
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::uint32_t Size() const { return static_cast<std::uint32_t>(threads_.size()) + 1; }

  // Returns once every participant has returned. An exception of any participant (bad_alloc, say)
  // is thrown again here, on the calling thread, after all of them have returned; the work must
  // then let the others end too (RunInOrder does).
  template <typename Work>
  void Share(std::uint32_t count, Work& work) {
    Share(count, [](void* w, std::uint32_t participant) { (*static_cast<Work*>(w))(participant); }, &work);
  }

 private:
  void Share(std::uint32_t count, void (*call)(void*, std::uint32_t), void* work);
  void Serve();

  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  // The job on offer, under mutex_: a new generation wakes the threads; open while the caller
  // works, so that a thread waking after it is done does not touch the caller's work.
  std::uint64_t generation_ = 0;
  bool open_ = false, stop_ = false;
  void (*call_)(void*, std::uint32_t) = nullptr;
  void* work_ = nullptr;
  std::uint32_t wanted_ = 0, joined_ = 0, running_ = 0;
  std::exception_ptr error_;
};

// Items 0 ... items - 1 on up to `threads` participants of the pool, each item worked into one of
// `slots` result slots (slots >= threads + 1 keeps threads from waiting for each other) by
// work(item, participant, slot), and merge(item, slot) called for the items in their order, one at
// a time, whichever participant worked them: a sum the merges build takes its terms in the same
// order on every thread count. A slot is free again once its item is merged. An exception in any
// call ends every participant after its current item and is thrown again to the caller.
template <typename Work, typename Merge>
void RunInOrder(WorkerPool& pool, std::uint32_t threads, std::uint32_t items, std::uint32_t slots, const Work& work,
                const Merge& merge) {
  if (threads <= 1) {
    for (std::uint32_t item = 0; item < items; ++item) {
      work(item, 0U, 0U);
      merge(item, 0U);
    }
    return;
  }
  std::mutex mutex;
  std::condition_variable freed;
  std::vector<std::uint32_t> spare(slots);
  for (std::uint32_t s = 0; s < slots; ++s) spare[s] = s;
  std::vector<std::uint32_t> finished(items, slots);  // the slot holding each worked item
  std::uint32_t next = 0, nextMerge = 0;
  bool failed = false;
  auto participate = [&](std::uint32_t participant) {
    std::unique_lock<std::mutex> lock(mutex);
    try {
      for (;;) {
        // The earliest unmerged item is always being worked, so a spare slot turns up.
        freed.wait(lock, [&] { return failed || !spare.empty() || next == items; });
        if (failed || next == items) return;
        const std::uint32_t item = next++, slot = spare.back();
        spare.pop_back();
        lock.unlock();
        work(item, participant, slot);
        lock.lock();
        finished[item] = slot;
        const std::uint32_t before = nextMerge;
        for (; nextMerge < items && finished[nextMerge] < slots; ++nextMerge) {
          merge(nextMerge, finished[nextMerge]);
          spare.push_back(finished[nextMerge]);
        }
        if (nextMerge != before) freed.notify_all();
      }
    } catch (...) {
      if (!lock.owns_lock()) lock.lock();
      failed = true;
      freed.notify_all();
      throw;
    }
  };
  pool.Share(threads, participate);
}

}  // namespace vorn
