// What a maximum at a bound of the model's ranges means for the model, in a line a researcher
// can put in a paper: eta at its cap, a shape at its ceiling or floor, nu or the xi at 0.
#pragma once
#include <string>
#include <vector>

namespace vorn {

struct FitReport;

struct BoundNote {
  std::string code;  // for results.json: "eta-at-cap", "glambda-at-ceiling", ...
  std::string text;
};

// The notes of the fit's estimates that ended at a bound, in the order of the families.
std::vector<BoundNote> BoundNotes(const FitReport& report);

}  // namespace vorn
