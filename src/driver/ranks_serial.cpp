// The ranks of a build without MPI: this process alone.
#include "driver/ranks.h"

namespace vorn {

void StartRanks(int*, char***) {}
int EndRanks(int status) { return status; }
EStepCommunicator* RankCommunicator() { return nullptr; }
void WaitForRanks() {}
std::uint32_t SameOnEveryRank(std::uint32_t value) { return value; }
bool FirstRank() { return true; }
bool EveryRankSucceeded(bool succeeded) { return succeeded; }

}  // namespace vorn
