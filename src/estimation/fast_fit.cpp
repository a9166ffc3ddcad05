#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <vector>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
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

// The search runs on y = logit((x - lower) / (upper - lower)): every y is a point inside the range,
// so no step can leave it, and near the lower end of a rate's range y is its logarithm. A value at a
// bound starts a hair inside it.
constexpr double kInside = 1e-10;

double ToFree(double x, const Coordinate& c) {
  const double u = std::min(std::max((x - c.lower) / (c.upper - c.lower), kInside), 1 - kInside);
  return std::log(u) - std::log1p(-u);
}

// The inverse, formed from the nearer bound so that values close to either keep their digits.
double FromFree(double y, const Coordinate& c) {
  const double width = c.upper - c.lower;
  if (y >= 0) {
    const double e = std::exp(-y);
    return c.upper - width * (e / (1 + e));
  }
  const double e = std::exp(y);
  return c.lower + width * (e / (1 + e));
}

// dx/dy at a value x.
double Stretch(double x, const Coordinate& c) { return (x - c.lower) * (c.upper - x) / (c.upper - c.lower); }

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

constexpr std::size_t kMemory = 8;
constexpr int kLineSearchTrials = 20;
constexpr double kArmijo = 1e-4;

}  // namespace

void EM::IterateFast(const AlignmentData& data, const PhylogeneticTree& tree, HistoryFiles& history) {
  std::vector<Coordinate> coordinates;
  std::vector<double> gradient;  // of the log-likelihood in y
  auto collect = [&]() {
    coordinates.clear();
    gradient.clear();
    ForEachFreeParameter(data, tree, [&](const FreeParameter& f) {
      coordinates.push_back({f.family, f.index, f.lower, f.upper});
      gradient.push_back(f.gradient * Stretch(f.value, coordinates.back()));
    });
  };
  auto place = [&](const std::vector<double>& y) {
    for (std::size_t i = 0; i < coordinates.size(); ++i) Slot(model, coordinates[i]) = FromFree(y[i], coordinates[i]);
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
  std::vector<double> y(coordinates.size());
  for (std::size_t i = 0; i < y.size(); ++i) y[i] = ToFree(Slot(model, coordinates[i]), coordinates[i]);

  std::deque<Pair> memory;
  std::vector<double> direction(y.size()), previousY, previousGradient;
  for (;;) {
    if (++iterations > maxIterations) {
      iterations = maxIterations;
      optimality = CheckOptimality(data, tree);
      const int unconverged = monitor.entries[9] > likelihoodTolerance || optimality.passed ? 0 : optimality.family + 1;
      std::printf("\nWarning: Maximum number of iterations reached\n%s", kUnconvergedLines[unconverged]);
      return;
    }
    std::printf("\r   %d iterations\t(loglikelihood convergence = %lg)          ", static_cast<int>(iterations),
                monitor.entries[9]);
    std::fflush(stdout);

    // The quasi-Newton direction (two-loop recursion on the negated log-likelihood).
    std::vector<double> r(gradient.size());
    for (std::size_t i = 0; i < r.size(); ++i) r[i] = -gradient[i];
    std::vector<double> alpha(memory.size());
    for (std::size_t j = memory.size(); j-- > 0;) {
      alpha[j] = memory[j].rho * Dot(memory[j].step, r);
      for (std::size_t i = 0; i < r.size(); ++i) r[i] -= alpha[j] * memory[j].change[i];
    }
    double scale = 1;
    if (!memory.empty()) {
      const Pair& last = memory.back();
      scale = Dot(last.step, last.change) / Dot(last.change, last.change);
    } else {
      // No curvature known yet: a first step that moves no coordinate by more than 1 in y.
      double largest = 0;
      for (double g : gradient) largest = std::max(largest, std::abs(g));
      scale = largest > 1 ? 1 / largest : 1;
    }
    for (double& ri : r) ri *= scale;
    for (std::size_t j = 0; j < memory.size(); ++j) {
      const double beta = memory[j].rho * Dot(memory[j].change, r);
      for (std::size_t i = 0; i < r.size(); ++i) r[i] += memory[j].step[i] * (alpha[j] - beta);
    }
    for (std::size_t i = 0; i < r.size(); ++i) direction[i] = -r[i];
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
    for (int attempt = 0; attempt < kLineSearchTrials && slope > 0; ++attempt) {
      for (std::size_t i = 0; i < y.size(); ++i) trial[i] = previousY[i] + step * direction[i];
      place(trial);
      if (std::isfinite(logLikelihood) && logLikelihood >= before + kArmijo * step * slope) {
        accepted = true;
        y = trial;
        break;
      }
      // Backtrack by the minimiser of the quadratic through what is known, within [0.1, 0.5].
      const double fall = std::isfinite(logLikelihood) ? before + step * slope - logLikelihood : HUGE_VAL;
      const double next = fall > 0 ? slope * step * step / (2 * fall) : 0.5 * step;
      step = std::min(std::max(next, 0.1 * step), 0.5 * step);
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
      memory.clear();
      for (std::size_t i = 0; i < y.size(); ++i) y[i] = ToFree(Slot(model, coordinates[i]), coordinates[i]);
    }
    collect();
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
    history.Point(*this);
    monitor.RecordLikelihood(logLikelihood, before);
    if (!(monitor.entries[9] > likelihoodTolerance)) {
      optimality = CheckOptimality(data, tree);
      if (optimality.passed) return;
    }
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
