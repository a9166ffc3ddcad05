#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <memory>
#include <vector>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "data/progress.h"
#include "estimation/em.h"
#include "estimation/history_files.h"
#include "numerics/mersenne_twister.h"

namespace vorn {
namespace {

// One estimated parameter as a coordinate of the search: which value it is and its range.
struct Coordinate {
  int family;
  std::uint32_t index;
  double lower, upper;
  // For xi with one gene: the branch length, when the coordinate is the branch's gain chance at rate
  // 1, xi (1 - e^(-eta t)), instead of xi itself; 0 otherwise.
  double coupledLength = 0;
};

double& Slot(EvolModel& model, const Coordinate& c) {
  switch (c.family) {
    case 0: return model.p0;
    case 1: return model.theta[c.index];
    case 2: return model.phi[c.index];
    case 3: return model.eta[c.index];
    case 4: return model.xi[c.index];
    case 5: return model.nu;
    case 6: return model.llambda;
    default: return model.glambda;
  }
}

// The search runs on unbounded coordinates: y = ln x for the rates and shapes, y = logit x for the
// probabilities, so that near 0 a step in y is a relative change, and a probability never leaves
// (0, 1). Bounds inside those (the floors of theta, eta and xi, the ceilings of the rates and of phi)
// clip x; a clipped coordinate does not move with y, and its y is pinned at the bound. Measured
// from 0 rather than from a floor, a rate at its floor keeps the gradient that can lift it (the
// derivative of the gains in eta near 0 grows like 1 / eta). A probability at exactly 0 or 1 starts
// a hair inside.
constexpr double kInside = 1e-12;

bool IsRate(const Coordinate& c) { return c.family == 1 || c.family == 3 || c.family >= 6; }

double ToFree(double x, const Coordinate& c) {
  if (IsRate(c)) return std::log(x);
  const double u = std::min(std::max(x, kInside), 1 - kInside);
  return std::log(u) - std::log1p(-u);
}

// The logistic as 1 / (1 + e^-y): exact to rounding at both ends, and 0, not 0 / 0, where e^-y
// overflows.
double FromFree(double y, const Coordinate& c) {
  const double x = IsRate(c) ? std::exp(y) : 1 / (1 + std::exp(-y));
  return std::min(std::max(x, c.lower), c.upper);
}

// dx/dy at x, or 0 where x is held at a bound the gradient points out of.
double Stretch(double x, double gradient, const Coordinate& c) {
  if ((x <= c.lower && gradient < 0) || (x >= c.upper && gradient > 0)) return 0;
  return IsRate(c) ? x : x * (1 - x);
}

double Dot(const std::vector<double>& a, const std::vector<double>& b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += a[i] * b[i];
  return sum;
}

// A pair of the limited-memory quasi-Newton update: a step in y and the change of the gradient of
// the negated log-likelihood along it.
struct Pair {
  std::vector<double> step, change;
  double rho;
};

constexpr std::size_t kMemory = 30;
constexpr int kLineSearchTrials = 20;
constexpr double kArmijo = 1e-4;
constexpr double kLargestMove = 5;
constexpr std::size_t kWindow = 20;
// The longest expansion of a line search, as a move of one coordinate in y.
constexpr double kLargestStretch = 40;

}  // namespace

void EM::IterateFast(const AlignmentData& data, const PhylogeneticTree& tree, HistoryFiles& history) {
  std::vector<Coordinate> coordinates;
  std::vector<double> gradient;  // of the log-likelihood in y
  // The inverse curvature of Q in each y: the step EM would take in that coordinate alone for a
  // unit of gradient. It scales the quasi-Newton steps coordinate by coordinate, which one
  // common scale cannot do when rates, probabilities near 0 and shapes meet in one search.
  std::vector<double> inverseCurvature;
  // With one gene, the likelihood depends on eta and xi almost only through the branches' gain
  // chances xi (1 - e^(-eta r t)), exactly so without gain-rate variation: a ridge along which eta
  // runs while every xi shrinks (on real data eta climbs to its cap from a start of 2). Searched in
  // xi itself, that ridge is a curved valley a quasi-Newton method creeps along; searched in the
  // gain chance at rate 1, it is straight (eta alone moves along it).
  const bool coupled = model.geneCount == 1 && flags.eta[0] && flags.xiAny;
  auto opening = [this](double length) { return -std::expm1(-model.eta[0] * length); };
  std::size_t etaAt = 0;
  auto collect = [&]() {
    std::vector<FreeParameter> free;
    ForEachFreeParameter(data, tree, [&](const FreeParameter& f) { free.push_back(f); });
    coordinates.clear();
    gradient.clear();
    inverseCurvature.clear();
    double etaThroughXi = 0;  // d ln L / d eta through the xi that keep their gain chances
    for (const FreeParameter& f : free) {
      coordinates.push_back({f.family, f.index, f.lower, f.upper});
      Coordinate& c = coordinates.back();
      if (c.family == 3) etaAt = coordinates.size() - 1;
      double value = f.value, slope = f.gradient, bend2 = f.curvature;
      double stretch = Stretch(f.value, f.gradient, c);
      if (coupled && c.family == 4 && tree.branchLength[c.index] > 0) {
        c.coupledLength = tree.branchLength[c.index];
        const double open = opening(c.coupledLength);
        value = f.value * open;  // the gain chance
        slope = f.gradient / open;
        bend2 = f.curvature / (open * open);
        stretch = stretch == 0 ? 0.0 : value * (1 - value);
        if (stretch > 0) {
          const double length = c.coupledLength;
          etaThroughXi += f.gradient * -f.value * (length * std::exp(-model.eta[0] * length)) / open;
        }
      }
      // A probability pressed against 0 or 1 by its gradient is held there for this step: in y it
      // is flat, and quasi-Newton steps along it only grow without end.
      const bool pressed = !IsRate(c) && stretch < 1e-10 && ((value < 0.5) == (slope < 0));
      if (pressed) stretch = 0;
      gradient.push_back(slope * stretch);
      // d2Q/dy2 = Q'' x'^2 + Q' x'', with x'' = x' for a logarithm and x' (1 - 2x) for a logit.
      const double bend = IsRate(c) ? stretch : stretch * (1 - 2 * value);
      const double curvature = bend2 * stretch * stretch + slope * bend;
      const double size = std::abs(bend2) * stretch * stretch + std::abs(slope * bend);
      inverseCurvature.push_back(stretch == 0 ? 0.0 : curvature < 0 ? -1 / curvature : size > 0 ? 1 / size : 0.0);
    }
    if (coupled) gradient[etaAt] += etaThroughXi * Stretch(model.eta[0], 1, coordinates[etaAt]);
  };
  // The coordinate value of an estimated parameter as the model holds it.
  auto freeValue = [&](const Coordinate& c) {
    const double x = Slot(model, c);
    return c.coupledLength > 0 ? ToFree(x * opening(c.coupledLength), Coordinate{4, 0, 0, 1}) : ToFree(x, c);
  };
  auto place = [&](std::vector<double>& y) {
    // eta first: the coupled xi follow from their gain chances and the new eta.
    for (int pass = 0; pass < 2; ++pass) {
      for (std::size_t i = 0; i < coordinates.size(); ++i) {
        const Coordinate& c = coordinates[i];
        if ((c.coupledLength > 0) != (pass == 1)) continue;
        double& x = Slot(model, c);
        if (c.coupledLength > 0) {
          const double chance = FromFree(y[i], Coordinate{4, 0, 0, 1});
          x = std::min(std::max(chance / opening(c.coupledLength), c.lower), c.upper);
        } else {
          x = FromFree(y[i], c);
        }
        if (x == c.lower || x == c.upper) y[i] = freeValue(c);
      }
    }
    lossCategories.SetLossRates(model.llambda);
    gainCategories.SetGainRates(model.glambda, model.nu);
    EStep(data, tree);
  };
  // A sweep of every M-step from the sums of one E-step: each raises the expected complete-data
  // log-likelihood, so together they raise the likelihood, at the cost of a single E-step.
  auto sweep = [&]() {
    if (flags.p0) UpdateP0(tree);
    if (flags.thetaAny) UpdateTheta(tree);
    if (flags.phiAny) MaxPhi(tree);
    if (flags.etaAny) UpdateEta(tree);
    if (flags.xiAny) UpdateXi(tree);
    if (flags.nu) {
      UpdateNu(data);
      gainCategories.SetGainRates(model.glambda, model.nu);
    }
    if (flags.llambda) {
      UpdateLLambda(tree);
      lossCategories.SetLossRates(model.llambda);
    }
    if (flags.glambda) {
      UpdateGLambda(tree);
      gainCategories.SetGainRates(model.glambda, model.nu);
    }
    EStep(data, tree);
  };

  collect();
  if (coordinates.empty()) {
    iterations = 1;
    optimality = CheckOptimality(data, tree);
    return;
  }
  // One EM sweep first: it lifts what starts at a bound of the search's coordinates (a Dollo phi
  // of 0, eta at its floor), where the gradient in y vanishes although the likelihood rises inward.
  {
    const double before = logLikelihood;
    const EvolModel origin = model;
    const PosteriorSums originSums = sums;
    sweep();
    if (!(logLikelihood >= before)) {
      model = origin;
      sums = originSums;
      logLikelihood = before;
      lossCategories.SetLossRates(model.llambda);
      gainCategories.SetGainRates(model.glambda, model.nu);
    } else {
      ++iterations;
      history.Point(*this);
      monitor.RecordLikelihood(logLikelihood, before);
      collect();
    }
  }
  std::vector<double> y(coordinates.size());
  for (std::size_t i = 0; i < y.size(); ++i) y[i] = freeValue(coordinates[i]);

  std::deque<Pair> memory;
  std::deque<double> recent;  // the log-likelihoods before the last kWindow steps
  std::vector<double> direction(y.size()), previousY, previousGradient;
  for (;;) {
    if (++iterations > maxIterations) {
      iterations = maxIterations;
      optimality = CheckOptimality(data, tree);
      const int unconverged = monitor.entries[9] > likelihoodTolerance || optimality.passed ? 0 : optimality.family + 1;
      ReportIterationLimit(unconverged);
      return;
    }
    ShowProgress("\r   %d iterations\t(loglikelihood convergence = %lg)          ", static_cast<int>(iterations),
                 monitor.entries[9]);

    // The quasi-Newton direction (two-loop recursion on the negated log-likelihood).
    std::vector<double> r(gradient.size());
    for (std::size_t i = 0; i < r.size(); ++i) r[i] = -gradient[i];
    std::vector<double> alpha(memory.size());
    for (std::size_t j = memory.size(); j-- > 0;) {
      alpha[j] = memory[j].rho * Dot(memory[j].step, r);
      for (std::size_t i = 0; i < r.size(); ++i) r[i] -= alpha[j] * memory[j].change[i];
    }
    for (std::size_t i = 0; i < r.size(); ++i) r[i] *= inverseCurvature[i];
    for (std::size_t j = 0; j < memory.size(); ++j) {
      const double beta = memory[j].rho * Dot(memory[j].change, r);
      for (std::size_t i = 0; i < r.size(); ++i) r[i] += memory[j].step[i] * (alpha[j] - beta);
    }
    // Held coordinates stay; and no step moves a coordinate by more than a factor of e^5, which
    // no sound curvature asks for (a pair of rounding size can).
    double largestMove = 0;
    for (std::size_t i = 0; i < r.size(); ++i) {
      direction[i] = inverseCurvature[i] > 0 ? -r[i] : 0.0;
      largestMove = std::max(largestMove, std::abs(direction[i]));
    }
    if (largestMove > kLargestMove) {
      for (double& d : direction) d *= kLargestMove / largestMove;
    }
    double slope = Dot(gradient, direction);
    if (!(slope > 0)) {
      memory.clear();
      double largest = 0;
      for (double g : gradient) largest = std::max(largest, std::abs(g));
      for (std::size_t i = 0; i < direction.size(); ++i) direction[i] = gradient[i] / std::max(largest, 1.0);
      slope = Dot(gradient, direction);
    }

    const double before = logLikelihood;
    const EvolModel origin = model;
    const PosteriorSums originSums = sums;
    previousY = y;
    previousGradient = gradient;
    bool accepted = false;
    double step = 1;
    std::vector<double> trial(y.size());
    // Converged when the last step gained and the next one promises (half the slope along the
    // quasi-Newton direction, the Newton decrement) no more than the tolerance resolves, and the
    // optimality check passes.
    const double resolved = likelihoodTolerance * std::abs(before);
    bool stalled = false;
    // Quasi-Newton steps along a curved ridge each gain little while the ridge still climbs far (on
    // real data, eta running to its cap with every xi shrinking): the rise is judged over a window of
    // recent steps, not one.
    const double windowRise = recent.size() < kWindow ? HUGE_VAL : (before - recent.front()) / -before;
    if (!(windowRise > likelihoodTolerance)) {
      optimality = CheckOptimality(data, tree);
      if (optimality.passed && !(slope / 2 > resolved)) return;
      // The check fails where the quasi-Newton steps no longer gain: the parameter it names still has
      // the likelihood rising along it, typically a probability that crept towards 0, where the
      // likelihood is convex in its logarithm and both the quasi-Newton model and EM move it by a
      // few per cent a step. The search goes along that coordinate alone, doubling its step while the
      // slope stays steep; an EM sweep where the coordinate is not the search's.
      if (!optimality.passed) {
        stalled = true;
        for (std::size_t i = 0; i < coordinates.size(); ++i) {
          const Coordinate& c = coordinates[i];
          if (c.family != optimality.family || c.index != optimality.index || !(gradient[i] != 0)) continue;
          std::fill(direction.begin(), direction.end(), 0.0);
          direction[i] = gradient[i] > 0 ? 1.0 : -1.0;
          slope = std::abs(gradient[i]);
          largestMove = 1;
          stalled = false;
          break;
        }
      }
    }
    // Backtracking from the full step while the likelihood does not rise enough (Armijo); once it
    // does, doubling while the slope along the direction stays steep (the curvature condition of
    // Wolfe): near a bound of a probability the likelihood in y can rise ever faster, and a search
    // that only shortens would creep there.
    struct Point {
      double logLikelihood;
      EvolModel model;
      PosteriorSums sums;
      std::vector<double> y;
    };
    std::unique_ptr<Point> best;
    for (int attempt = 0; attempt < kLineSearchTrials && slope > 0 && !stalled; ++attempt) {
      for (std::size_t i = 0; i < y.size(); ++i) trial[i] = previousY[i] + step * direction[i];
      place(trial);
      const bool rises = std::isfinite(logLikelihood) && logLikelihood >= before + kArmijo * step * slope &&
                         (!best || logLikelihood > best->logLikelihood);
      if (rises) {
        best.reset(new Point{logLikelihood, model, sums, trial});
        collect();
        if (!(Dot(gradient, direction) > 0.9 * slope) || step * largestMove >= kLargestStretch) break;
        step *= 2;
        continue;
      }
      if (best) break;
      // Backtrack by the minimiser of the quadratic through what is known, within [0.1, 0.5].
      const double fall = std::isfinite(logLikelihood) ? before + step * slope - logLikelihood : HUGE_VAL;
      const double next = fall > 0 ? slope * step * step / (2 * fall) : 0.5 * step;
      step = std::min(std::max(next, 0.1 * step), 0.5 * step);
    }
    if (best) {
      accepted = true;
      if (logLikelihood != best->logLikelihood || model.p0 != best->model.p0) {
        model = std::move(best->model);
        sums = std::move(best->sums);
        logLikelihood = best->logLikelihood;
        lossCategories.SetLossRates(model.llambda);
        gainCategories.SetGainRates(model.glambda, model.nu);
        collect();
      }
      y = best->y;
    }
    if (!accepted) {
      // The quasi-Newton step failed (a kink at a bound, or curvature it misjudged): an EM sweep from
      // the last point always climbs.
      model = origin;
      sums = originSums;
      logLikelihood = before;
      lossCategories.SetLossRates(model.llambda);
      gainCategories.SetGainRates(model.glambda, model.nu);
      sweep();
      if (!(logLikelihood > before)) {
        // Not even EM moves: the point is a maximum as far as the arithmetic can tell.
        model = origin;
        sums = originSums;
        logLikelihood = before;
        lossCategories.SetLossRates(model.llambda);
        gainCategories.SetGainRates(model.glambda, model.nu);
        monitor.RecordLikelihood(logLikelihood, before);
        optimality = CheckOptimality(data, tree);
        return;
      }
      // After a failed line search the curvature the memory holds misled it: start afresh. A sweep
      // in place of a stalled step keeps it.
      if (!stalled) memory.clear();
      for (std::size_t i = 0; i < y.size(); ++i) y[i] = freeValue(coordinates[i]);
    }
    if (!accepted) collect();
    Pair pair;
    pair.step.resize(y.size());
    pair.change.resize(y.size());
    for (std::size_t i = 0; i < y.size(); ++i) {
      pair.step[i] = y[i] - previousY[i];
      pair.change[i] = previousGradient[i] - gradient[i];
    }
    const double curvature = Dot(pair.step, pair.change);
    if (accepted && curvature > 1e-12 * std::sqrt(Dot(pair.step, pair.step) * Dot(pair.change, pair.change))) {
      pair.rho = 1 / curvature;
      memory.push_back(std::move(pair));
      if (memory.size() > kMemory) memory.pop_front();
    }
    recent.push_back(before);
    if (recent.size() > kWindow) recent.pop_front();
    history.Point(*this);
    history.Flush();
    monitor.RecordLikelihood(logLikelihood, before);
  }
}

void EM::DrawRandomStart(MersenneTwister& random, const PhylogeneticTree& tree) {
  // Rates are drawn per unit of the tree's mean depth from root to leaf, so that a rate times the
  // depth spans 0.05 to 5 whatever the tree's time unit; shapes span 0.2 to 5; on log scales.
  double depth = 0;
  for (std::uint32_t j = 0; j < tree.leafCount; ++j) {
    for (std::uint32_t v = tree.leafNodes[j]; v != 0; v = tree.parent[v]) depth += tree.branchLength[v];
  }
  depth /= tree.leafCount;
  if (!(depth > 0)) depth = 1;
  auto logUniform = [&random](double low, double high) {
    return std::exp(std::log(low) + (std::log(high) - std::log(low)) * random.NextHalfOpen());
  };
  auto uniform = [&random](double low, double high) { return low + (high - low) * random.NextHalfOpen(); };
  const double thetaUpper = thetaCap / lossCategories.rates[lossCategories.count - 1];
  const double etaUpper = etaCap / gainCategories.rates[gainCategories.count - 1];
  for (std::uint32_t g = 0; g < model.geneCount; ++g) {
    if (flags.theta[g]) model.theta[g] = std::min(std::max(logUniform(0.05, 5) / depth, kThetaFloor), thetaUpper);
    if (flags.eta[g]) model.eta[g] = std::min(std::max(logUniform(0.05, 5) / depth, kEtaFloor), etaUpper);
  }
  for (std::uint32_t v = 1; v < model.nodeCount; ++v) {
    if (flags.phi[v]) model.phi[v] = uniform(0, 0.2);
    if (flags.xi[v]) model.xi[v] = uniform(0.05, 0.95);
  }
  if (flags.nu) model.nu = uniform(0.05, 0.8);
  if (flags.llambda) model.llambda = std::max(logUniform(0.2, 5), minLLambda);
  if (flags.glambda) model.glambda = std::max(logUniform(0.2, 5), minGLambda);
}

}  // namespace vorn
