// Estimates at their bounds, said in the model's terms.
#include "output/bound_notes.h"

#include <cstdio>

#include "data/alignment_data.h"
#include "estimation/fit.h"
#include "output/run_report.h"

namespace vorn {
namespace {

std::string Number(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

}  // namespace

std::vector<BoundNote> BoundNotes(const FitReport& report) {
  std::vector<BoundNote> notes;
  std::uint32_t xiAtFloor = 0, xiCount = 0;
  for (const FreeParameter& f : report.fit.estimates) {
    // Within a millionth, relative for rates and shapes, absolute for probabilities, as the
    // results' at_bound marks them.
    constexpr double kNear = 1e-6;
    const bool low = f.rate ? f.value <= f.lower * (1 + kNear) : f.value - f.lower <= kNear;
    const bool high = !low && (f.rate ? f.value >= f.upper * (1 - kNear) : f.upper - f.value <= kNear);
    const std::string gene =
        f.family == kTheta || f.family == kEta
            ? (report.data.geneCount > 1 ? " of gene " + report.data.genes[f.index].geneName : std::string())
            : std::string();
    switch (f.family) {
      case kTheta:
        if (high) notes.push_back({"theta-at-cap", "theta" + gene + " is at its cap: the chance of a loss on a branch "
                                                   "hardly depends on its length"});
        break;
      case kEta:
        if (high) notes.push_back({"eta-at-cap", "eta" + gene + " is at its cap: the chance of a gain on a branch "
                                                 "hardly depends on its length"});
        break;
      case kXi:
        ++xiCount;
        if (low) ++xiAtFloor;
        break;
      case kNu:
        if (low) notes.push_back({"nu-at-zero", "nu is at 0: no share of the sites is kept from gaining"});
        break;
      case kLLambda:
      case kGLambda: {
        const bool loss = f.family == kLLambda;
        const std::string name = loss ? "l-lambda" : "g-lambda", what = loss ? "loss" : "gain";
        if (high) {
          notes.push_back({loss ? "llambda-at-ceiling" : "glambda-at-ceiling",
                           name + " is at its ceiling (" + Number(f.upper) + "): " + what +
                               " rates hardly vary across sites"});
        } else if (low) {
          notes.push_back({loss ? "llambda-at-minimum" : "glambda-at-minimum",
                           name + " is at its minimum (" + Number(f.lower) + "): " + what +
                               " rates vary across sites more than the rate categories can show"});
        }
        break;
      }
      default: break;
    }
  }
  if (xiAtFloor > 0) {
    notes.push_back({"xi-at-zero", std::to_string(xiAtFloor) + " of " + std::to_string(xiCount) +
                                       " xi are at their floor: those branches gain (almost) nothing"});
  }
  return notes;
}

}  // namespace vorn
