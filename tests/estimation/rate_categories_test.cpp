#include "estimation/rate_categories.h"

#include <gtest/gtest.h>

#include <cmath>

namespace vorn {
namespace {

TEST(RateCategoriesTest, SetsWithoutVariationNeverReadTheShape) {
  RateCategories loss, gain;
  loss.InitLossCategories(1);
  gain.InitGainCategories(2);
  loss.SetLossRates(0.0);  // a quantile at shape 0 would end the process
  gain.SetGainRates(0.0, 0.25);
  EXPECT_EQ(loss.rates, std::vector<double>{1.0});
  EXPECT_EQ(loss.weights, std::vector<double>{1.0});
  EXPECT_EQ(gain.rates, (std::vector<double>{0.0, 1.0}));
  EXPECT_EQ(gain.weights, (std::vector<double>{0.25, 0.75}));
}

TEST(RateCategoriesTest, ExponentialShapeGivesTheHandComputedQuartileRates) {
  // Shape 1 is the exponential: quantiles -ln(1 - p) at p = 1/8, 3/8, 5/8, 7/8, rescaled to mean 1.
  double raw[4], sum = 0;
  for (int i = 0; i < 4; ++i) {
    raw[i] = -std::log(1 - (2 * i + 1) / 8.0);
    sum += raw[i];
  }
  RateCategories loss, gain;
  loss.InitLossCategories(4);
  EXPECT_EQ(loss.percentiles, (std::vector<double>{0.125, 0.375, 0.625, 0.875}));
  loss.SetLossRates(1.0);
  gain.InitGainCategories(5, 0.2);
  EXPECT_EQ(gain.percentiles, (std::vector<double>{0.125, 0.375, 0.625, 0.875}));
  gain.SetGainRates(1.0, 0.2);
  EXPECT_EQ(gain.rates[0], 0.0);
  EXPECT_EQ(gain.weights[0], 0.2);
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(loss.rates[i], raw[i] * 4 / sum, 1e-10);  // gammainv stops within 2^-39 relative
    EXPECT_EQ(gain.rates[i + 1], loss.rates[i]);  // same percentiles, same sum
    EXPECT_DOUBLE_EQ(gain.weights[i + 1], 0.2);
    EXPECT_EQ(loss.weights[i], 0.25);
  }
}

TEST(RateCategoriesTest, RatesAverageOneForManyShapes) {
  for (double shape : {0.05, 0.3, 1.0, 7.5, 200.0, 5000.0}) {
    for (std::uint16_t n : {2, 3, 8}) {
      SCOPED_TRACE(shape);
      SCOPED_TRACE(n);
      RateCategories loss, gain;
      loss.InitLossCategories(n);
      loss.SetLossRates(shape);
      gain.InitGainCategories(static_cast<std::uint16_t>(n + 1));
      gain.SetGainRates(shape, 0.5);
      double lossSum = 0, gainSum = 0;
      for (std::uint16_t i = 0; i < n; ++i) {
        lossSum += loss.rates[i];
        gainSum += gain.rates[i + 1];
        if (i > 0) {
          EXPECT_GT(loss.rates[i], loss.rates[i - 1]);
        }
      }
      EXPECT_NEAR(lossSum / n, 1.0, 1e-14);
      EXPECT_NEAR(gainSum / n, 1.0, 1e-14);
    }
  }
}

}  // namespace
}  // namespace vorn
