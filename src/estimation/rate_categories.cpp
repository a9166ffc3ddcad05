// Gamma rate categories: their rates and weights.
#include "estimation/rate_categories.h"

#include "numerics/statistics.h"

namespace vorn {
namespace {

// Midpoints of n equal-probability intervals, by repeated addition.
void MidpointPercentiles(std::vector<double>& percentiles, std::uint16_t n) {
  percentiles.assign(n, 0.0);
  if (n == 0) return;
  percentiles[0] = 0.5 / n;
  for (std::uint16_t i = 1; i < n; ++i) percentiles[i] = percentiles[i - 1] + 1.0 / n;
}

}  // namespace

void RateCategories::InitLossCategories(std::uint16_t n) {
  count = n;
  rates.assign(n, 0.0);
  weights.assign(n, 1.0 / n);
  MidpointPercentiles(percentiles, n);
}

void RateCategories::InitGainCategories(std::uint16_t n) {
  count = n;
  rates.assign(n, 0.0);
  weights.assign(n, 0.0);
  MidpointPercentiles(percentiles, static_cast<std::uint16_t>(n - 1));
}

void RateCategories::InitGainCategories(std::uint16_t n, double nu) {
  InitGainCategories(n);
  weights[0] = nu;
  for (std::uint16_t j = 1; j < n; ++j) weights[j] = (1 - nu) / (n - 1);
}

void RateCategories::SetLossRates(double llambda) {
  if (count == 1) {
    rates[0] = 1;
    return;
  }
  double sum = 0;
  for (std::uint16_t i = 0; i < count; ++i) {
    rates[i] = gammainv(percentiles[i], llambda, 1 / llambda);
    sum += rates[i];
  }
  for (std::uint16_t i = 0; i < count; ++i) rates[i] *= count / sum;
}

void RateCategories::SetGainRates(double glambda, double nu) {
  weights[0] = nu;
  rates[0] = 0;
  if (count == 2) {
    weights[1] = 1 - nu;
    rates[1] = 1;
    return;
  }
  double sum = 0;
  for (std::uint16_t j = 1; j < count; ++j) {
    weights[j] = (1 - nu) * (1.0 / (count - 1));
    rates[j] = gammainv(percentiles[j - 1], glambda, 1 / glambda);
    sum += rates[j];
  }
  for (std::uint16_t j = 0; j < count; ++j) rates[j] *= (count - 1) / sum;
}

}  // namespace vorn
