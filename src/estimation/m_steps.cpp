#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/em.h"

namespace vorn {
namespace {

constexpr double kEpsilon = 2.220446049250313e-16;
constexpr double kEtaFloor = 1.1920928955078125e-07;
// Newton on theta, eta and xi converges in a handful of steps; a run that reaches this bound is
// cycling, and its last iterate is kept.
constexpr int kMaxNewtonSteps = 1000;

// A posterior sum of 0 takes no part in a Newton sum, even where its factor is infinite (a branch of
// length 0, a probability at its bound), so such branches cannot turn the update into not-a-number.
inline double Weighted(double sum, double factor) { return sum > 0 ? sum * factor : 0.0; }

void WarnNewton(const char* parameter, const char* what, unsigned index, double value) {
  std::fprintf(stderr, "Warning:VORN:EM:Run: %s of %s #%u did not converge in %d Newton steps; keeping %lg\n",
               parameter, what, index, kMaxNewtonSteps, value);
}

}  // namespace

void EM::UpdateP0(const PhylogeneticTree& tree) {
  // The root is absent with posterior T[0][0] + T[0][1] on the branch of its first child.
  const std::uint32_t r1 = tree.firstChild[0];
  double all = 0, absent = 0;
  for (std::uint32_t g = 0; g < sums.geneCount; ++g) {
    const double* total = &sums.categories[static_cast<std::size_t>(g) * sums.pairCount];
    const double* stays = &sums.transitions[sums.TransitionOffset(g, r1, 0, 0)];
    const double* gains = &sums.transitions[sums.TransitionOffset(g, r1, 0, 1)];
    for (std::uint32_t c = 0; c < sums.pairCount; ++c) {
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
  for (std::uint32_t g = 0; g < sums.geneCount; ++g) {
    for (std::uint32_t l = 0; l < sums.lossCount; ++l) zeroGain += sums.Category(g, 0, l);
  }
  const double updated = zeroGain / data.filteredSites;
  monitor.RecordNu(updated, model.nu);
  model.nu = updated;
}

void EM::UpdateTheta(const PhylogeneticTree& tree) {
  const std::uint32_t n = tree.nodeCount, m = lossCategories.count, k = gainCategories.count;
  const std::vector<double>& rl = lossCategories.rates;
  const double upper = thetaCap / rl[m - 1];
  std::vector<double> loss(static_cast<std::size_t>(n) * m), keep(static_cast<std::size_t>(n) * m);
  for (std::uint32_t g = 0; g < model.geneCount; ++g) {
    if (!flags.theta[g]) continue;
    for (std::uint32_t v = 1; v < n; ++v) {
      for (std::uint32_t l = 0; l < m; ++l) {
        double lost = 0, kept = 0;
        for (std::uint32_t a = 0; a < k; ++a) {
          lost += sums.Transition(g, v, 1, 0, a, l);
          kept += sums.Transition(g, v, 1, 1, a, l);
        }
        loss[v * m + l] = lost;
        keep[v * m + l] = kept;
      }
    }
    double theta = model.theta[g];
    int steps = 0;
    for (;;) {
      const double previous = theta;
      double d1 = 0, d2 = 0;
      for (std::uint32_t v = 1; v < n; ++v) {
        const double t = tree.branchLength[v];
        if (t == 0) continue;  // contributes nothing: both derivatives carry a factor t
        const double q = 1 - model.phi[v];
        double sa = 0, sb = 0, sc = 0;
        for (std::uint32_t l = 0; l < m; ++l) {
          const double e = std::exp(-theta * rl[l] * t);
          const double den = 1 - (q - kEpsilon) * e;
          sa += Weighted(loss[v * m + l], e * rl[l] / den);
          sb += rl[l] * keep[v * m + l];
          sc += Weighted(loss[v * m + l], rl[l] * rl[l] * e / den / den);
        }
        d1 += (q * sa - sb) * t;
        d2 += -q * sc * t * t;
      }
      // A gene whose posteriors put no weight below a present parent (no site, or none that can
      // hold the character): nothing depends on theta, which keeps its value; a step would be 0/0.
      if (d1 == 0 && d2 == 0) break;
      // Without loss weight (or with phi at 1 wherever there is some) the curvature is exactly 0
      // and the slope negative: a Newton step would run to infinity against the slope, so halve.
      theta = d2 < 0 ? theta - d1 / d2 : previous * 0.5;
      if (theta < 0) theta = previous * 0.5;
      if (theta < 0.0001) {
        theta = 0.0001;
      } else if (theta > upper) {
        theta = upper;
      }
      if (!(std::abs(theta - previous) / previous > internalTolerance)) break;
      if (++steps == kMaxNewtonSteps) {
        WarnNewton("theta", "gene", g, theta);
        break;
      }
    }
    monitor.RecordTheta(theta, model.theta[g]);
    model.theta[g] = theta;
  }
}

void EM::MaxPhi(const PhylogeneticTree& tree) {
  const std::uint32_t n = tree.nodeCount, m = lossCategories.count, k = gainCategories.count;
  const std::uint32_t genes = model.geneCount;
  const std::vector<double>& rl = lossCategories.rates;
  const std::vector<double> before = model.phi;
  std::vector<double> loss(static_cast<std::size_t>(genes) * m), decay(static_cast<std::size_t>(genes) * m);
  for (std::uint32_t v = 1; v < n; ++v) {
    if (!flags.phi[v]) continue;
    const double t = tree.branchLength[v];
    double keep = 0;
    for (std::uint32_t g = 0; g < genes; ++g) {
      for (std::uint32_t l = 0; l < m; ++l) {
        double lost = 0;
        for (std::uint32_t a = 0; a < k; ++a) {
          lost += sums.Transition(g, v, 1, 0, a, l);
          keep += sums.Transition(g, v, 1, 1, a, l);
        }
        loss[g * m + l] = lost;
        decay[g * m + l] = std::exp(-model.theta[g] * rl[l] * t);
      }
    }
    // A loss weighing on a category that cannot decay on this branch (length 0, or a rate so small
    // that exp rounds to 1) is made by phi alone: at phi = 0 the objective is -infinity and the data
    // impossible, so there an overshoot below 0 halves instead of clamping.
    bool lossNeedsPhi = false;
    for (std::size_t i = 0; i < loss.size(); ++i) lossNeedsPhi = lossNeedsPhi || (loss[i] > 0 && decay[i] == 1);
    double phi = model.phi[v], previous = 0;
    for (int steps = 0;; ++steps) {
      if (steps == 51) {
        std::fprintf(stderr,
                     "\nMaxPhi: Warning: Recovering from inifinite loop in PHI(%d). "
                     "Taking average between %lg and %lg\n",
                     static_cast<int>(v), phi, previous);
        phi = (phi + previous) * 0.5;
        break;
      }
      previous = phi;
      double f1 = 0, f2 = 0;
      for (std::size_t i = 0; i < loss.size(); ++i) {
        const double d = decay[i] / (1 - (1 - phi) * decay[i]);
        f1 += Weighted(loss[i], d);
        f2 -= Weighted(loss[i], d * d);
      }
      const double kept = 1 - phi + kEpsilon;
      phi = phi - (f1 - keep / kept) / (f2 - keep / (kept * kept));
      if (!(phi > 0)) {
        phi = lossNeedsPhi ? previous * 0.5 : 0;
      } else if (!(phi < 0.9999)) {
        phi = 0.9999;
      }
      if (!(std::abs(phi - previous) / (previous + kEpsilon) > internalTolerance)) break;
    }
    model.phi[v] = phi;
  }
  if (thetaPhiInvariant) model.ApplyThetaPhiInvariant(tree);
  for (std::uint32_t v = 1; v < n; ++v) monitor.RecordPhi(model.phi[v], before[v]);
}

void EM::UpdateEta(const PhylogeneticTree& tree) {
  const std::uint32_t n = tree.nodeCount, m = lossCategories.count, k = gainCategories.count;
  const std::vector<double>& rg = gainCategories.rates;
  const double upper = etaCap / rg[k - 1];
  std::vector<double> stay(static_cast<std::size_t>(n) * k), gain(static_cast<std::size_t>(n) * k);
  for (std::uint32_t g = 0; g < model.geneCount; ++g) {
    if (!flags.eta[g]) continue;
    for (std::uint32_t v = 1; v < n; ++v) {
      for (std::uint32_t a = 1; a < k; ++a) {
        double stayed = 0, gained = 0;
        for (std::uint32_t l = 0; l < m; ++l) {
          stayed += sums.Transition(g, v, 0, 0, a, l);
          gained += sums.Transition(g, v, 0, 1, a, l);
        }
        stay[v * k + a] = stayed;
        gain[v * k + a] = gained;
      }
    }
    double eta = model.eta[g];
    int steps = 0;
    for (;;) {
      const double previous = eta;
      double d1 = 0, d2 = 0;
      for (std::uint32_t v = 1; v < n; ++v) {
        const double t = tree.branchLength[v];
        if (t == 0) continue;  // contributes nothing: both derivatives carry a factor t
        const double xi = model.xi[v];
        double s1 = 0, s2 = 0, s3 = 0, s4 = 0;
        for (std::uint32_t a = 1; a < k; ++a) {
          const double e = std::exp(-rg[a] * t * eta);
          // A rate so small that e rounds to 1 would leave o = 0 and a gain weight divided by it;
          // expm1 still resolves it (elsewhere 1 - e stands, as the E-step computes it).
          const double o = e != 1 ? 1 - e : -std::expm1(-rg[a] * t * eta);
          const double den = 1 - o * xi;
          s1 += Weighted(stay[v * k + a], e * rg[a] / den);
          s2 += Weighted(gain[v * k + a], e * rg[a] / o);
          s3 += Weighted(stay[v * k + a], rg[a] * rg[a] * e / den / den);
          s4 += Weighted(gain[v * k + a], rg[a] * rg[a] * e / o / o);
        }
        d1 += (s2 - s1 * xi) * t;
        d2 += ((1 - xi) * xi * s3 - s4) * t * t;
      }
      // No weight below an absent parent in a gaining category: nothing depends on eta, which
      // keeps its value; a step would be 0/0.
      if (d1 == 0 && d2 == 0) break;
      if (!(d2 < 0)) {
        // Not concave here: halve instead of stepping. That includes a curvature of exactly 0
        // (xi of 1 on a branch without gains), where a Newton step runs to infinity against the
        // slope, and one that is not a number. Never below the floor, under which
        // 1 - exp(-eta r t) rounds to 0 and the next derivatives are not numbers either.
        eta = std::max(eta * 0.5, kEtaFloor);
      } else {
        eta = eta - d1 / d2;
        if (eta < 0) eta = previous * 0.5;
        if (eta < kEtaFloor) {
          eta = kEtaFloor;
        } else if (eta > upper) {
          eta = upper;
        }
      }
      if (!(std::abs(eta - previous) / (previous + kEpsilon) > internalTolerance)) break;
      if (++steps == kMaxNewtonSteps) {
        WarnNewton("eta", "gene", g, eta);
        break;
      }
    }
    monitor.RecordEta(eta, model.eta[g]);
    model.eta[g] = eta;
  }
}

void EM::UpdateXi(const PhylogeneticTree& tree) {
  const std::uint32_t n = tree.nodeCount, m = lossCategories.count, k = gainCategories.count;
  const std::uint32_t genes = model.geneCount;
  const std::vector<double>& rg = gainCategories.rates;
  const std::vector<double> before = model.xi;
  std::vector<double> stay(static_cast<std::size_t>(genes) * k), open(static_cast<std::size_t>(genes) * k);
  for (std::uint32_t v = 1; v < n; ++v) {
    if (!flags.xi[v]) continue;
    const double t = tree.branchLength[v];
    double gained = 0;
    for (std::uint32_t g = 0; g < genes; ++g) {
      for (std::uint32_t a = 0; a < k; ++a) {
        double stayed = 0;
        for (std::uint32_t l = 0; l < m; ++l) {
          stayed += sums.Transition(g, v, 0, 0, a, l);
          gained += sums.Transition(g, v, 0, 1, a, l);
        }
        stay[g * k + a] = stayed;
        open[g * k + a] = 1 - std::exp(-model.eta[g] * rg[a] * t);
      }
    }
    double xi = model.xi[v], updated = xi;
    for (int steps = 0;; ++steps) {
      double f1 = 0, f2 = 0;
      for (std::size_t i = 0; i < stay.size(); ++i) {
        const double d = open[i] / (1 - xi * open[i]);
        f1 -= Weighted(stay[i], d);
        f2 -= Weighted(stay[i], d * d);
      }
      const double w = xi + kEpsilon;
      updated = xi - (f1 + gained / w) / (f2 - gained / (w * w));
      if (!(updated > 0)) updated = xi * 0.5;
      if (updated > 1) {
        updated = 1;
      } else if (updated < kEtaFloor) {
        updated = 0;
      }
      // No epsilon: 0/0 gives not-a-number, which ends the loop.
      if (!(std::abs(updated - xi) / xi > internalTolerance)) break;
      if (steps + 1 == kMaxNewtonSteps) {
        WarnNewton("xi", "node", v, updated);
        break;
      }
      xi = updated;
    }
    model.xi[v] = updated;
  }
  if (etaXiInvariant) model.ApplyEtaXiInvariant(tree);
  for (std::uint32_t v = 1; v < n; ++v) monitor.RecordXi(model.xi[v], before[v]);
}

}  // namespace vorn
