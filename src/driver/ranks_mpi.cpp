// The ranks of a build with -DVORN_MPI=ON, over MPI_COMM_WORLD. A run started without mpirun is
// one rank, and runs as a process alone.
#include <mpi.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "data/output_file.h"
#include "driver/ranks.h"
#include "estimation/e_step_communicator.h"

namespace vorn {
namespace {

class MpiCommunicator final : public EStepCommunicator {
 public:
  MpiCommunicator(std::uint32_t rank, std::uint32_t size) : rank_(rank), size_(size) {}
  std::uint32_t Rank() const override { return rank_; }
  std::uint32_t Size() const override { return size_; }
  // In place, every rank's part where the caller put it. The counts are in doubles and must fit an
  // int, as the library takes them: 2^31 doubles (16 GB) of block results per rank.
  void AllGather(std::vector<double>& buffer, const std::vector<std::size_t>& counts) override {
    std::vector<int> sizes(size_), offsets(size_);
    std::size_t offset = 0;
    for (std::uint32_t r = 0; r < size_; ++r) {
      sizes[r] = static_cast<int>(counts[r]);
      offsets[r] = static_cast<int>(offset);
      offset += counts[r];
    }
    MPI_Allgatherv(MPI_IN_PLACE, 0, MPI_DATATYPE_NULL, buffer.data(), sizes.data(), offsets.data(), MPI_DOUBLE,
                   MPI_COMM_WORLD);
  }
  // The lengths first, so every rank can place every part. The library counts in int: a part, and
  // all of them together, must stay below 2 GB (a screened search's courses are megabytes).
  std::vector<std::string> AllGatherBytes(const std::string& mine) override {
    const unsigned long long length = mine.size();
    std::vector<unsigned long long> lengths(size_);
    MPI_Allgather(&length, 1, MPI_UNSIGNED_LONG_LONG, lengths.data(), 1, MPI_UNSIGNED_LONG_LONG, MPI_COMM_WORLD);
    std::vector<int> sizes(size_), offsets(size_);
    unsigned long long total = 0;
    for (std::uint32_t r = 0; r < size_; ++r) {
      if (lengths[r] > kLargestPart || total + lengths[r] > kLargestPart) MPI_Abort(MPI_COMM_WORLD, 1);
      sizes[r] = static_cast<int>(lengths[r]);
      offsets[r] = static_cast<int>(total);
      total += lengths[r];
    }
    std::string all(total, '\0');
    MPI_Allgatherv(mine.data(), sizes[rank_], MPI_BYTE, all.data(), sizes.data(), offsets.data(), MPI_BYTE,
                   MPI_COMM_WORLD);
    std::vector<std::string> parts(size_);
    for (std::uint32_t r = 0; r < size_; ++r) parts[r] = all.substr(static_cast<std::size_t>(offsets[r]), lengths[r]);
    return parts;
  }

 private:
  static constexpr unsigned long long kLargestPart = 2147483647ULL;

  std::uint32_t rank_, size_;
};

std::unique_ptr<MpiCommunicator> communicator;  // none when the process is alone
int rank = 0;
std::FILE* keptLines = nullptr;  // what a rank but 0 printed on the error stream
bool agreedFailure = false;      // every rank knows of the failure and ends as a failed run
bool printsAgreedFailure = false;  // this rank is the first that failed, and not rank 0
int errorStream = -1;            // the error stream it had

// A rank's error is printed from what it kept back; a failure of rank 0 was printed as it happened.
void PrintKeptErrors() {
  if (keptLines == nullptr) return;
  std::fflush(stderr);
  std::rewind(keptLines);
  char line[4096];
  while (std::fgets(line, sizeof line, keptLines) != nullptr) {
    if (std::strncmp(line, "Error:VORN:", 11) == 0) {
      const ssize_t written = write(errorStream, line, std::strlen(line));
      (void)written;
    }
  }
}

}  // namespace

void StartRanks(int* argc, char*** argv) {
  int provided = 0, size = 1;
  // Only the main thread calls the library; the E-step's threads never do.
  MPI_Init_thread(argc, argv, MPI_THREAD_FUNNELED, &provided);
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  if (size == 1) return;
  communicator = std::make_unique<MpiCommunicator>(static_cast<std::uint32_t>(rank), static_cast<std::uint32_t>(size));
  if (rank == 0) return;
  DiscardOutputsOfThisProcess();
  if (std::freopen("/dev/null", "w", stdout) == nullptr) MPI_Abort(MPI_COMM_WORLD, 1);
  std::fflush(stderr);
  errorStream = dup(fileno(stderr));
  keptLines = std::tmpfile();
  if (errorStream < 0 || keptLines == nullptr || dup2(fileno(keptLines), fileno(stderr)) < 0) {
    MPI_Abort(MPI_COMM_WORLD, 1);
  }
}

int EndRanks(int status) {
  if (agreedFailure) {
    if (printsAgreedFailure) PrintKeptErrors();
    MPI_Finalize();
    return 1;
  }
  if (communicator != nullptr && status != 0) {
    // The same error on every rank (an input that is wrong for all of them) is printed by rank 0,
    // whose abort ends the others before their own pause is over; an error of this rank alone is
    // printed by it.
    if (rank != 0) {
      std::this_thread::sleep_for(std::chrono::seconds(2));
      PrintKeptErrors();
    }
    std::fflush(stdout);
    std::fflush(stderr);
    MPI_Abort(MPI_COMM_WORLD, 1);
  }
  MPI_Finalize();
  return status;
}

EStepCommunicator* RankCommunicator() { return communicator.get(); }

void WaitForRanks() {
  if (communicator != nullptr) MPI_Barrier(MPI_COMM_WORLD);
}

std::uint32_t SameOnEveryRank(std::uint32_t value) {
  if (communicator != nullptr) MPI_Bcast(&value, 1, MPI_UINT32_T, 0, MPI_COMM_WORLD);
  return value;
}

bool FirstRank() { return rank == 0; }

bool EveryRankSucceeded(bool succeeded) {
  if (communicator == nullptr) return succeeded;
  std::vector<int> all(communicator->Size());
  int mine = succeeded ? 1 : 0;
  MPI_Allgather(&mine, 1, MPI_INT, all.data(), 1, MPI_INT, MPI_COMM_WORLD);
  int firstFailed = -1;
  for (std::size_t r = 0; r < all.size() && firstFailed < 0; ++r) {
    if (all[r] == 0) firstFailed = static_cast<int>(r);
  }
  if (firstFailed < 0) return true;
  agreedFailure = true;
  printsAgreedFailure = firstFailed == rank && rank != 0;
  return false;
}

}  // namespace vorn
