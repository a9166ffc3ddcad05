#include "numerics/statistics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "numerics/mersenne_twister.h"
#include "support/test_support.h"

namespace vorn {
namespace {

struct UnaryVector {
  double x, expected;
};
struct GammaincVector {
  double x, a, P, dP;
};
// gammapdf (x, a, b) or gammainv (p, a, b).
struct GammaVector {
  double arg, a, b, expected;
};

// Reference values: mpmath 1.2.1 at 60 digits, rounded once to double, written by
// tests/testdata/numerics/make_statistics_vectors.py.
#include "testdata/numerics/statistics_vectors.inc"


// Relative agreement; below 1e-300 an absolute one, as subnormal results carry few digits.
::testing::AssertionResult Agrees(double actual, double expected, double relTol) {
  const double diff = std::fabs(actual - expected);
  if (actual == expected || diff <= 1e-300 || diff <= relTol * std::fabs(expected)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << actual << " vs " << expected << ", relative error " << diff / std::fabs(expected);
}

// Within `tolerance` of the reference value, relative or (absolute) absolute.
template <typename Function, std::size_t N>
void CheckUnary(Function function, const UnaryVector (&vectors)[N], double tolerance, bool absolute = false) {
  for (const UnaryVector& v : vectors) {
    SCOPED_TRACE(testing::Message() << "x = " << v.x);
    const double actual = function(v.x);
    EXPECT_TRUE(absolute ? std::fabs(actual - v.expected) <= tolerance : Agrees(actual, v.expected, tolerance))
        << actual << " vs " << v.expected;
  }
}

TEST(StatisticsTest, MatchesReferenceValuesOnBothSidesOfEveryBranch) {
  CheckUnary(gammaln, kGammalnVectors, 1e-13);
  CheckUnary(psi, kPsiVectors, 1e-13);
  CheckUnary(erfc, kErfcVectors, 1e-13);
  CheckUnary(erfcinv, kErfcinvVectors, 1e-13);
}

// Absolute errors where relative ones are not to be had. psi is ln y minus a sum near 1, so its
// error is a few ulps of ln 9; near its root 1.4616... that is not 1e-13 of the value (the relative
// error exceeds it within 0.004 of the root). erfcinv's Halley step subtracts y from erfc(x), which
// is rounded to the grid of doubles near y: near y = 1 that leaves about 1e-16 (relative above 1e-13
// when |y - 1| < 1e-3; the initial 1.2e-9 stays once x is below 1e-16). Near 2, erfc(x) of a
// negative x is rounded next to 2 and the slope is e^-x^2 small: above 2 - 1e-5 the relative error
// grows to 1.2e-9. For a subnormal y, erfc(x) has too few digits for the step to help at all.
TEST(StatisticsTest, PsiAtItsRootAndErfcinvNearOneTwoAndZero) {
  CheckUnary(psi, kPsiRootVectors, 2e-15, true);
  CheckUnary(erfcinv, kErfcinvNearOneVectors, 2e-16, true);
  CheckUnary(erfcinv, kErfcinvOuterVectors, 2e-9);
}

// The prefactor x^a e^-x / Gamma(a + 1) is one exp of a difference of terms near a ln x, so its
// rounding grows with the shape: below 1e-13 up to shape 70, 2.4e-13 at 150, 1.2e-11 at 5000;
// hence a * 3e-15 above shape 33. The continued fraction stops on the second derivative, which
// leaves up to 1.2e-12 in dP where it converges slowest (x = a + 1).
double ShapeTolerance(double a) { return std::max(1e-13, a * 3e-15); }

TEST(StatisticsTest, GammaincAndGammacdfMatchReferenceValues) {
  for (const GammaincVector& v : kGammaincVectors) {
    SCOPED_TRACE(testing::Message() << "x = " << v.x << ", a = " << v.a);
    const double relTol = ShapeTolerance(v.a);
    double P, dP;
    gammainc(v.x, v.a, &P, &dP);
    EXPECT_TRUE(Agrees(P, v.P, relTol));
    if (v.a <= 100) {
      EXPECT_TRUE(Agrees(dP, v.dP, 2e-12));
    }
    EXPECT_TRUE(Agrees(gammacdf(v.x, v.a, 1), v.P, relTol));
    EXPECT_TRUE(Agrees(gammacdf(v.x * 0.25, v.a, 0.25), v.P, relTol));
  }
  for (const GammaincVector& v : kGammaincLargeShapeVectors) {
    SCOPED_TRACE(testing::Message() << "x = " << v.x << ", a = " << v.a);
    // Above 2^20 the shape is rescaled to 2^20, which keeps the normal approximation's accuracy.
    EXPECT_NEAR(gammacdf(v.x, v.a, 1), v.P, 2e-4);
  }
}

TEST(StatisticsTest, GammapdfMatchesReferenceValues) {
  for (const GammaVector& v : kGammapdfVectors) {
    SCOPED_TRACE(testing::Message() << "x = " << v.arg << ", a = " << v.a << ", b = " << v.b);
    EXPECT_TRUE(Agrees(gammapdf(v.arg, v.a, v.b), v.expected, ShapeTolerance(v.a)));
  }
}

TEST(StatisticsTest, GammainvMatchesReferenceQuantiles) {
  for (const GammaVector& v : kGammainvVectors) {
    SCOPED_TRACE(testing::Message() << "p = " << v.arg << ", a = " << v.a << ", b = " << v.b);
    EXPECT_TRUE(Agrees(gammainv(v.arg, v.a, v.b), v.expected, 1e-11));
  }
}

TEST(StatisticsTest, GammainvStopsWhereTheDistributionFunctionStopsBeingExact) {
  // P(a, x) errs by about 1e-12 at these points, and Newton alternated between two x 1e-11
  // apart, each step above 2^-39 x, until the process ended with "too many iterations". The
  // first shape is one a simulation may draw, the second one the shape search once tried.
  const double a = 0.94672070793140473, p = 0.95205542161320844;
  const double x = gammainv(p, a, 1);
  EXPECT_NEAR(gammacdf(x, a, 1), p, 1e-11);
  EXPECT_NEAR(x, 2.93307299998, 1e-10);
  const double large = 368891.83913180506;
  // The median of a gamma of mean 1 lies 1 / (3 a) below the mean, to order 1 / a^2.
  EXPECT_NEAR(gammainv(0.5, large, 1 / large), 1 - 1 / (3 * large), 1e-10);
}

// Outputs of the standard generator's recurrence x <- 214013 x + 2531011, found by brute force.
std::uint32_t Lcg(std::uint32_t x) { return 214013U * x + 2531011U; }
int LcgOutput(std::uint32_t x) { return static_cast<int>((x >> 16) & 32767U); }
std::uint32_t SeedWhoseFirstOutputIs(int k) {
  std::uint32_t seed = 0;
  while (LcgOutput(Lcg(seed)) != k) ++seed;
  return seed;
}

TEST(StatisticsTest, GammarandRedrawsTheTopValueAndGivesZeroForZero) {
  const std::uint32_t seed = SeedWhoseFirstOutputIs(32767);
  const std::uint32_t second = Lcg(Lcg(seed));
  SeedStandardRandom(seed);
  const double u = LcgOutput(second) / 32767.0;
  EXPECT_TRUE(Agrees(gammarand(1, 2), -2 * std::log1p(-u), 1e-11));  // a percentile 1 would exit
  EXPECT_EQ(StandardRandom(), LcgOutput(Lcg(second)));  // exactly one value was drawn again
  SeedStandardRandom(SeedWhoseFirstOutputIs(0));
  EXPECT_EQ(gammarand(0.5, 2), 0.0);
}

TEST(StatisticsDeathTest, EdgesAndDomainErrorsAsTheCaseTableSays) {
  using Arguments = const std::vector<double>&;
  const std::map<std::string, std::function<std::vector<double>(Arguments)>> functions = {
      {"gammaln", [](Arguments x) { return std::vector<double>{gammaln(x[0])}; }},
      {"psi", [](Arguments x) { return std::vector<double>{psi(x[0])}; }},
      {"erfc", [](Arguments x) { return std::vector<double>{erfc(x[0])}; }},
      {"erfcinv", [](Arguments x) { return std::vector<double>{erfcinv(x[0])}; }},
      {"fix", [](Arguments x) { return std::vector<double>{fix(x[0])}; }},
      {"safeexp", [](Arguments x) { return std::vector<double>{safeexp(x[0])}; }},
      {"gammapdf", [](Arguments x) { return std::vector<double>{gammapdf(x[0], x[1], x[2])}; }},
      {"gammacdf", [](Arguments x) { return std::vector<double>{gammacdf(x[0], x[1], x[2])}; }},
      {"gammainv", [](Arguments x) { return std::vector<double>{gammainv(x[0], x[1], x[2])}; }},
      {"gammainc", [](Arguments x) {
         double P = 0, dP = 0;
         gammainc(x[0], x[1], &P, &dP);
         return std::vector<double>{P, dP};
       }},
  };
  const auto numbers = [](const std::string& text) {
    std::vector<double> out;
    char* end = nullptr;
    for (const char* p = text.c_str(); out.push_back(std::strtod(p, &end)), end != p && *end; p = end) {}
    return out;
  };
  for (const std::vector<std::string>& c : testing_support::CaseTable("statistics_edges.txt")) {
    SCOPED_TRACE(c[0] + "(" + c[1] + ")");
    const auto& function = functions.at(c[0]);
    const std::vector<double> arguments = numbers(c[1]);
    if (c[2].rfind("Error:", 0) == 0) {
      try {
        function(arguments);
        ADD_FAILURE() << "no error";
      } catch (const NumericDomainError& error) {
        EXPECT_EQ(error.what(), c[2] + "\n");
      }
    } else {
      EXPECT_EQ(function(arguments), numbers(c[2]));
    }
  }
}

}  // namespace
}  // namespace vorn
