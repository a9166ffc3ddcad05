// The share of an E-step's blocks that each rank works.
#include "estimation/e_step_communicator.h"

namespace vorn {

BlockShare ShareOfBlocks(std::uint32_t blocks, std::uint32_t rank, std::uint32_t ranks) {
  const std::uint32_t base = blocks / ranks, extra = blocks % ranks;
  const std::uint32_t first = rank * base + (rank < extra ? rank : extra);
  return {first, first + base + (rank < extra ? 1U : 0U)};
}

}  // namespace vorn
