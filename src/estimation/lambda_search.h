// The one-dimensional search of the gamma shapes: bracketing and Brent's method.
#pragma once
#include <cmath>
#include <cstdio>

#include "data/diagnostics.h"
#include "estimation/parameter_families.h"

namespace vorn {

// Three points a, b, c with f(b) not above f(a) and f(c), or a bracket collapsed onto its start.
struct Bracket {
  double a, b, c;
};

namespace lambda_search {
constexpr double kGold = 1.618033988749895;
constexpr double kCGold = 0.3819660112501051;
constexpr double kTiny = 2.220446049250313e-16;
constexpr double kFirstStep = 0.001;
constexpr double kGrowthLimit = 100;
constexpr int kMaxBrentIterations = 100;
constexpr double kCeiling = kShapeCeiling;
inline double Sign(double s, double z) { return z >= 0 ? std::abs(s) : -std::abs(s); }
}  // namespace lambda_search

// Downhill bracketing from the smallest allowed shape m towards and past the current value.
template <typename Objective>
Bracket BracketMinimum(Objective f, double m, double current) {
  using namespace lambda_search;
  double a = m, b = current;
  if (b == a) b = a + kFirstStep;
  double fa = f(a), fb = f(b);
  while (fb > fa) {
    const double previous = b;
    b = (a + b) / 2;
    if (b < a + kFirstStep) return {a, a, a};
    const double fm = f(b);
    if (fm > fb) {
      // The minimum lies between the midpoint and the previous right end, whose value fb is.
      a = b;
      fa = fm;
      b = previous;
    } else {
      fb = fm;
    }
  }
  double c = b + kGold * (b - a);
  double fc = f(c);
  while (fb > fc) {
    const double r = (b - a) * (fb - fc);
    const double q = (b - c) * (fb - fa);
    double d = q - r;
    if (std::abs(d) < kTiny) d = d >= 0 ? kTiny : -kTiny;
    double u = b - ((b - c) * q - (b - a) * r) / (2 * d);
    const double ulim = b + kGrowthLimit * (c - b);
    double fu;
    if ((b - u) * (u - c) > 0) {
      fu = f(u);
      if (fu < fc) return {b, u, c};
      if (fu > fb) return {a, b, u};
      u = c + kGold * (c - b);
      fu = f(u);
    } else if ((c - u) * (u - ulim) > 0) {
      fu = f(u);
      if (fu < fc) {
        b = c;
        c = u;
        u = c + kGold * (c - b);
        fb = fc;
        fc = fu;
        fu = f(u);
      }
    } else if ((u - ulim) * (ulim - c) >= 0) {
      u = ulim;
      fu = f(u);
    } else {
      u = c + kGold * (c - b);
      fu = f(u);
    }
    a = b;
    b = c;
    c = u;
    fa = fb;
    fb = fc;
    fc = fu;
  }
  return {a, b, c};
}

// Brent's method: parabolic steps where they behave, golden sections where they do not.
// Relative tolerance 1e-8, absolute 1e-10, at most 100 iterations.
template <typename Objective>
double BrentQL(Objective f, const Bracket& bracket) {
  using namespace lambda_search;
  double lo = bracket.a < bracket.c ? bracket.a : bracket.c;
  double hi = bracket.a > bracket.c ? bracket.a : bracket.c;
  double x = bracket.b, w = x, v = x;
  double fx = f(x), fw = fx, fv = fx;
  double e = 0, d = 0;
  for (int iteration = 1; iteration <= kMaxBrentIterations; ++iteration) {
    const double xm = (lo + hi) / 2;
    const double tol1 = 1e-8 * std::abs(x) + 1e-10;
    const double tol2 = 2 * tol1;
    if (std::abs(x - xm) <= tol2 - (hi - lo) / 2) return x;
    bool golden = true;
    if (std::abs(e) > tol1) {
      const double r = (x - w) * (fx - fv);
      double q = (x - v) * (fx - fw);
      double p = (x - v) * q - (x - w) * r;
      q = 2 * (q - r);
      if (q > 0) p = -p;
      q = std::abs(q);
      const double etemp = e;
      e = d;
      if (!(std::abs(p) >= std::abs(q * etemp / 2) || p <= q * (lo - x) || p >= q * (hi - x))) {
        golden = false;
        d = p / q;
        const double u = x + d;
        if (u - lo < tol2 || hi - u < tol2) d = Sign(tol1, xm - x);
      }
    }
    if (golden) {
      e = x >= xm ? lo - x : hi - x;
      d = kCGold * e;
    }
    const double u = std::abs(d) >= tol1 ? x + d : x + Sign(tol1, d);
    const double fu = f(u);
    if (fu <= fx) {
      if (u >= x) {
        lo = x;
      } else {
        hi = x;
      }
      v = w;
      w = x;
      x = u;
      fv = fw;
      fw = fx;
      fx = fu;
    } else {
      if (u < x) {
        lo = u;
      } else {
        hi = u;
      }
      if (fu <= fw || w == x) {
        v = w;
        w = u;
        fv = fw;
        fw = fu;
      } else if (fu <= fv || v == x || v == w) {
        v = u;
        fv = fu;
      }
    }
  }
  // The best point found stands: the shape update still raises Q. Scripts learn of it from
  // results.json, where it is recorded beside the warnings.
  Report("shape-search-limit", "BrentQL", "Error:VORN:BrentQL: Too many iterations\n", "Too many iterations");
  return x;
}

// The shape in [minimum, 5000] that minimises the objective, searched downhill from the minimum
// past the current value.
template <typename Objective>
double BestShape(Objective objective, double minimum, double current) {
  constexpr double ceiling = lambda_search::kCeiling;
  // The search may look past the ceiling, where no shape is ever returned; rate categories of
  // shapes in the hundreds of thousands are also past what gammainv resolves (it runs out of
  // steps there). Beyond the ceiling the objective stays flat at its value on the ceiling.
  const auto capped = [&objective](double x) { return objective(x < ceiling ? x : ceiling); };
  const Bracket bracket = BracketMinimum(capped, minimum, current);
  // A bracket that lies wholly past the ceiling means the objective falls all the way up to it:
  // the best shape allowed is the ceiling itself, not the value we started from.
  double shape = bracket.a < ceiling ? BrentQL(capped, bracket) : ceiling;
  if (shape > ceiling) shape = ceiling;
  if (shape < minimum) shape = minimum;
  return shape;
}

}  // namespace vorn
