// The M-steps of p0, theta, phi, eta, xi and nu, and the gradient of every family.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "data/alignment_data.h"
#include "data/diagnostics.h"
#include "data/phylogenetic_tree.h"
#include "estimation/branch_chances.h"
#include "estimation/em.h"
#include "estimation/lambda_search.h"
#include "numerics/safeguarded_ascent.h"

namespace vorn {
namespace {

constexpr double kEpsilon = 2.220446049250313e-16;
// Newton on theta, eta and xi converges in a handful of steps; a run that reaches this bound is
// crawling, and its last (best) iterate is kept.
constexpr int kMaxNewtonSteps = 1000;
constexpr int kMaxPhiSteps = 51;
// Changes of phi and xi this small are within the rounding of the sums that carry them (1 - phi
// and 1 - xi (1 - e) hold them to an absolute 2^-53): Newton cannot resolve them.
constexpr double kProbabilityResolution = 4 * kEpsilon;

// A posterior sum of 0 takes no part in a Newton sum, even where its factor is infinite (a branch of
// length 0, a probability at its bound), so such branches cannot turn the update into not-a-number.
inline double Weighted(double sum, double factor) { return sum > 0 ? sum * factor : 0.0; }

void WarnNewton(const char* parameter, const char* what, unsigned index, double value) {
  Warn("newton-step-limit", "EM:Run", "%s of %s #%u did not converge in %d Newton steps; keeping %lg", parameter,
       what, index, kMaxNewtonSteps, value);
}

}  // namespace

void EM::UpdateP0(const PhylogeneticTree& tree) {
  // The root is absent with posterior T[0][0] + T[0][1] on the branch of its first child.
  const std::uint32_t r1 = tree.firstChild[0];
  double all = 0, absent = 0;
  for (std::uint32_t g = 0; g < Sums().geneCount; ++g) {
    const double* total = &Sums().categories[static_cast<std::size_t>(g) * Sums().pairCount];
    const double* stays = &Sums().transitions[Sums().TransitionOffset(g, r1, 0, 0)];
    const double* gains = &Sums().transitions[Sums().TransitionOffset(g, r1, 0, 1)];
    for (std::uint32_t c = 0; c < Sums().pairCount; ++c) {
      all += total[c];
      absent += stays[c] + gains[c];
    }
  }
  const double updated = absent / all;
  monitor.RecordP0(updated, model.p0);
  model.p0 = updated;
}

void EM::UpdateNu(const AlignmentData& data) {
  double zeroGain = 0;
  for (std::uint32_t g = 0; g < Sums().geneCount; ++g) {
    for (std::uint32_t l = 0; l < Sums().lossCount; ++l) zeroGain += Sums().Category(g, 0, l);
  }
  // Conditioned on presence, the sites include the expected unobserved ones.
  const double updated = zeroGain / (data.filteredSites + Sums().unobservedSites);
  monitor.RecordNu(updated, model.nu);
  model.nu = updated;
}

namespace {

// The parts of the expected complete-data log-likelihood (the Q function) that depend on one
// parameter, built from the posterior sums of the latest E-step. Each gathers its statistics once;
// evaluating it at a trial value touches only those. The derivatives keep the forms the updates
// have always stepped with (epsilon included), so that where a Newton step raises Q the iterates
// are what they were.

// theta of gene g: sum over branches v and loss categories l of Keep ln R + Loss ln(1 - R), with
// R = (1 - phi[v]) e^(-theta rl t); the ln(1 - phi) part of ln R does not depend on theta.
class ThetaObjective {
 public:
  ThetaObjective(const EM& em, const PhylogeneticTree& tree, std::uint32_t g)
      : tree_(tree), phi_(em.model.phi), rl_(em.lossCategories.rates), m_(em.lossCategories.count) {
    const std::uint32_t n = tree.nodeCount, k = em.gainCategories.count;
    loss_.assign(static_cast<std::size_t>(n) * m_, 0.0);
    keep_.assign(static_cast<std::size_t>(n) * m_, 0.0);
    for (std::uint32_t v = 1; v < n; ++v) {
      for (std::uint32_t l = 0; l < m_; ++l) {
        double lost = 0, kept = 0;
        for (std::uint32_t a = 0; a < k; ++a) {
          lost += em.Sums().Transition(g, v, 1, 0, a, l);
          kept += em.Sums().Transition(g, v, 1, 1, a, l);
        }
        loss_[v * m_ + l] = lost;
        keep_[v * m_ + l] = kept;
      }
    }
  }

