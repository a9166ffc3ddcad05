// One run as several cooperating processes (ranks, started by mpirun in a build with
// -DVORN_MPI=ON): every rank reads the inputs and runs the whole fit, the E-steps' blocks shared
// among them; only rank 0 writes files and prints. Without that build option, or with one rank,
// these are the functions of a process alone (ranks_serial.cpp).
#pragma once
#include <cstdint>

namespace vorn {

class EStepCommunicator;

// Before anything else of the run: joins the ranks and, on every rank but 0, sends outputs
// nowhere and keeps the printed lines back (an error among them is printed when the rank fails).
void StartRanks(int* argc, char*** argv);
// The run's status, once it is known. A failure on any rank ends every rank with status 1: the
// failing rank prints its error (rank 0 has printed it already) and stops them all; a rank whose
// partners have gone is ended by the library within seconds.
int EndRanks(int status);

// The exchange of the E-step's blocks, or nullptr when this process is alone.
EStepCommunicator* RankCommunicator();
// Every rank waits until all have come here: after rank 0 has written a file the others read.
void WaitForRanks();
// Rank 0's value, on every rank: a seed drawn from the clock must be one seed for all of them.
std::uint32_t SameOnEveryRank(std::uint32_t value);
// False on every rank but 0.
bool FirstRank();
// Whether every rank got here with `succeeded`, told to every rank: after the inputs are read, so
// that an input one rank cannot read ends every rank as a failed run ends, outputs and lock cleaned
// up, with that rank's error printed once (by the first rank that failed).
bool EveryRankSucceeded(bool succeeded);

}  // namespace vorn
