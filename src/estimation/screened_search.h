// The screened search over many starts: every start climbed a little, side by side where the
// E-step is too small to use every thread (or every rank), and only the most promising climbed to
// their end.
#pragma once
#include <cstdint>
#include <memory>

namespace vorn {

class AlignmentData;
class EM;
class EvolModel;
class HistorySink;
class PhylogeneticTree;
struct FitResult;
struct FitSettings;

// Iterations every start climbs before the starts are compared.
constexpr std::uint32_t kScreenIterations = 20;
// Starts within this many log units of the best count as having reached it.
constexpr double kSameMaximum = 0.5;

// How many of n screened starts climb on to their end.
std::uint32_t ContinuedStarts(std::uint32_t n);

// Fits from settings.starts starts (the given one and random ones drawn by DrawSpreadStart),
// screens them, climbs the best on, and leaves the best start's state in *best and the fit in
// *result. The history receives every start's course in start order, whatever ran side by side,
// so the files do not depend on the thread count. Under several ranks a small E-step's starts are
// dealt out among them and every rank ends with the same state and result. False, after its
// message, when the fit cannot start (on every rank alike).
bool ScreenedSearch(const FitSettings& settings, const EvolModel& given, const PhylogeneticTree& tree,
                    const AlignmentData& data, HistorySink& history, std::unique_ptr<EM>* best, FitResult* result);

}  // namespace vorn