  LocalObjective operator()(double theta) const {
    LocalObjective q;
    for (std::uint32_t v = 1; v < tree_.nodeCount; ++v) {
      const double t = tree_.branchLength[v];
      if (t == 0) continue;  // contributes nothing: both derivatives carry a factor t
      const double q1 = 1 - phi_[v];
      double sa = 0, sb = 0, sc = 0;
      for (std::uint32_t l = 0; l < m_; ++l) {
        const double lost = loss_[v * m_ + l], kept = keep_[v * m_ + l];
        const double x = theta * rl_[l] * t;
        const double e = std::exp(-x);
        const double lossChance = LossChance(phi_[v], e, x);
        const double den = lossChance >= kCancellationLimit ? 1 - (q1 - kEpsilon) * e : lossChance + kEpsilon * e;
        sa += Weighted(lost, e * rl_[l] / den);
        sb += rl_[l] * kept;
        sc += Weighted(lost, rl_[l] * rl_[l] * e / den / den);
        const double lossTerm = Weighted(lost, LogLossChance(phi_[v], e, x)), keepTerm = kept * x;
        q.value += lossTerm - keepTerm;
        q.magnitude += std::abs(lossTerm) + keepTerm;
      }
      q.slope += (q1 * sa - sb) * t;
      q.curvature += -q1 * sc * t * t;
    }
    return q;
  }

 private:
  const PhylogeneticTree& tree_;
  const std::vector<double>& phi_;
  const std::vector<double>& rl_;
  std::uint32_t m_;
  std::vector<double> loss_, keep_;  // [v][l]
};

// phi of node v: Keep ln(1 - phi) + sum over genes g and loss categories l of
// Loss ln(1 - (1 - phi) E), with E = e^(-theta[g] rl t).
class PhiObjective {
 public:
  PhiObjective(const EM& em, const PhylogeneticTree& tree, std::uint32_t v) {
    const std::uint32_t m = em.lossCategories.count, k = em.gainCategories.count, genes = em.model.geneCount;
    const std::vector<double>& rl = em.lossCategories.rates;
    const double t = tree.branchLength[v];
    loss_.assign(static_cast<std::size_t>(genes) * m, 0.0);
    decay_.assign(loss_.size(), 0.0);
    exponent_.assign(loss_.size(), 0.0);
    for (std::uint32_t g = 0; g < genes; ++g) {
      for (std::uint32_t l = 0; l < m; ++l) {
        double lost = 0;
        for (std::uint32_t a = 0; a < k; ++a) {
          lost += em.Sums().Transition(g, v, 1, 0, a, l);
          keep_ += em.Sums().Transition(g, v, 1, 1, a, l);
        }
        loss_[g * m + l] = lost;
        exponent_[g * m + l] = em.model.theta[g] * rl[l] * t;
        decay_[g * m + l] = std::exp(-exponent_[g * m + l]);
      }
    }
  }

  // A loss weighing on a category that cannot decay on this branch (length 0, or a rate so small
  // that exp rounds to 1) is made by phi alone: at phi = 0 the objective is -infinity.
  bool LossNeedsPhi() const {
    for (std::size_t i = 0; i < loss_.size(); ++i) {
      if (loss_[i] > 0 && decay_[i] == 1) return true;
    }
    return false;
  }

  LocalObjective operator()(double phi) const {
    LocalObjective q;
    for (std::size_t i = 0; i < loss_.size(); ++i) {
      const double lossChance = LossChance(phi, decay_[i], exponent_[i]);
      const double d = decay_[i] / lossChance;
      q.slope += Weighted(loss_[i], d);
      q.curvature -= Weighted(loss_[i], d * d);
      const double term = Weighted(loss_[i], LogLossChance(phi, decay_[i], exponent_[i]));
      q.value += term;
      q.magnitude += std::abs(term);
    }
    const double kept = 1 - phi + kEpsilon;
    q.slope -= keep_ / kept;
    q.curvature -= keep_ / (kept * kept);
    const double keepTerm = Weighted(keep_, std::log1p(-phi));
    q.value += keepTerm;
    q.magnitude += std::abs(keepTerm);
    return q;
  }

