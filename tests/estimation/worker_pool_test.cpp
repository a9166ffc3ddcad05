#include "estimation/worker_pool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <random>
#include <thread>
#include <vector>

namespace vorn {
namespace {

// Items of uneven length on pools of several sizes: every item is worked once, by a participant
// below the count asked for, into the slot its merge then reads, and the merges come in the items'
// order. A pool of one thread works everything on the calling thread.
TEST(WorkerPoolTest, ItemsAreMergedInTheirOrderWhateverTheThreads) {
  const std::uint32_t items = 300, slots = 7;
  std::mt19937 random(5);
  std::vector<int> pause(items);
  for (int& p : pause) p = static_cast<int>(random() % 50);  // microseconds
  for (std::uint32_t threads : {1U, 2U, 3U, 6U}) {
    SCOPED_TRACE(threads);
    WorkerPool pool(threads);
    for (std::uint32_t asked : {1U, threads}) {
      std::vector<std::uint32_t> slot(slots, items), merged, worked(items, 0);
      std::vector<std::thread::id> by(items);
      std::mutex mutex;
      RunInOrder(
          pool, asked, items, slots,
          [&](std::uint32_t item, std::uint32_t participant, std::uint32_t s) {
            std::this_thread::sleep_for(std::chrono::microseconds(pause[item]));
            slot[s] = item;
            std::lock_guard<std::mutex> lock(mutex);
            ++worked[item];
            by[item] = std::this_thread::get_id();
            EXPECT_LT(participant, asked);
          },
          [&](std::uint32_t item, std::uint32_t s) {
            EXPECT_EQ(slot[s], item);
            merged.push_back(item);
          });
      ASSERT_EQ(merged.size(), items);
      for (std::uint32_t i = 0; i < items; ++i) {
        EXPECT_EQ(merged[i], i);
        EXPECT_EQ(worked[i], 1U);
        if (asked == 1) {
          EXPECT_EQ(by[i], std::this_thread::get_id());
        }
      }
    }
  }
}

// A participant that throws (here the bad_alloc a full memory would give) ends the others after
// their current item, without any waiting for a slot that never comes back, and the exception
// reaches the caller; the pool serves the next job as before.
TEST(WorkerPoolTest, AnExceptionEndsEveryParticipantAndReachesTheCaller) {
  for (std::uint32_t thrower : {0U, 1U}) {
    SCOPED_TRACE(thrower);
    WorkerPool pool(2);
    ASSERT_EQ(pool.Size(), 2U);
    std::mutex mutex;
    std::condition_variable joined;
    bool arrived[2] = {false, false};
    std::uint32_t merges = 0;
    const auto work = [&](std::uint32_t, std::uint32_t participant, std::uint32_t) {
      std::unique_lock<std::mutex> lock(mutex);
      // Each first item waits for the other participant, so that both are inside the job (on a
      // loaded machine either could otherwise take every item before the other starts).
      arrived[participant] = true;
      joined.notify_all();
      joined.wait(lock, [&] { return arrived[0] && arrived[1]; });
      if (participant == thrower) throw std::bad_alloc();
    };
    EXPECT_THROW(RunInOrder(pool, 2, 1000, 4, work, [&](std::uint32_t, std::uint32_t) { ++merges; }),
                 std::bad_alloc);
    EXPECT_LT(merges, 1000U);
    std::uint32_t next = 0;
    RunInOrder(
        pool, 2, 100, 4, [](std::uint32_t, std::uint32_t, std::uint32_t) {},
        [&](std::uint32_t item, std::uint32_t) { EXPECT_EQ(item, next++); });
    EXPECT_EQ(next, 100U);
  }
}

}  // namespace
}  // namespace vorn
