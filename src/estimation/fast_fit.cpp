// The quasi-Newton search of optimizer "fast": a limited-memory quasi-Newton method on the
// log-likelihood, in unbounded coordinates (logarithms of the rates, logits of the
// probabilities), each scaled by the curvature EM's update sees, with EM sweeps where a step
// fails and a search along one coordinate where the optimality check names one still rising.
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
#include "estimation/history_sink.h"

namespace vorn {
namespace {

// One estimated parameter as a coordinate of the search: which value it is and its range.
struct Coordinate {
  ParameterFamily family;
  std::uint32_t index;
  double lower, upper;
  // For xi with one gene: the branch length, when the coordinate is the branch's gain chance at rate
  // 1, xi (1 - e^(-eta t)), instead of xi itself; 0 otherwise.
  double coupledLength = 0;
};

// The search runs on unbounded coordinates: y = ln x for the rates and shapes, y = logit x for the
// probabilities, so that near 0 a step in y is a relative change, and a probability never leaves
// (0, 1). Bounds inside those (the floors of theta, eta and xi, the ceilings of the rates and of phi)
// clip x; a clipped coordinate does not move with y, and its y is pinned at the bound. Measured
// from 0 rather than from a floor, a rate at its floor keeps the gradient that can lift it (the
// derivative of the gains in eta near 0 grows like 1 / eta). A probability at exactly 0 or 1 starts
// a hair inside.
constexpr double kInside = 1e-12;

bool IsRate(const Coordinate& c) { return Family(c.family).rate; }

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
// hair: how close to a bound counts as at it (see Collect).
double Stretch(double x, double gradient, const Coordinate& c, double hair = 0) {
  if ((x <= c.lower * (1 + hair) && gradient < 0) || (x >= c.upper * (1 - hair) && gradient > 0)) return 0;
  return IsRate(c) ? x : x * (1 - x);
}

double Dot(const std::vector<double>& a, const std::vector<double>& b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += a[i] * b[i];
  return sum;
}

// A gain chance as a coordinate: a probability of the whole unit range.
const Coordinate kChance{kXi, 0, 0, 1};

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

// The search of one start, over the estimator's state.
class FastSearch : public Climber {
 public:
  FastSearch(EM& em, const AlignmentData& data, const PhylogeneticTree& tree, HistorySink& history)
      : em_(em), data_(data), tree_(tree), history_(history),
        // With one gene, the likelihood depends on eta and xi almost only through the branches'
        // gain chances xi (1 - e^(-eta r t)), exactly so without gain-rate variation: a ridge along
        // which eta runs while every xi shrinks (on real data eta climbs to its cap from a start of
        // 2). Searched in xi itself, that ridge is a curved valley a quasi-Newton method creeps
        // along; searched in the gain chance at rate 1, it is straight (eta alone moves along it).
        coupled_(em.model.geneCount == 1 && em.flags.eta[0] && Estimated(em.flags, kXi)) {}

  bool Advance(std::uint32_t pauseAt) override;

 private:
  struct Step {
    std::vector<double> direction;
    double slope = 0, largestMove = 0;
    bool stalled = false;
  };
  // A point the line search found: the state there and its coordinates.
  struct Point {
    EM::Saved state;
    std::vector<double> y;
  };

  double Opening(double length) const { return -std::expm1(-em_.model.eta[0] * length); }
  void Collect();
  double FreeValue(const Coordinate& c) const;
  void Place(std::vector<double>& y);
  bool FirstSweep();
  Step QuasiNewtonStep() const;
  void AlongNamedCoordinate(Step& step) const;
  std::unique_ptr<Point> LineSearch(Step& step, double before);
  bool FallBack(const EM::Saved& origin, bool stalled);
  void Remember(bool accepted);

