#include "estimation/lambda_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

namespace vorn {
namespace {

const double kGolden = (1 + std::sqrt(5.0)) / 2;

// Brackets worked out by hand from the steps of downhill bracketing: halve towards the minimum
// allowed while the current value lies higher, then step out by the golden ratio, with parabolic
// jumps, until the function rises again.
TEST(BracketMinimumTest, HandWorkedBrackets) {
  const struct {
    const char* name;
    std::function<double(double)> f;
    double m, current;
    Bracket expected;
  } cases[] = {
      // f(0) = 4, f(1) = 1, f(1 + g) = 0.38: the parabola through three points of a parabola has
      // its vertex at the minimum 2, which lies below f(1 + g).
      {"parabola", [](double x) { return (x - 2) * (x - 2); }, 0, 1, {1, 2, 1 + kGolden}},
      // f(4) = 12.25 above f(0) = 0.25: halved to 2 (2.25), then to 1 (0.25, no longer above);
      // f(1 + g) = 4.49 rises.
      {"halved", [](double x) { return (x - 0.5) * (x - 0.5); }, 0, 4, {0, 1, 1 + kGolden}},
      // f(4) = 0 above f(0) = -1; the midpoint 2 (f = 4) lies higher still, so the minimum sought
      // lies right of it: [2, 4], then out to 4 + 2g.
      {"right of the midpoint", [](double x) { return x < 0.5 ? -1 : (x - 4) * (x - 4); }, 0, 4,
       {2, 4, 4 + 2 * kGolden}},
      // A midpoint as high as the right end says nothing of where the minimum lies: halving goes
      // on, 4 to 2, 1, 0.5 and 0.25, the first point below f(4).
      {"step", [](double x) { return x < 0.3 ? 0.0 : 2.0; }, 0, 4, {0, 0.25, 0.25 * (1 + kGolden)}},
      // A flat stretch from 0.5 to 3: f(1 + g) equals f(1), which is not a descent.
      {"flat", [](double x) { return x < 0.5 ? 2.0 : x < 3 ? 1.0 : 5.0; }, 0, 1, {0, 1, 1 + kGolden}},
      // A straight line, then flat from 3: the parabola through three points of the line has no
      // vertex (its curvature is exactly 0), so the step runs to the growth limit, 100 times the
      // last one (1 + 100 g). The next parabolic point lies between, on the flat, neither below the
      // right end nor above the middle: a golden step follows, as flat as the right end, which stops.
      {"line", [](double x) { return x < 3 ? -x : -3.0; }, 0, 1,
       {1 + kGolden, 1 + 100 * kGolden, 1 + 100 * kGolden + 99 * kGolden * kGolden}},
      // Rising everywhere: halving reaches the minimum allowed, and the bracket collapses on it.
      {"rising", [](double x) { return x; }, 0.05, 1, {0.05, 0.05, 0.05}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bracket b = BracketMinimum(c.f, c.m, c.current);
    EXPECT_NEAR(b.a, c.expected.a, 1e-12);
    EXPECT_NEAR(b.b, c.expected.b, 1e-12);
    EXPECT_NEAR(b.c, c.expected.c, 1e-12);
  }
}

TEST(BracketMinimumTest, LongWalksStillBracketTheMinimum) {
  // From the minimum allowed itself, a first step of 0.001, then growth up to 100 times the last
  // step: the walk to a minimum far away must end with a < x* < c and f(b) below both ends.
  for (double minimum : {2.0, 40.0, 900.0}) {
    SCOPED_TRACE(minimum);
    const auto f = [minimum](double x) { return std::log(x) + minimum / x; };  // least at x = minimum
    const Bracket b = BracketMinimum(f, 1, 1);
    EXPECT_LT(b.a, minimum);
    EXPECT_GT(b.c, minimum);
    EXPECT_LE(f(b.b), std::min(f(b.a), f(b.c)));
  }
}

TEST(BrentQLTest, FindsKnownMinima) {
  const struct {
    const char* name;
    std::function<double(double)> f;
    Bracket bracket;
    double minimum;
  } cases[] = {
      {"parabola", [](double x) { return (x - 2) * (x - 2); }, {0, 1, 3}, 2},
      {"x - ln x", [](double x) { return x - std::log(x); }, {0.1, 0.5, 3}, 1},
      {"a kink, found by golden sections", [](double x) { return std::abs(x - 1.3); }, {0, 1, 5}, 1.3},
      {"bracket given right to left", [](double x) { return std::cosh(x - 0.7); }, {3, 1, -2}, 0.7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(BrentQL(c.f, c.bracket), c.minimum, 1e-7);  // it stops within 2e-8 |x| + 2e-10
  }
  // The parabola through three points of a parabola has its vertex at the minimum: a few
  // evaluations, where golden sections alone would take dozens.
  int evaluations = 0;
  BrentQL([&evaluations](double x) { return ++evaluations, (x - 2) * (x - 2); }, {0, 1, 3});
  EXPECT_LE(evaluations, 8);
}

TEST(BestShapeTest, TheShapeStaysWithinItsBounds) {
  const struct {
    std::function<double(double)> f;
    double current, expected;
  } cases[] = {
      {[](double x) { return (x - 7) * (x - 7); }, 1, 7},
      {[](double x) { return x; }, 3, 0.05},  // least at the minimum allowed
  };
  for (const auto& c : cases) EXPECT_NEAR(BestShape(c.f, 0.05, c.current), c.expected, 1e-6);
  // An objective that falls without end: the search runs to the ceiling, and none of its trial
  // shapes may lie beyond it (rate categories there once ended the process in gammainv).
  for (double current : {0.05, 1.0, 4999.0, 5000.0}) {
    SCOPED_TRACE(current);
    double largest = 0;
    const auto falling = [&largest](double x) {
      largest = std::max(largest, x);
      return -x;
    };
    EXPECT_EQ(BestShape(falling, 0.05, current), 5000);
    EXPECT_LE(largest, 5000);
  }
}

}  // namespace
}  // namespace vorn
