// The rate categories of the loss and gain gamma distributions.
#pragma once
#include <cstdint>
#include <vector>

namespace vorn {

// One gamma distribution of rate multipliers (mean 1), cut into categories. A loss set has
// equal weights. A gain set keeps category 0 for sites that never gain (rate 0, weight nu).
class RateCategories {
 public:
  void InitLossCategories(std::uint16_t n);
  void InitGainCategories(std::uint16_t n);
  void InitGainCategories(std::uint16_t n, double nu);
  // One loss (or two gain) categories never read the shape, so 0 ("no variation") is safe.
  void SetLossRates(double llambda);
  void SetGainRates(double glambda, double nu);

  std::uint16_t count = 0;
  std::vector<double> rates, weights;
  std::vector<double> percentiles;  // count entries for loss, count - 1 for gain
};

}  // namespace vorn