 private:
  double keep_ = 0;
  std::vector<double> loss_, decay_, exponent_;  // [g][l]; decay = exp(-exponent)
};

// eta of gene g: sum over branches v and gaining categories k >= 1 of Stay ln(1 - G) + Gain ln G,
// with G = xi[v] (1 - e^(-eta rg t)); the ln xi part of ln G does not depend on eta.
class EtaObjective {
 public:
  EtaObjective(const EM& em, const PhylogeneticTree& tree, std::uint32_t g)
      : tree_(tree), xi_(em.model.xi), rg_(em.gainCategories.rates), k_(em.gainCategories.count) {
    const std::uint32_t n = tree.nodeCount, m = em.lossCategories.count;
    stay_.assign(static_cast<std::size_t>(n) * k_, 0.0);
    gain_.assign(stay_.size(), 0.0);
    for (std::uint32_t v = 1; v < n; ++v) {
      for (std::uint32_t a = 1; a < k_; ++a) {
        double stayed = 0, gained = 0;
        for (std::uint32_t l = 0; l < m; ++l) {
          stayed += em.Sums().Transition(g, v, 0, 0, a, l);
          gained += em.Sums().Transition(g, v, 0, 1, a, l);
        }
        stay_[v * k_ + a] = stayed;
        gain_[v * k_ + a] = gained;
      }
    }
  }

  LocalObjective operator()(double eta) const {
    LocalObjective q;
    for (std::uint32_t v = 1; v < tree_.nodeCount; ++v) {
      const double t = tree_.branchLength[v];
      if (t == 0) continue;  // contributes nothing: both derivatives carry a factor t
      const double xi = xi_[v];
      double s1 = 0, s2 = 0, s3 = 0, s4 = 0;
      for (std::uint32_t a = 1; a < k_; ++a) {
        const double stayed = stay_[v * k_ + a], gained = gain_[v * k_ + a];
        const double x = rg_[a] * t * eta;
        const double e = std::exp(-x);
        // A rate so small that e rounds to 1 would leave o = 0 and a gain weight divided by it;
        // expm1 still resolves it (elsewhere 1 - e stands, as the E-step computes it).
        const double o = e != 1 ? 1 - e : -std::expm1(-x);
        const double den = NoGainChance(xi, e, o);
        s1 += Weighted(stayed, e * rg_[a] / den);
        s2 += Weighted(gained, e * rg_[a] / o);
        s3 += Weighted(stayed, rg_[a] * rg_[a] * e / den / den);
        s4 += Weighted(gained, rg_[a] * rg_[a] * e / o / o);
        const double stayTerm = Weighted(stayed, LogNoGainChance(xi, e, o));
        const double gainTerm = Weighted(gained, LogOpening(e, x));
        q.value += stayTerm + gainTerm;
        q.magnitude += std::abs(stayTerm) + std::abs(gainTerm);
      }
      q.slope += (s2 - s1 * xi) * t;
      q.curvature += ((1 - xi) * xi * s3 - s4) * t * t;
    }
    return q;
  }

 private:
  const PhylogeneticTree& tree_;
  const std::vector<double>& xi_;
  const std::vector<double>& rg_;
  std::uint32_t k_;
  std::vector<double> stay_, gain_;  // [v][k]
};

// xi of node v: Gain ln xi + sum over genes g and gain categories k of Stay ln(1 - xi O), with
// O = 1 - e^(-eta[g] rg t).
class XiObjective {
 public:
  XiObjective(const EM& em, const PhylogeneticTree& tree, std::uint32_t v) {
    const std::uint32_t m = em.lossCategories.count, k = em.gainCategories.count, genes = em.model.geneCount;
    const std::vector<double>& rg = em.gainCategories.rates;
    const double t = tree.branchLength[v];
    stay_.assign(static_cast<std::size_t>(genes) * k, 0.0);
    open_.assign(stay_.size(), 0.0);
    decay_.assign(stay_.size(), 0.0);
    for (std::uint32_t g = 0; g < genes; ++g) {
      for (std::uint32_t a = 0; a < k; ++a) {
        double stayed = 0;
        for (std::uint32_t l = 0; l < m; ++l) {
          stayed += em.Sums().Transition(g, v, 0, 0, a, l);
          gain_ += em.Sums().Transition(g, v, 0, 1, a, l);
        }
        stay_[g * k + a] = stayed;
        decay_[g * k + a] = std::exp(-em.model.eta[g] * rg[a] * t);
        open_[g * k + a] = 1 - decay_[g * k + a];
      }
    }
  }

