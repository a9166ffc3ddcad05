// Ranks in one process, for tests: threads of the test stand in for the processes of a
// message-passing build, each with a view of the common exchange. Each rank copies its part into
// a common buffer, waits for all, and copies every part back.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "estimation/e_step_communicator.h"

namespace vorn {
namespace testing_support {

class SharedMemoryRanks {
 public:
  explicit SharedMemoryRanks(std::uint32_t ranks) : ranks_(ranks), bytes_(ranks) {
    for (std::uint32_t r = 0; r < ranks; ++r) views_.emplace_back(this, r);
  }
  EStepCommunicator* View(std::uint32_t rank) { return &views_[rank]; }

 private:
  class RankView final : public EStepCommunicator {
   public:
    RankView(SharedMemoryRanks* all, std::uint32_t rank) : all_(all), rank_(rank) {}
    std::uint32_t Rank() const override { return rank_; }
    std::uint32_t Size() const override { return all_->ranks_; }
    void AllGather(std::vector<double>& buffer, const std::vector<std::size_t>& counts) override {
      all_->Gather(buffer, counts, rank_);
    }
    std::vector<std::string> AllGatherBytes(const std::string& mine) override { return all_->GatherBytes(mine, rank_); }

   private:
    SharedMemoryRanks* all_;
    std::uint32_t rank_;
  };

  void Gather(std::vector<double>& buffer, const std::vector<std::size_t>& counts, std::uint32_t rank) {
    std::size_t offset = 0;
    for (std::uint32_t r = 0; r < rank; ++r) offset += counts[r];
    std::unique_lock<std::mutex> lock(mutex_);
    if (common_.size() != buffer.size()) common_.assign(buffer.size(), 0.0);
    std::copy(buffer.begin() + offset, buffer.begin() + offset + counts[rank], common_.begin() + offset);
    Wait(lock);
    std::copy(common_.begin(), common_.end(), buffer.begin());
    Wait(lock);  // nobody may refill the buffer before every rank has read it
  }
  std::vector<std::string> GatherBytes(const std::string& mine, std::uint32_t rank) {
    std::unique_lock<std::mutex> lock(mutex_);
    bytes_[rank] = mine;
    Wait(lock);
    std::vector<std::string> all = bytes_;
    Wait(lock);
    return all;
  }
  void Wait(std::unique_lock<std::mutex>& lock) {
    const std::uint64_t generation = generation_;
    if (++arrived_ == ranks_) {
      arrived_ = 0;
      ++generation_;
      all_.notify_all();
    } else {
      all_.wait(lock, [&] { return generation_ != generation; });
    }
  }

  std::uint32_t ranks_, arrived_ = 0;
  std::uint64_t generation_ = 0;
  std::mutex mutex_;
  std::condition_variable all_;
  std::vector<double> common_;
  std::vector<std::string> bytes_;
  std::vector<RankView> views_;
};

}  // namespace testing_support
}  // namespace vorn
