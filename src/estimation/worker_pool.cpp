#include "estimation/worker_pool.h"

#include <system_error>

namespace vorn {

std::uint32_t EffectiveThreadCount(std::uint32_t threadCount) {
  if (threadCount != 0) return threadCount;
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

WorkerPool::WorkerPool(std::uint32_t threads) {
  if (threads <= 1) return;
  threads_.reserve(threads - 1);
  for (std::uint32_t t = 1; t < threads; ++t) {
    try {
      threads_.emplace_back([this] { Serve(); });
    } catch (const std::system_error&) {
      break;
    }
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void WorkerPool::Serve() {
  std::uint64_t seen = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
    if (stop_) return;
    seen = generation_;
    if (!open_ || joined_ == wanted_) continue;
    const std::uint32_t participant = joined_++;
    ++running_;
    void (*call)(void*, std::uint32_t) = call_;
    void* work = work_;
    lock.unlock();
    std::exception_ptr error;
    try {
      call(work, participant);
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    if (error && !error_) error_ = error;
    if (--running_ == 0) done_.notify_all();
  }
}

void WorkerPool::Share(std::uint32_t count, void (*call)(void*, std::uint32_t), void* work) {
  if (count <= 1 || threads_.empty()) {
    call(work, 0);
    return;
  }
  const std::uint32_t wanted = count < Size() ? count : Size();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    call_ = call;
    work_ = work;
    wanted_ = wanted;
    joined_ = 1;  // the caller is participant 0
    running_ = 0;
    error_ = nullptr;
    open_ = true;
    ++generation_;
  }
  // As many as may join, not all: with a thousand threads asked for and a few blocks, waking every
  // thread for every job would cost more than the job.
  for (std::uint32_t t = 1; t < wanted; ++t) wake_.notify_one();
  std::exception_ptr error;
  try {
    call(work, 0);
  } catch (...) {
    error = std::current_exception();
  }
  std::unique_lock<std::mutex> lock(mutex_);
  open_ = false;
  done_.wait(lock, [&] { return running_ == 0; });
  if (!error) error = error_;
  error_ = nullptr;
  lock.unlock();
  if (error) std::rethrow_exception(error);
}

}  // namespace vorn