  bool HasEvidence() const {
    if (gain_ > 0) return true;
    for (double s : stay_) {
      if (s > 0) return true;
    }
    return false;
  }

  LocalObjective operator()(double xi) const {
    LocalObjective q;
    for (std::size_t i = 0; i < stay_.size(); ++i) {
      const double stayChance = NoGainChance(xi, decay_[i], open_[i]);
      const double d = open_[i] / stayChance;
      q.slope -= Weighted(stay_[i], d);
      q.curvature -= Weighted(stay_[i], d * d);
      const double term = Weighted(stay_[i], LogNoGainChance(xi, decay_[i], open_[i]));
      q.value += term;
      q.magnitude += std::abs(term);
    }
    const double w = xi + kEpsilon;
    q.slope += gain_ / w;
    q.curvature -= gain_ / (w * w);
    const double gainTerm = Weighted(gain_, std::log(xi));
    q.value += gainTerm;
    q.magnitude += std::abs(gainTerm);
    return q;
  }

 private:
  double gain_ = 0;
  std::vector<double> stay_, open_, decay_;  // [g][k]
};

bool RelativeStepWithin(double next, double previous, double denominator, double tolerance) {
  return !(std::abs(next - previous) / denominator > tolerance);
}

}  // namespace

void EM::UpdateTheta(const PhylogeneticTree& tree) {
  const double upper = RangeOf(kTheta).upper;
  for (std::uint32_t g = 0; g < model.geneCount; ++g) {
    if (!flags.theta[g]) continue;
    const ThetaObjective objective(*this, tree, g);
    const auto propose = [upper](double theta, const LocalObjective& q) {
      // A gene whose posteriors put no weight below a present parent (no site, or none that can
      // hold the character): nothing depends on theta, which keeps its value.
      if (q.slope == 0 && q.curvature == 0) return theta;
      // Without loss weight (or with phi at 1 wherever there is some) the curvature is exactly 0
      // and the slope negative: a Newton step would run to infinity against the slope, so halve.
      double next = q.curvature < 0 ? theta - q.slope / q.curvature : theta * 0.5;
      if (next < 0) next = theta * 0.5;
      return std::min(std::max(next, kThetaFloor), upper);
    };
    const double tolerance = settings.internalTolerance;
    const AscentResult result = SafeguardedAscent(
        model.theta[g], kMaxNewtonSteps, objective, propose,
        [tolerance](double next, double previous) { return RelativeStepWithin(next, previous, previous, tolerance); });
    if (!result.stopped) WarnNewton("theta", "gene", g, result.x);
    monitor.RecordTheta(result.x, model.theta[g]);
    model.theta[g] = result.x;
  }
}

void EM::MaxPhi(const PhylogeneticTree& tree) {
  const std::uint32_t n = tree.nodeCount;
  const std::vector<double> before = model.phi;
  for (std::uint32_t v = 1; v < n; ++v) {
    if (!flags.phi[v]) continue;
    const PhiObjective objective(*this, tree, v);
    const bool lossNeedsPhi = objective.LossNeedsPhi();
    const auto propose = [lossNeedsPhi](double phi, const LocalObjective& q) {
      double next = phi - q.slope / q.curvature;
      // Where phi = 0 makes some loss impossible, an overshoot below 0 halves instead of clamping.
      if (!(next > 0)) return lossNeedsPhi ? phi * 0.5 : 0.0;
      return next < kPhiCeiling ? next : kPhiCeiling;
    };
    const double tolerance = settings.internalTolerance;
    const auto done = [tolerance](double next, double previous) {
      return RelativeStepWithin(next, previous, previous + kEpsilon, tolerance) ||
             std::abs(next - previous) <= kProbabilityResolution;
    };
    // Near phi = 0 the Newton step can jump between two iterates for ever without meeting the
    // tolerance; after 51 steps (the first version's bound, which stored fits that hit it depend
    // on to the last bit) the node takes the better of the last iterate and the two's mean.
    AscentResult result = SafeguardedAscent(model.phi[v], kMaxPhiSteps, objective, propose, done);
    if (!result.stopped) {
      char text[160];
      std::snprintf(text, sizeof text, "Recovering from inifinite loop in PHI(%d). Taking average between %lg and %lg",
                    static_cast<int>(v), result.x, result.previous);
      Report("phi-step-limit", "EM:MaxPhi", std::string("\nMaxPhi: Warning: ") + text + "\n", text);
      const double average = (result.x + result.previous) * 0.5;
      if (NotBelow(objective(average), objective(result.x))) result.x = average;
    }
    model.phi[v] = result.x;
  }
  if (limits.thetaPhiInvariant) model.ApplyThetaPhiInvariant(tree);
  for (std::uint32_t v = 1; v < n; ++v) monitor.RecordPhi(model.phi[v], before[v]);
}

void EM::UpdateEta(const PhylogeneticTree& tree) {
  const double upper = RangeOf(kEta).upper;
  for (std::uint32_t g = 0; g < model.geneCount; ++g) {
    if (!flags.eta[g]) continue;
    const EtaObjective objective(*this, tree, g);
    const auto propose = [upper](double eta, const LocalObjective& q) {
      // No weight below an absent parent in a gaining category: nothing depends on eta.
      if (q.slope == 0 && q.curvature == 0) return eta;
      // Not concave here (the non-gain term is convex in eta): no Newton step, but a doubling or a
      // halving in the direction of the slope, which the safeguard shortens until Q rises. Never
      // below the floor, under which 1 - exp(-eta r t) rounds to 0.
      if (!(q.curvature < 0)) return q.slope > 0 ? std::min(eta * 2, upper) : std::max(eta * 0.5, kEtaFloor);
      double next = eta - q.slope / q.curvature;
      if (next < 0) next = eta * 0.5;
      return std::min(std::max(next, kEtaFloor), upper);
    };
    const double tolerance = settings.internalTolerance;
    const AscentResult result =
        SafeguardedAscent(model.eta[g], kMaxNewtonSteps, objective, propose, [tolerance](double next, double previous) {
          return RelativeStepWithin(next, previous, previous + kEpsilon, tolerance);
        });
    if (!result.stopped) WarnNewton("eta", "gene", g, result.x);
    monitor.RecordEta(result.x, model.eta[g]);
    model.eta[g] = result.x;
  }
}

void EM::UpdateXi(const PhylogeneticTree& tree) {
  const std::uint32_t n = tree.nodeCount;
  const std::vector<double> before = model.xi;
  const auto propose = [](double xi, const LocalObjective& q) {
    double next = xi - q.slope / q.curvature;
    if (!(next > 0)) next = xi * 0.5;
    // A floor instead of 0: at xi = 0 the branch could never gain again, since the E-step would
    // give its gains no weight.
    return next > 1 ? 1.0 : std::max(next, kXiFloor);
  };
  const double tolerance = settings.internalTolerance;
  const auto done = [tolerance](double next, double previous) {
    return RelativeStepWithin(next, previous, previous, tolerance) ||
           std::abs(next - previous) <= kProbabilityResolution;
  };
  for (std::uint32_t v = 1; v < n; ++v) {
    if (!flags.xi[v]) continue;
    const XiObjective objective(*this, tree, v);
    // Nothing below an absent parent: no evidence about xi, which keeps its value.
    if (!objective.HasEvidence()) continue;
    const AscentResult result = SafeguardedAscent(model.xi[v], kMaxNewtonSteps, objective, propose, done);
    if (!result.stopped) WarnNewton("xi", "node", v, result.x);
    model.xi[v] = result.x;
  }
  if (limits.etaXiInvariant) model.ApplyEtaXiInvariant(tree);
  for (std::uint32_t v = 1; v < n; ++v) monitor.RecordXi(model.xi[v], before[v]);
}

void EM::ForEachFreeParameter(const AlignmentData& data, const PhylogeneticTree& tree,
                              const std::function<void(const FreeParameter&)>& visit) const {
  auto report = [&](ParameterFamily family, std::uint32_t index, const LocalObjective& q) {
    FreeParameter f;
    f.family = family;
    f.index = index;
    f.value = Value(model, family, index);
    f.gradient = q.slope;
    f.curvature = q.curvature;
    const Range range = RangeOf(family);
    f.lower = range.lower;
    f.upper = range.upper;
    f.rate = Family(family).rate;
    visit(f);
  };
  // Q = a ln x + b ln(1 - x), as p0 and nu have it.
  auto binomial = [](double x, double a, double b) {
    LocalObjective q;
    q.slope = a / x - b / (1 - x);
    q.curvature = -a / (x * x) - b / ((1 - x) * (1 - x));
    return q;
  };
  if (flags.p0) {
    // a: the posterior mass of an absent root.
    const std::uint32_t r1 = tree.firstChild[0];
    double all = 0, absent = 0;
    for (std::uint32_t g = 0; g < Sums().geneCount; ++g) {
      for (std::uint32_t c = 0; c < Sums().pairCount; ++c) {
        all += Sums().categories[static_cast<std::size_t>(g) * Sums().pairCount + c];
        absent += Sums().transitions[Sums().TransitionOffset(g, r1, 0, 0) + c] +
                  Sums().transitions[Sums().TransitionOffset(g, r1, 0, 1) + c];
      }
    }
    report(kP0, 0, binomial(model.p0, absent, all - absent));
  }
  for (std::uint32_t g = 0; g < model.geneCount; ++g) {
    if (flags.theta[g]) report(kTheta, g, ThetaObjective(*this, tree, g)(model.theta[g]));
  }
  for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
    if (flags.phi[v]) report(kPhi, v, PhiObjective(*this, tree, v)(model.phi[v]));
  }
  for (std::uint32_t g = 0; g < model.geneCount; ++g) {
    if (flags.eta[g]) report(kEta, g, EtaObjective(*this, tree, g)(model.eta[g]));
  }
  for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
    if (flags.xi[v]) report(kXi, v, XiObjective(*this, tree, v)(model.xi[v]));
  }
  if (flags.nu) {
    // a: the never-gaining mass; the other terms of Q do not depend on nu.
    double zeroGain = 0;
    for (std::uint32_t g = 0; g < Sums().geneCount; ++g) {
      for (std::uint32_t l = 0; l < Sums().lossCount; ++l) zeroGain += Sums().Category(g, 0, l);
    }
    const double sites = data.filteredSites + Sums().unobservedSites;
    report(kNu, 0, binomial(model.nu, zeroGain, sites - zeroGain));
  }
  // The shapes reach Q only through the gamma quantiles: differences of the objectives their
  // updates minimise, one-sided at a bound or where one side is infinite (near the smallest shape
  // the lowest rate underflows and a loss weight of rounding size meets ln 0).
  auto shape = [](const auto& objective, double x, double lower) {
    const double h = 1e-4 * x;
    const double below = std::max(x - h, lower), above = std::min(x + h, kShapeCeiling);
    const double f = -objective(x), fBelow = -objective(below), fAbove = -objective(above);
    const bool left = below < x && std::isfinite(fBelow), right = above > x && std::isfinite(fAbove);
    LocalObjective q;
    if (left && right) {
      q.slope = (fAbove - fBelow) / (above - below);
      q.curvature = ((fAbove - f) / (above - x) - (f - fBelow) / (x - below)) / ((above - below) / 2);
    } else if (left) {
      q.slope = (f - fBelow) / (x - below);
    } else if (right) {
      q.slope = (fAbove - f) / (above - x);
    }
    return q;
  };
  if (flags.llambda) {
    report(kLLambda, 0,
           shape([&](double x) { return LossRateObjective(x, tree); }, model.llambda, settings.minLLambda));
  }
  if (flags.glambda) {
    report(kGLambda, 0,
           shape([&](double x) { return GainRateObjective(x, tree); }, model.glambda, settings.minGLambda));
  }
}

}  // namespace vorn
