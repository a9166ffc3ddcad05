// The starting values of the estimated parameters: from the data (p0 and nu observed), from a
// Dollo parsimony reconstruction (phi and xi), from random draws, or as given; and the random
// starts of a fit from several starting points.
#pragma once
#include <cstdint>

namespace vorn {

class AlignmentData;
class EvolModel;
class MersenneTwister;
class PhylogeneticTree;
struct EstimationFlags;
struct FitSettings;
struct Range;

// Starting values of the estimated parameters into model, which holds the given values; may
// clear flags.nu (nu estimated once and then held). False, after its message, when the data
// cannot give p0 or nu.
bool InitializeParameters(const PhylogeneticTree& tree, const AlignmentData& data, const FitSettings& settings,
                          EstimationFlags& flags, EvolModel& model);
// The share of sites absent at every leaf among those without unknown values; false, after its
// message, when there is no such site or every one is absent everywhere.
bool ObservedNu(const AlignmentData& data, double* nu);

// Random starting values of the estimated parameters for a further start: theta and eta within
// their ranges.
void DrawRandomStart(MersenneTwister& random, const PhylogeneticTree& tree, const FitSettings& settings,
                     const EstimationFlags& flags, const Range& theta, const Range& eta, EvolModel& model);

// A random start for the screened search, from one of two regimes that fits of real data end in,
// taken in turn: odd starts have eta between a third of its cap and the cap with small xi (a gain
// chance per branch that hardly depends on the branch's length), even starts are drawn as
// DrawRandomStart draws them (eta small, xi anywhere).
void DrawSpreadStart(MersenneTwister& random, std::uint32_t start, const PhylogeneticTree& tree,
                     const FitSettings& settings, const EstimationFlags& flags, const Range& theta, const Range& eta,
                     EvolModel& model);

}  // namespace vorn