  EM& em_;
  const AlignmentData& data_;
  const PhylogeneticTree& tree_;
  HistorySink& history_;
  const bool coupled_;
  bool begun_ = false;
  std::vector<Coordinate> coordinates_;
  std::vector<double> gradient_;  // of the log-likelihood in y
  // The inverse curvature of Q in each y: the step EM would take in that coordinate alone for a
  // unit of gradient. It scales the quasi-Newton steps coordinate by coordinate, which one
  // common scale cannot do when rates, probabilities near 0 and shapes meet in one search.
  std::vector<double> inverseCurvature_;
  std::size_t etaAt_ = 0;
  bool buried_ = false;  // a probability deep at a bound has its likelihood rising inward
  std::vector<double> y_, previousY_, previousGradient_;
  std::deque<Pair> memory_;
  std::deque<double> recent_;  // the log-likelihoods before the last kWindow steps
};

void FastSearch::Collect() {
  std::vector<FreeParameter> free;
  em_.ForEachFreeParameter(data_, tree_, [&](const FreeParameter& f) { free.push_back(f); });
  coordinates_.clear();
  gradient_.clear();
  inverseCurvature_.clear();
  double etaThroughXi = 0;  // d ln L / d eta through the xi that keep their gain chances
  // Under the screened search, what the optimality check would name as still rising.
  const bool lifting = em_.settings.search == Search::kScreen;
  const double liftAbove = em_.OptimalityThreshold(data_);
  buried_ = false;
  for (const FreeParameter& f : free) {
    // A value the last EM sweep left outside its range stays where it is until it moves: a sweep
    // updates eta before g-lambda, whose new rate multipliers can lower eta's cap below it, and a
    // search that clipped it there at every trial would find no step that climbs.
    coordinates_.push_back({f.family, f.index, std::min(f.lower, f.value), std::max(f.upper, f.value)});
    Coordinate& c = coordinates_.back();
    if (c.family == kEta) etaAt_ = coordinates_.size() - 1;
    double value = f.value, slope = f.gradient, bend2 = f.curvature;
    // The screened search holds a rate within a thousandth of its bound as at it: eta's cap moves
    // with g-lambda, and an EM sweep leaves eta just under the new cap, where a step of the
    // search's scale can only be clipped and every line search fails.
    double stretch = Stretch(f.value, f.gradient, c, IsRate(c) && em_.settings.search == Search::kScreen ? 1e-3 : 0);
    if (coupled_ && c.family == kXi && tree_.branchLength[c.index] > 0) {
      c.coupledLength = tree_.branchLength[c.index];
      const double open = Opening(c.coupledLength);
      value = f.value * open;  // the gain chance
      slope = f.gradient / open;
      bend2 = f.curvature / (open * open);
      stretch = stretch == 0 ? 0.0 : value * (1 - value);
      if (stretch > 0) {
        const double length = c.coupledLength;
        etaThroughXi += f.gradient * -f.value * (length * std::exp(-em_.model.eta[0] * length)) / open;
      }
    }
    // A probability pressed against 0 or 1 by its gradient is held there for this step: in y it
    // is flat, and quasi-Newton steps along it only grow without end.
    const bool pressed = !IsRate(c) && stretch < 1e-10 && ((value < 0.5) == (slope < 0));
    if (pressed) stretch = 0;
    // One that sits as deep and rises inward cannot climb out in y (its gradient there is the one
    // in x times x (1 - x)); the quasi-Newton memory still asks it for steps of the largest size,
    // which shrink the step of every other coordinate to nothing. Its own EM update lifts it.
    if (lifting && !IsRate(c) && stretch > 0 && stretch < 1e-10 && (value < 0.5) == (slope > 0) &&
        std::abs(f.gradient) > liftAbove) {
      buried_ = true;
    }
    gradient_.push_back(slope * stretch);
    // d2Q/dy2 = Q'' x'^2 + Q' x'', with x'' = x' for a logarithm and x' (1 - 2x) for a logit.
    const double bend = IsRate(c) ? stretch : stretch * (1 - 2 * value);
    const double curvature = bend2 * stretch * stretch + slope * bend;
    const double size = std::abs(bend2) * stretch * stretch + std::abs(slope * bend);
    inverseCurvature_.push_back(stretch == 0 ? 0.0 : curvature < 0 ? -1 / curvature : size > 0 ? 1 / size : 0.0);
  }
  // (A held eta stays held.)
  const bool held = em_.settings.search == Search::kScreen && inverseCurvature_[etaAt_] == 0;
  if (coupled_ && !held) gradient_[etaAt_] += etaThroughXi * Stretch(em_.model.eta[0], 1, coordinates_[etaAt_]);
}

// The coordinate value of an estimated parameter as the model holds it.
double FastSearch::FreeValue(const Coordinate& c) const {
  const double x = Value(em_.model, c.family, c.index);
  return c.coupledLength > 0 ? ToFree(x * Opening(c.coupledLength), kChance) : ToFree(x, c);
}

void FastSearch::Place(std::vector<double>& y) {
  // eta first: the coupled xi follow from their gain chances and the new eta.
  for (int pass = 0; pass < 2; ++pass) {
    for (std::size_t i = 0; i < coordinates_.size(); ++i) {
      const Coordinate& c = coordinates_[i];
      if ((c.coupledLength > 0) != (pass == 1)) continue;
      double& x = Value(em_.model, c.family, c.index);
      if (c.coupledLength > 0) {
        const double chance = FromFree(y[i], kChance);
        x = std::min(std::max(chance / Opening(c.coupledLength), c.lower), c.upper);
      } else {
        x = FromFree(y[i], c);
      }
      if (x == c.lower || x == c.upper) y[i] = FreeValue(c);
    }
  }
  em_.SetRates();
  em_.ComputeExpectations(data_, tree_);
  ++em_.eSteps;
}

// One EM sweep first: it lifts what starts at a bound of the search's coordinates (a Dollo phi of
// 0, eta at its floor), where the gradient in y vanishes although the likelihood rises inward.
// False when nothing is estimated.
bool FastSearch::FirstSweep() {
  Collect();
  if (coordinates_.empty()) return false;
  const EM::Saved origin = em_.Save();
  em_.Sweep(data_, tree_);
  if (!(em_.logLikelihood >= origin.logLikelihood)) {
    em_.Restore(origin);
  } else {
    ++em_.iterations;
    history_.Point({em_.model, em_.logLikelihood, em_.iterations});
    em_.monitor.RecordLikelihood(em_.logLikelihood, origin.logLikelihood);
    Collect();
  }
  y_.resize(coordinates_.size());
  for (std::size_t i = 0; i < y_.size(); ++i) y_[i] = FreeValue(coordinates_[i]);
  return true;
}

// The quasi-Newton direction (two-loop recursion on the negated log-likelihood); the scaled
// gradient where it does not climb.
FastSearch::Step FastSearch::QuasiNewtonStep() const {
  std::vector<double> r(gradient_.size());
  for (std::size_t i = 0; i < r.size(); ++i) r[i] = -gradient_[i];
  std::vector<double> alpha(memory_.size());
  for (std::size_t j = memory_.size(); j-- > 0;) {
    alpha[j] = memory_[j].rho * Dot(memory_[j].step, r);
    for (std::size_t i = 0; i < r.size(); ++i) r[i] -= alpha[j] * memory_[j].change[i];
  }
  for (std::size_t i = 0; i < r.size(); ++i) r[i] *= inverseCurvature_[i];
  for (std::size_t j = 0; j < memory_.size(); ++j) {
    const double beta = memory_[j].rho * Dot(memory_[j].change, r);
    for (std::size_t i = 0; i < r.size(); ++i) r[i] += memory_[j].step[i] * (alpha[j] - beta);
  }
  // Held coordinates stay; and no step moves a coordinate by more than a factor of e^5, which
  // no sound curvature asks for (a pair of rounding size can).
  // Under the screened search, a coordinate the memory sends against its own gradient by more
  // than that stays where it is: the memory's curvature misleads there (a loss chance driven from
  // its optimum towards 0 by e^5 a step, then lifted back, in a cycle of twenty steps), and
  // scaling the whole step to that move would stall every other coordinate.
  const bool screened = em_.settings.search == Search::kScreen;
  Step step;
  step.direction.resize(r.size());
  for (std::size_t i = 0; i < r.size(); ++i) {
    step.direction[i] = inverseCurvature_[i] > 0 ? -r[i] : 0.0;
    if (screened && std::abs(step.direction[i]) > kLargestMove && step.direction[i] * gradient_[i] < 0) {
      step.direction[i] = 0;
    }
    step.largestMove = std::max(step.largestMove, std::abs(step.direction[i]));
  }
  if (step.largestMove > kLargestMove) {
    for (double& d : step.direction) d *= kLargestMove / step.largestMove;
  }
  step.slope = Dot(gradient_, step.direction);
  return step;
}

// The check fails where the quasi-Newton steps no longer gain: the parameter it names still has
// the likelihood rising along it, typically a probability that crept towards 0, where the
// likelihood is convex in its logarithm and both the quasi-Newton model and EM move it by a few
// per cent a step. The search goes along that coordinate alone, doubling its step while the
// slope stays steep; an EM sweep where the coordinate is not the search's.
void FastSearch::AlongNamedCoordinate(Step& step) const {
  const OptimalityCheck& check = em_.optimality;
  step.stalled = true;
  for (std::size_t i = 0; i < coordinates_.size(); ++i) {
    const Coordinate& c = coordinates_[i];
    if (c.family != check.family || c.index != check.index || !(gradient_[i] != 0)) continue;
    std::fill(step.direction.begin(), step.direction.end(), 0.0);
    step.direction[i] = gradient_[i] > 0 ? 1.0 : -1.0;
    if (em_.settings.search == Search::kScreen) {
      // A probability pressed to 0 or 1 whose likelihood rises inward hardly moves in y (its
      // derivative there is the one in x times x (1 - x)): no step along y can gain what the
      // check asks, and the line search would accept steps of rounding size for ever. Its own EM
      // update lifts it.
      const double resolved = em_.settings.likelihoodTolerance * std::abs(em_.logLikelihood);
      if (!(std::abs(gradient_[i]) > resolved)) return;
      // A coordinate sliding to its bound (a probability to the near end, a rate to its floor or
      // cap) tries the bound first: creeping there gains a few per cent a step, a hundred line
      // searches for what one E-step at the bound settles; the backtracking finds the point
      // between where the bound is too far.
      const double value = Value(em_.model, c.family, c.index);
      const bool nearEnd = IsRate(c) || (gradient_[i] > 0) == (value > 0.5);
      const double x = gradient_[i] > 0 ? c.upper : c.lower;
      const double toward = (c.coupledLength > 0 ? ToFree(x * Opening(c.coupledLength), kChance) : ToFree(x, c)) - y_[i];
      if (nearEnd && toward * step.direction[i] > 1) step.direction[i] = toward;
    }
    step.slope = std::abs(gradient_[i] * step.direction[i]);
    step.largestMove = std::abs(step.direction[i]);
    step.stalled = false;
    return;
  }
}

// Backtracking from the full step while the likelihood does not rise enough (Armijo); once it
// does, doubling while the slope along the direction stays steep (the curvature condition of
// Wolfe): near a bound of a probability the likelihood in y can rise ever faster, and a search
// that only shortens would creep there. The best point it found, or none.
std::unique_ptr<FastSearch::Point> FastSearch::LineSearch(Step& step, double before) {
  std::unique_ptr<Point> best;
  double length = 1;
  std::vector<double> trial(y_.size());
  for (int attempt = 0; attempt < kLineSearchTrials && step.slope > 0 && !step.stalled; ++attempt) {
    for (std::size_t i = 0; i < y_.size(); ++i) trial[i] = previousY_[i] + length * step.direction[i];
    Place(trial);
    const double reached = em_.logLikelihood;
    const bool rises = std::isfinite(reached) && reached >= before + kArmijo * length * step.slope &&
                       (!best || reached > best->state.logLikelihood);
    if (rises) {
      best.reset(new Point{em_.Save(), trial});
      Collect();
      if (!(Dot(gradient_, step.direction) > 0.9 * step.slope) || length * step.largestMove >= kLargestStretch) break;
      length *= 2;
      continue;
    }
    if (best) break;
    // Backtrack by the minimiser of the quadratic through what is known, within [0.1, 0.5].
    const double fall = std::isfinite(reached) ? before + length * step.slope - reached : HUGE_VAL;
    const double next = fall > 0 ? step.slope * length * length / (2 * fall) : 0.5 * length;
    length = std::min(std::max(next, 0.1 * length), 0.5 * length);
  }
  return best;
}

// The quasi-Newton step failed (a kink at a bound, or curvature it misjudged): an EM sweep from
// the last point always climbs. False when not even EM moves: the point is a maximum as far as
// the arithmetic can tell.
bool FastSearch::FallBack(const EM::Saved& origin, bool stalled) {
  em_.Restore(origin);
  em_.Sweep(data_, tree_);
  if (!(em_.logLikelihood > origin.logLikelihood)) {
    em_.Restore(origin);
    em_.monitor.RecordLikelihood(em_.logLikelihood, origin.logLikelihood);
    em_.optimality = em_.CheckOptimality(data_, tree_);
    return false;
  }
  // After a failed line search the curvature the memory holds misled it: start afresh. A sweep in
  // place of a stalled step keeps it.
  if (!stalled) memory_.clear();
  for (std::size_t i = 0; i < y_.size(); ++i) y_[i] = FreeValue(coordinates_[i]);
  Collect();
  return true;
}

void FastSearch::Remember(bool accepted) {
  Pair pair;
  pair.step.resize(y_.size());
  pair.change.resize(y_.size());
  for (std::size_t i = 0; i < y_.size(); ++i) {
    pair.step[i] = y_[i] - previousY_[i];
    pair.change[i] = previousGradient_[i] - gradient_[i];
  }
  const double curvature = Dot(pair.step, pair.change);
  if (accepted && curvature > 1e-12 * std::sqrt(Dot(pair.step, pair.step) * Dot(pair.change, pair.change))) {
    pair.rho = 1 / curvature;
    memory_.push_back(std::move(pair));
    if (memory_.size() > kMemory) memory_.pop_front();
  }
}

bool FastSearch::Advance(std::uint32_t pauseAt) {
  if (!begun_) {
    begun_ = true;
    if (!FirstSweep()) {
      em_.iterations = 1;
      em_.optimality = em_.CheckOptimality(data_, tree_);
      return true;
    }
  }
  const FitSettings& settings = em_.settings;
  for (;;) {
    if (em_.iterations >= pauseAt) return false;
    if (++em_.iterations > settings.maxIterations) {
      em_.iterations = settings.maxIterations;
      em_.optimality = em_.CheckOptimality(data_, tree_);
      const bool rising = em_.monitor.entries[ConvergenceMonitor::kLikelihood] > settings.likelihoodTolerance;
      em_.ReportIterationLimit(rising || em_.optimality.passed ? kNoFamily : em_.optimality.family);
      return true;
    }
    if (!em_.quiet) {
      ShowProgress("\r   %d iterations\t(loglikelihood convergence = %lg)          ", static_cast<int>(em_.iterations),
                   em_.monitor.entries[ConvergenceMonitor::kLikelihood]);
    }
    Step step = QuasiNewtonStep();
    if (!(step.slope > 0)) {
      memory_.clear();
      double largest = 0;
      for (double g : gradient_) largest = std::max(largest, std::abs(g));
      for (std::size_t i = 0; i < step.direction.size(); ++i) step.direction[i] = gradient_[i] / std::max(largest, 1.0);
      step.slope = Dot(gradient_, step.direction);
    }
    const EM::Saved origin = em_.Save();
    const double before = origin.logLikelihood;
    previousY_ = y_;
    previousGradient_ = gradient_;
    // Converged when the last step gained and the next one promises (half the slope along the
    // quasi-Newton direction, the Newton decrement) no more than the tolerance resolves, and the
    // optimality check passes. Quasi-Newton steps along a curved ridge each gain little while the
    // ridge still climbs far (on real data, eta running to its cap with every xi shrinking): the
    // rise is judged over a window of recent steps, not one.
    const double resolved = settings.likelihoodTolerance * std::abs(before);
    const double windowRise = recent_.size() < kWindow ? HUGE_VAL : (before - recent_.front()) / -before;
    if (!(windowRise > settings.likelihoodTolerance)) {
      em_.optimality = em_.CheckOptimality(data_, tree_);
      if (em_.optimality.passed && !(step.slope / 2 > resolved)) return true;
      if (!em_.optimality.passed) AlongNamedCoordinate(step);
    }
    if (buried_) step.stalled = true;
    const std::unique_ptr<Point> best = LineSearch(step, before);
    const bool accepted = best != nullptr;
    if (accepted) {
      if (em_.logLikelihood != best->state.logLikelihood || em_.model.p0 != best->state.model.p0) {
        em_.Restore(best->state);
        Collect();
      }
      y_ = best->y;
    } else if (!FallBack(origin, step.stalled)) {
      return true;
    }
    Remember(accepted);
    recent_.push_back(before);
    if (recent_.size() > kWindow) recent_.pop_front();
    history_.Point({em_.model, em_.logLikelihood, em_.iterations});
    history_.Flush();
    em_.monitor.RecordLikelihood(em_.logLikelihood, before);
  }
}

}  // namespace

std::unique_ptr<Climber> MakeFastSearch(EM& em, const AlignmentData& data, const PhylogeneticTree& tree,
                                        HistorySink& history) {
  return std::make_unique<FastSearch>(em, data, tree, history);
}

}  // namespace vorn
