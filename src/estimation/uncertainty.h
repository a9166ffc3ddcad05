// How sure a fit is of its estimates: the observed information at the maximum, on the scale the
// fast search climbs on (log for rates and shapes, logit for probabilities), its eigen-decomposition
// into the directions the data determine and those they leave flat, standard errors from the
// inverse on the determined directions, and 95 % Wald intervals mapped back to each parameter's scale
// (for a weakly informed probability, the ends where the likelihood itself has fallen enough).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "estimation/parameter_families.h"

namespace vorn {

class AlignmentData;
class EM;
class PhylogeneticTree;
struct FitResult;
struct FreeParameter;

// Half the width of a two-sided 95 % normal interval, in standard errors.
constexpr double kWaldZ = 1.959963984540054;
// An eigenvalue of the information below this share of the largest is a flat direction: the
// central differences resolve the information to about 1e-8 of its scale (see kInformationStep), so
// the share keeps two orders of magnitude above that noise, and a direction this weak has a
// standard error a thousand times that of the best-determined one, which no interval can use.
constexpr double kFlatShare = 1e-6;
// A parameter whose entry in a flat eigenvector (of norm 1) reaches this size takes part in the
// flat direction: its variance along it would be at least 1e-4 over an eigenvalue that is itself
// below 1e-6 of the largest.
constexpr double kFlatComponent = 0.01;
// Above this many estimated parameters only blocks of the information are formed: the dense
// matrix takes n^2 doubles and its decomposition n^3 operations, negligible at 500 (2 MB, 1e8)
// but a minute and 128 MB at the 4,000 of a 1,000-leaf tree. The E-steps (two per parameter) are
// the same either way.
constexpr std::size_t kFullInformationLimit = 500;

struct ParameterUncertainty {
  ParameterFamily family = kP0;
  std::uint32_t index = 0;
  double value = 0;
  bool determined = false;
  double se = 0;  // on the fit's scale; 0 when not determined
  double ciLow = 0, ciHigh = 0;  // on the parameter's scale; 0 when not determined
  std::string reason;  // empty when determined: "at bound" or "flat direction shared with ..."
};

struct Uncertainty {
  bool computed = false;
  // "full" or "blocks": the global parameters jointly, each branch's phi and xi given the rest.
  std::string approximation;
  double flatShare = kFlatShare;
  double largestEigenvalue = 0;
  std::vector<ParameterUncertainty> parameters;  // in the order of FitResult::estimates
  std::uint32_t Undetermined() const;
};

// The uncertainty at the fit's result, from E-steps of the state em at that point (which it
// leaves there, with the sums of the result). The em's model, rates and flags are set from result.
// fullLimit: the most parameters the full matrix is formed for (tests lower it to reach the blocks).
void ComputeUncertainty(EM& em, const AlignmentData& data, const PhylogeneticTree& tree, const FitResult& result,
                        Uncertainty* uncertainty, std::size_t fullLimit = kFullInformationLimit);

// The observed information (negated Hessian of the log-likelihood) in y over the given parameters,
// at the em's current model, row-major; the em is left with the sums of its last step.
std::vector<double> ObservedInformation(EM& em, const AlignmentData& data, const PhylogeneticTree& tree,
                                        const std::vector<FreeParameter>& parameters);

// A parameter's name in a reason: "eta", "xi[5]" (gene or node number).
std::string ParameterLabel(ParameterFamily family, std::uint32_t index);

// The fit's scale: y = ln x for rates and shapes, logit x for probabilities, and back.
double ToFitScale(double x, bool rate);
double FromFitScale(double y, bool rate);

}  // namespace vorn
