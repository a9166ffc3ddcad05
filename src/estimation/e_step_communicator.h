// The processes an E-step's blocks of entries are shared among, when one fit runs as several
// cooperating processes (ranks): their number, this process's place among them, the exchange of
// the blocks' results, and an exchange of bytes for what else the ranks must agree on (the starts
// of a screened search that each ran alone). The estimator knows only this interface; a build with a message-passing
// library supplies an implementation of it, and without one every E-step runs in its process alone.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorn {

class EStepCommunicator {
 public:
  virtual ~EStepCommunicator() = default;
  virtual std::uint32_t Rank() const = 0;
  virtual std::uint32_t Size() const = 0;
  // buffer holds the parts of every rank one after the other, counts[r] doubles for rank r; this
  // rank has filled its own part. On return every part is filled, on every rank. Every rank calls
  // it at the same point of its run with the same counts.
  virtual void AllGather(std::vector<double>& buffer, const std::vector<std::size_t>& counts) = 0;
  // Every rank's bytes, in rank order, on every rank; this rank's are `mine` (of any length, empty
  // included). Every rank calls it at the same point of its run.
  virtual std::vector<std::string> AllGatherBytes(const std::string& mine) = 0;
};

// The blocks [first, end) of `blocks` that rank `rank` of `ranks` works: contiguous shares that
// differ by at most one block, the earlier ranks taking the larger ones.
struct BlockShare {
  std::uint32_t first, end;
};
BlockShare ShareOfBlocks(std::uint32_t blocks, std::uint32_t rank, std::uint32_t ranks);

}  // namespace vorn
