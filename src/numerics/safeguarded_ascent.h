// A one-dimensional Newton ascent with bisection as its safeguard, for the M-steps.
#pragma once
#include <cmath>

namespace vorn {

// A one-dimensional objective at one point: its value, first and second derivatives, and the sum of
// the magnitudes of the terms that make up the value (the scale of its rounding error).
struct LocalObjective {
  double value = 0, slope = 0, curvature = 0, magnitude = 0;
};

// True when the objective at b is not below its value at a, up to the rounding of the two sums: two
// points whose difference the arithmetic cannot resolve count as equal, so that a Newton step near
// the maximum is not refused for noise. A value that is not a number never counts as a rise, and
// from minus infinity only a finite value rises.
inline bool NotBelow(const LocalObjective& b, const LocalObjective& a) {
  if (b.value >= a.value) return !std::isinf(a.value) || !std::isinf(b.value);
  const double noise = 1e-13 * (std::abs(a.magnitude) + std::abs(b.magnitude));
  return std::isfinite(b.value) && b.value >= a.value - noise;
}

// Maximises a one-dimensional objective by the caller's proposal rule (a Newton step, clipped to the
// range) under an ascent safeguard: a trial point is taken only where the objective does not fall;
// otherwise the step is halved towards the current point until it does, and where no halving helps
// the current point is the maximum within rounding. So the result is never worse than the start.
//   evaluate(x) -> LocalObjective
//   propose(x, local) -> the next trial point (on the side of the slope, within the range)
//   done(next, previous) -> true when the step from previous to next is small enough to stop
struct AscentResult {
  double x = 0;         // the last accepted point, the best seen
  double previous = 0;  // the accepted point before it (the start when none was accepted)
  int steps = 0;        // accepted steps
  bool stopped = false; // ended by the caller's test or at a point no step improves, not by the step limit
};

template <typename Evaluate, typename Propose, typename Done>
AscentResult SafeguardedAscent(double start, int maxSteps, Evaluate evaluate, Propose propose, Done done) {
  constexpr int kHalvings = 60;  // beyond 2^-60 of a step no double moves
  AscentResult result;
  double& x = result.x;
  x = result.previous = start;
  LocalObjective here = evaluate(x);
  for (;;) {
    if (result.steps == maxSteps) return result;
    double trial = propose(x, here);
    if (!(trial == trial) || trial == x) break;
    LocalObjective there = evaluate(trial);
    const double step = trial - x;
    int halvings = 0;
    while (!NotBelow(there, here) && halvings < kHalvings) {
      ++halvings;
      trial = x + std::ldexp(step, -halvings);
      if (trial == x) break;
      there = evaluate(trial);
    }
    if (trial == x || !NotBelow(there, here)) break;
    result.previous = x;
    x = trial;
    here = there;
    ++result.steps;
    if (done(x, result.previous)) break;
  }
  result.stopped = true;
  return result;
}

}  // namespace vorn
