// The run's one seed and the generators derived from it per purpose.
#pragma once
#include <cstdint>

#include "numerics/mersenne_twister.h"

namespace vorn {

// What a generator is drawn for. Each purpose has generators of its own, derived from the run's
// seed, the purpose and a running index, so drawing more for one purpose (more sites, random
// starts) never shifts what another draws. The numbers enter the derivation: add new purposes at
// the end and never renumber, or every seed printed by an earlier version repeats differently.
enum class RandomPurpose : std::uint32_t {
  kSiteCounts = 1,      // random numbers of sites per gene of a simulation
  kRandomTree = 2,      // the shape and branch lengths of a random tree
  kParameterDraws = 3,  // every "rand" value of the control file, one generator per value
  kInitialization = 4,  // random starting values of the estimation
  kSimulation = 5,      // root states, never-gaining sites, events and hidden values of simulated sites
  kStarts = 6,          // the further starts of a fit with several, one generator per start
  kReplicates = 7,      // the seeds of the replicate data sets of one simulate command line
};

// The one 32-bit seed every random draw of a run derives from: the driver sets it before anything
// is drawn (from --seed, or from the clock). Setting it also seeds the process-wide generator of
// the simulation's rate multipliers (StandardRandom) with the seed itself, and restarts every
// purpose's count, so a test that sets a seed replays a whole run. 0 until set.
void SetRunSeed(std::uint32_t seed);
std::uint32_t RunSeed();

// The generator of (run seed, purpose, index): MT19937 seeded from that array of three words, the
// same whichever thread asks, and in whatever order.
MersenneTwister DerivedGenerator(RandomPurpose purpose, std::uint32_t index);

// The next generator of a purpose: DerivedGenerator with the indices 0, 1, 2, ... counted per
// purpose since SetRunSeed. For the parts of a run that draw one after another (reading the
// control file, the simulation); the count is not guarded against threads.
MersenneTwister NextGenerator(RandomPurpose purpose);

}  // namespace vorn
