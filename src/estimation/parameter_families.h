// The model's eight parameter families in one table: their names as printed, whether they hold
// one value, one per gene or one per node, how a change in them is measured, and their ranges.
// The monitor, the history, the report, results.json, the optimizers and the gradient all read
// the families from here.
#pragma once
#include <cstdint>

namespace vorn {

class EvolModel;
class RateCategories;
struct FitLimits;
struct FitSettings;

// In the order of the model's updates (and of the history files and the report).
enum ParameterFamily : int { kP0, kTheta, kPhi, kEta, kXi, kNu, kLLambda, kGLambda, kNoFamily = -1 };
constexpr int kFamilyCount = 8;

enum class Extent { kModel, kGene, kNode };

struct FamilyInfo {
  const char* name;         // as the report prints it: "p0", "theta", ..., "l-lambda"
  const char* fileName;     // in the history file's name: "p0", ..., "llambda"
  const char* lineName;     // in the iteration-limit warning: "P0", ..., "L-LAMBDA"
  Extent extent;
  // Rates and shapes are judged per relative change and searched on a log scale; probabilities
  // per unit and on a logit scale.
  bool rate;
  // phi and xi may start at 0, so their relative change is measured against 0 + 2^-52.
  bool fromZero;
};

const FamilyInfo& Family(ParameterFamily family);
inline const char* FamilyName(ParameterFamily family) { return Family(family).name; }

// The value of one entry (index: gene or node; 0 for the model-wide families).
double Value(const EvolModel& model, ParameterFamily family, std::uint32_t index);
double& Value(EvolModel& model, ParameterFamily family, std::uint32_t index);

// The relative change the convergence measures use: |new - old| / old, with the epsilon of the
// families that may start at 0. 0 / 0 is not a number, which no tolerance test counts as above.
double RelativeChange(double newValue, double oldValue, ParameterFamily family);

// The smallest theta and eta the updates return, and phi's and xi's bounds.
constexpr double kThetaFloor = 0.0001;
constexpr double kEtaFloor = 1.1920928955078125e-07;  // 2^-23: below it 1 - exp(-eta r t) rounds to 0
constexpr double kPhiCeiling = 0.9999;
// xi never goes below 2^-23: at 0 a branch could never gain again (the E-step would give its
// gains no weight), and the likelihood lost by the floor is below what any tolerance resolves.
constexpr double kXiFloor = 1.1920928955078125e-07;
// The largest shape an update returns.
constexpr double kShapeCeiling = 5000;

// The range of an estimated value. The caps of theta and eta apply to the rate of the fastest
// category, so their upper bounds are the caps over its multiplier.
struct Range {
  double lower, upper;
};
Range FamilyRange(ParameterFamily family, const FitSettings& settings, const FitLimits& limits,
                  const RateCategories& loss, const RateCategories& gain);

}  // namespace vorn
