#include "estimation/literal_estep.h"

#include <cmath>


namespace vorn {
namespace testing_support {
namespace {

constexpr double kEps = 2.220446049250313e-16;
constexpr long double kNegInf = -HUGE_VALL;

long double Ln(long double x) { return x == 0 ? kNegInf : std::log(x); }

// exp(x) when finite, else 0, as the model's safe exponential does, in long double.
long double SafeExp(long double x) {
  const long double e = std::exp(x);
  return std::isfinite(e) ? e : 0;
}

}  // namespace

LiteralEStep::LiteralEStep(const EM& em, const AlignmentData& data, const PhylogeneticTree& tree)
    : em_(em), data_(data), tree_(tree), n_(tree.nodeCount), k_(em.gainCategories.count), m_(em.lossCategories.count) {
  const std::uint32_t pairs = k_ * m_;
  for (std::uint32_t g = 0; g < data.geneCount; ++g) {
    const Gene& gene = data.genes[g];
    for (std::uint32_t e = 0; e < gene.entryCount; ++e) {
      Entry entry;
      entry.gene = g;
      entry.pattern = gene.patternIndices[e];
      entry.count = gene.counts[e];
      entry.transition.assign(static_cast<std::size_t>(pairs) * 4 * n_, 0.0);
      entry.state.assign(static_cast<std::size_t>(pairs) * 2 * n_, 0.0);
      entry.category.assign(pairs, 0.0);
      entry.likelihood.assign(pairs, 0.0);
      long double mixture = 0;
      std::vector<long double> weighted(pairs);
      for (std::uint32_t k = 0; k < k_; ++k) {
        for (std::uint32_t l = 0; l < m_; ++l) {
          const std::uint32_t c = k * m_ + l;
          PatternTables(g, data.patterns[entry.pattern].values.data(), k, l, &entry.likelihood[c],
                        &entry.transition[static_cast<std::size_t>(c) * 4 * n_],
                        &entry.state[static_cast<std::size_t>(c) * 2 * n_]);
          weighted[c] = static_cast<long double>(em.lossCategories.weights[l]) * em.gainCategories.weights[k] *
                        entry.likelihood[c];
          mixture += weighted[c];
        }
      }
      logLikelihood += entry.count * std::log(mixture);
      for (std::uint32_t c = 0; c < pairs; ++c) entry.category[c] = static_cast<double>(weighted[c] / mixture);
      entries.push_back(std::move(entry));
    }
  }
}

void LiteralEStep::PatternTables(std::uint32_t g, const std::uint8_t* pattern, std::uint32_t k, std::uint32_t l,
                                 long double* h, double* transition, double* state) const {
  const EvolModel& model = em_.model;
  const PhylogeneticTree& tree = tree_;
  const std::uint32_t n = n_, leaves = tree.leafCount;
  const long double lambdaLoss = static_cast<long double>(model.theta[g]) * em_.lossCategories.rates[l];
  const long double lambdaGain = static_cast<long double>(model.eta[g]) * em_.gainCategories.rates[k];
  auto G = [&](std::uint32_t v) { return model.xi[v] * (1 - std::exp(-lambdaGain * tree.branchLength[v])); };
  auto R = [&](std::uint32_t v) { return (1 - model.phi[v]) * std::exp(-lambdaLoss * tree.branchLength[v]); };
  std::vector<long double> t(4 * n, 0), s(2 * n, 0);
  auto T = [&](int a, int b, std::uint32_t v) -> long double& { return t[(a * 2 + b) * n + v]; };
  auto S = [&](int a, std::uint32_t v) -> long double& { return s[a * n + v]; };
  std::vector<long double> q0(n), q1(n);
  for (std::uint32_t j = 0; j < leaves; ++j) {
    const std::uint32_t u = tree.leafNodes[j];
    const int s = pattern[j];
    if (s == 2) {
      q0[u] = q1[u] = 1;
    } else {
      q0[u] = (1 - s) + (2 * s - 1) * G(u);
      q1[u] = (1 - s) + (2 * s - 1) * R(u);
    }
  }
  for (std::uint32_t v : tree.innerNodes) {
    const std::uint32_t y = tree.firstChild[v], z = tree.secondChild[v];
    q0[v] = (1 - G(v)) * q0[y] * q0[z] + G(v) * q1[y] * q1[z];
    q1[v] = (1 - R(v)) * q0[y] * q0[z] + R(v) * q1[y] * q1[z];
  }
  const std::uint32_t r1 = tree.firstChild[0], r2 = tree.secondChild[0];
  auto below = [&](std::uint32_t y, long double* b0, long double* b1) {
    if (tree.IsLeaf(y)) {
      const int value = pattern[y - leaves + 1];
      *b0 = value == 1 ? 0 : 1;
      *b1 = value == 0 ? 0 : 1;
      if (value == 2) *b0 = *b1 = 1;
    } else {
      *b0 = q0[tree.firstChild[y]] * q0[tree.secondChild[y]];
      *b1 = q1[tree.firstChild[y]] * q1[tree.secondChild[y]];
    }
  };
  auto joint = [&](std::uint32_t child, std::uint32_t other, long double J[2][2]) {
    long double b[2];
    below(child, &b[0], &b[1]);
    const long double rootProbability[2] = {model.p0, 1 - model.p0};
    const long double q[2] = {q0[other], q1[other]};
    const long double transitionProbability[2][2] = {{1 - G(child), G(child)}, {1 - R(child), R(child)}};
    for (int a = 0; a < 2; ++a) {
      for (int bb = 0; bb < 2; ++bb) {
        J[a][bb] = b[bb] == 0 ? kNegInf
                              : Ln(rootProbability[a]) + Ln(q[a]) + Ln(transitionProbability[a][bb]) + Ln(b[bb]);
      }
    }
  };
  long double J[2][2], J2[2][2];
  joint(r1, r2, J);
  const long double lambda = std::log(SafeExp(J[0][0]) + SafeExp(J[0][1]) + SafeExp(J[1][0]) + SafeExp(J[1][1]));
  *h = SafeExp(lambda);
  for (int a = 0; a < 2; ++a) {
    for (int b = 0; b < 2; ++b) T(a, b, r1) = SafeExp(J[a][b] - lambda);
  }
  S(0, r1) = T(0, 0, r1) + T(1, 0, r1);
  S(1, r1) = T(0, 1, r1) + T(1, 1, r1);
  S(0, 0) = T(0, 0, r1) + T(0, 1, r1);
  S(1, 0) = T(1, 0, r1) + T(1, 1, r1);
  joint(r2, r1, J2);
  for (int a = 0; a < 2; ++a) {
    for (int b = 0; b < 2; ++b) T(a, b, r2) = SafeExp(J2[a][b] - lambda);
  }
  if (tree.IsLeaf(r2)) {
    const int value = pattern[r2 - leaves + 1];
    if (value == 0) T(0, 1, r2) = T(1, 1, r2) = 0;
    if (value == 1) T(0, 0, r2) = T(1, 0, r2) = 0;
  }
  S(0, r2) = T(0, 0, r2) + T(1, 0, r2);
  S(1, r2) = T(0, 1, r2) + T(1, 1, r2);
  for (std::uint32_t i = 0; i < tree.deepInnerCount; ++i) {
    const std::uint32_t v = tree.deepInnerNodes[i];
    const std::uint32_t u = tree.parent[v], y = tree.firstChild[v], z = tree.secondChild[v];
    if (q0[v] == 0) {
      T(0, 0, v) = T(0, 1, v) = 0;
    } else {
      T(0, 0, v) = S(0, u) * q0[y] * q0[z] * (1 - G(v)) / q0[v];
      T(0, 1, v) = S(0, u) * q1[y] * q1[z] * G(v) / q0[v];
    }
    if (q1[v] == 0) {
      T(1, 0, v) = T(1, 1, v) = 0;
    } else {
      T(1, 0, v) = S(1, u) * q0[y] * q0[z] * (1 - R(v)) / q1[v];
      T(1, 1, v) = S(1, u) * q1[y] * q1[z] * R(v) / q1[v];
    }
    S(0, v) = T(0, 0, v) + T(1, 0, v);
    S(1, v) = T(0, 1, v) + T(1, 1, v);
  }
  for (std::uint32_t j = 0; j < leaves; ++j) {
    const std::uint32_t u = tree.leafNodes[j];
    if (u == r1 || u == r2) continue;
    const std::uint32_t w = tree.parent[u];
    if (pattern[j] == 0) {
      T(0, 0, u) = S(0, w), T(0, 1, u) = 0, T(1, 0, u) = S(1, w), T(1, 1, u) = 0;
    } else if (pattern[j] == 1) {
      T(0, 0, u) = 0, T(0, 1, u) = S(0, w), T(1, 0, u) = 0, T(1, 1, u) = S(1, w);
    } else {
      T(0, 0, u) = (1 - G(u)) * S(0, w), T(0, 1, u) = G(u) * S(0, w);
      T(1, 0, u) = (1 - R(u)) * S(1, w), T(1, 1, u) = R(u) * S(1, w);
    }
    S(0, u) = T(0, 0, u) + T(1, 0, u);
    S(1, u) = T(0, 1, u) + T(1, 1, u);
  }
  for (std::size_t i = 0; i < t.size(); ++i) transition[i] = static_cast<double>(t[i]);
  for (std::size_t i = 0; i < s.size(); ++i) state[i] = static_cast<double>(s[i]);
}

double LiteralEStep::P0() const {
  double a = 0, b = 0;
  for (const Entry& e : entries) {
    double x = 0, xs = 0;
    for (std::uint32_t c = 0; c < k_ * m_; ++c) {
      x += e.category[c];
      xs += e.category[c] * S(e, c, 0, 0);
    }
    a += e.count * x;
    b += e.count * xs;
  }
  return b / a;
}

double LiteralEStep::Nu() const {
  double sum = 0;
  for (const Entry& e : entries) {
    double x = 0;
    for (std::uint32_t l = 0; l < m_; ++l) x += e.category[l];
    sum += e.count * x;
  }
  return sum / data_.filteredSites;
}

double LiteralEStep::Theta(std::uint32_t g) const {
  const std::vector<double>& rl = em_.lossCategories.rates;
  std::vector<double> loss(n_ * m_, 0.0), keep(n_ * m_, 0.0);
  for (const Entry& e : entries) {
    if (e.gene != g) continue;
    for (std::uint32_t v = 1; v < n_; ++v) {
      for (std::uint32_t l = 0; l < m_; ++l) {
        double lost = 0, kept = 0;
        for (std::uint32_t k = 0; k < k_; ++k) {
          lost += e.category[k * m_ + l] * T(e, k * m_ + l, 1, 0, v);
          kept += e.category[k * m_ + l] * T(e, k * m_ + l, 1, 1, v);
        }
        loss[v * m_ + l] += e.count * lost;
        keep[v * m_ + l] += e.count * kept;
      }
    }
  }
  double theta = em_.model.theta[g];
  for (int step = 0; step < 1000; ++step) {
    const double old = theta;
    double d1 = 0, d2 = 0;
    for (std::uint32_t v = 1; v < n_; ++v) {
      const double t = tree_.branchLength[v], q = 1 - em_.model.phi[v];
      double sa = 0, sb = 0, sc = 0;
      for (std::uint32_t l = 0; l < m_; ++l) {
        const double e = std::exp(-theta * rl[l] * t), den = 1 - (q - kEps) * e;
        sa += (e * rl[l] / den) * loss[v * m_ + l];
        sb += rl[l] * keep[v * m_ + l];
        sc += (rl[l] * rl[l] * e / den / den) * loss[v * m_ + l];
      }
      d1 += (q * sa - sb) * t;
      d2 += -q * sc * t * t;
    }
    theta = theta - d1 / d2;
    if (theta < 0) theta = old * 0.5;
    if (theta < 0.0001) {
      theta = 0.0001;
    } else if (theta > em_.thetaCap / rl[m_ - 1]) {
      theta = em_.thetaCap / rl[m_ - 1];
    }
    if (std::abs(theta - old) / old <= em_.internalTolerance) break;
  }
  return theta;
}

std::vector<double> LiteralEStep::Phi() const {
  std::vector<double> phi = em_.model.phi;
  const std::uint32_t genes = data_.geneCount;
  for (std::uint32_t v = 1; v < n_; ++v) {
    if (!em_.flags.phi[v]) continue;
    std::vector<double> loss(genes * m_, 0.0), decay(genes * m_);
    double keep = 0;
    for (const Entry& e : entries) {
      for (std::uint32_t l = 0; l < m_; ++l) {
        for (std::uint32_t k = 0; k < k_; ++k) {
          loss[e.gene * m_ + l] += e.count * (e.category[k * m_ + l] * T(e, k * m_ + l, 1, 0, v));
          keep += e.count * (e.category[k * m_ + l] * T(e, k * m_ + l, 1, 1, v));
        }
      }
    }
    for (std::uint32_t g = 0; g < genes; ++g) {
      for (std::uint32_t l = 0; l < m_; ++l) {
        decay[g * m_ + l] = std::exp(-em_.model.theta[g] * em_.lossCategories.rates[l] * tree_.branchLength[v]);
      }
    }
    double x = phi[v], previous = 0;
    for (int steps = 0;; ++steps) {
      if (steps == 51) {
        x = (x + previous) * 0.5;
        break;
      }
      previous = x;
      double f1 = 0, f2 = 0;
      for (std::size_t i = 0; i < loss.size(); ++i) {
        const double d = decay[i] / (1 - (1 - x) * decay[i]);
        f1 += loss[i] * d;
        f2 += -loss[i] * d * d;
      }
      const double mm = 1 - x + kEps;
      x = x - (f1 - keep / mm) / (f2 - keep / (mm * mm));
      if (!(x > 0)) {
        x = 0;
      } else if (!(x < 0.9999)) {
        x = 0.9999;
      }
      if (std::abs(x - previous) / (previous + kEps) <= em_.internalTolerance) break;
    }
    phi[v] = x;
  }
  return phi;
}

double LiteralEStep::Eta(std::uint32_t g) const {
  const std::vector<double>& rg = em_.gainCategories.rates;
  std::vector<double> stay(n_ * k_, 0.0), gain(n_ * k_, 0.0);
  for (const Entry& e : entries) {
    if (e.gene != g) continue;
    for (std::uint32_t v = 1; v < n_; ++v) {
      for (std::uint32_t k = 1; k < k_; ++k) {
        double stayed = 0, gained = 0;
        for (std::uint32_t l = 0; l < m_; ++l) {
          stayed += e.category[k * m_ + l] * T(e, k * m_ + l, 0, 0, v);
          gained += e.category[k * m_ + l] * T(e, k * m_ + l, 0, 1, v);
        }
        stay[v * k_ + k] += e.count * stayed;
        gain[v * k_ + k] += e.count * gained;
      }
    }
  }
  double eta = em_.model.eta[g];
  for (int step = 0; step < 1000; ++step) {
    const double old = eta;
    double d1 = 0, d2 = 0;
    for (std::uint32_t v = 1; v < n_; ++v) {
      const double t = tree_.branchLength[v], xi = em_.model.xi[v];
      double s1 = 0, s2 = 0, s3 = 0, s4 = 0;
      for (std::uint32_t k = 1; k < k_; ++k) {
        const double e = std::exp(-rg[k] * t * eta), o = 1 - e, den = 1 - o * xi;
        s1 += (e * rg[k] / den) * stay[v * k_ + k];
        s2 += (e * rg[k] / o) * gain[v * k_ + k];
        s3 += (rg[k] * rg[k] * e / den / den) * stay[v * k_ + k];
        s4 += (rg[k] * rg[k] * e / o / o) * gain[v * k_ + k];
      }
      d1 += (s2 - s1 * xi) * t;
      d2 += ((1 - xi) * xi * s3 - s4) * t * t;
    }
    if (d2 > 0) {
      eta = eta * 0.5;
    } else {
      eta = eta - d1 / d2;
      if (eta < 0) eta = old * 0.5;
      if (eta < 1.1920928955078125e-07) {
        eta = 1.1920928955078125e-07;
      } else if (eta > em_.etaCap / rg[k_ - 1]) {
        eta = em_.etaCap / rg[k_ - 1];
      }
    }
    if (std::abs(eta - old) / (old + kEps) <= em_.internalTolerance) break;
  }
  return eta;
}

std::vector<double> LiteralEStep::Xi() const {
  std::vector<double> xiOut = em_.model.xi;
  const std::uint32_t genes = data_.geneCount;
  for (std::uint32_t v = 1; v < n_; ++v) {
    if (!em_.flags.xi[v]) continue;
    std::vector<double> stay(genes * k_, 0.0), e(genes * k_);
    double gain = 0;
    for (const Entry& entry : entries) {
      for (std::uint32_t k = 0; k < k_; ++k) {
        for (std::uint32_t l = 0; l < m_; ++l) {
          stay[entry.gene * k_ + k] += entry.count * (entry.category[k * m_ + l] * T(entry, k * m_ + l, 0, 0, v));
          gain += entry.count * (entry.category[k * m_ + l] * T(entry, k * m_ + l, 0, 1, v));
        }
      }
    }
    for (std::uint32_t g = 0; g < genes; ++g) {
      for (std::uint32_t k = 0; k < k_; ++k) {
        e[g * k_ + k] = std::exp(-em_.model.eta[g] * em_.gainCategories.rates[k] * tree_.branchLength[v]);
      }
    }
    double xi = xiOut[v], updated = xi;
    for (int step = 0; step < 1000; ++step) {
      double f1 = 0, f2 = 0;
      for (std::size_t i = 0; i < stay.size(); ++i) {
        const double d = (1 - e[i]) / (1 - xi * (1 - e[i]));
        f1 += -stay[i] * d;
        f2 += -stay[i] * d * d;
      }
      const double w = xi + kEps;
      updated = xi - (f1 + gain / w) / (f2 - gain / (w * w));
      if (!(updated > 0)) updated = xi * 0.5;
      if (updated > 1) {
        updated = 1;
      } else if (updated < 1.1920928955078125e-07) {
        updated = 0;
      }
      if (!(std::abs(updated - xi) / xi > em_.internalTolerance)) break;
      xi = updated;
    }
    xiOut[v] = updated;
  }
  return xiOut;
}

double LiteralEStep::LossObjective(double lambda) const {
  RateCategories trial;
  trial.InitLossCategories(static_cast<std::uint16_t>(m_));
  trial.SetLossRates(lambda);
  double sum = 0;
  for (const Entry& e : entries) {
    const std::uint32_t g = e.gene;
    for (std::uint32_t v = 1; v < n_; ++v) {
      const double t = tree_.branchLength[v];
      for (std::uint32_t k = 0; k < k_; ++k) {
        for (std::uint32_t l = 0; l < m_; ++l) {
          const std::uint32_t c = k * m_ + l;
          // 1 - (1 - phi) e^-x as a sum of positive parts, exact to rounding for every phi and x.
          const double x = em_.model.theta[g] * t * trial.rates[l];
          const double t10 = T(e, c, 1, 0, v);
          const double phi = em_.model.phi[v];
          const double loss = t10 > 0 ? t10 * std::log(phi + (1 - phi) * -std::expm1(-x)) : t10;
          sum += (loss - T(e, c, 1, 1, v) * t * trial.rates[l] * em_.model.theta[g]) * e.category[c] * e.count;
        }
      }
    }
  }
  return -sum;
}

double LiteralEStep::GainObjective(double lambda) const {
  RateCategories trial;
  trial.InitGainCategories(static_cast<std::uint16_t>(k_), em_.model.nu);
  trial.SetGainRates(lambda, em_.model.nu);
  double sum = 0;
  for (const Entry& e : entries) {
    const std::uint32_t g = e.gene;
    for (std::uint32_t v = 1; v < n_; ++v) {
      const double t = tree_.branchLength[v];
      for (std::uint32_t k = 1; k < k_; ++k) {
        const double x = em_.model.eta[g] * t * trial.rates[k];
        const double xi = em_.model.xi[v], open = -std::expm1(-x);
        const double w = std::log((1 - xi) + xi * std::exp(-x));  // 1 - xi (1 - e^-x), exact to rounding
        for (std::uint32_t l = 0; l < m_; ++l) {
          const std::uint32_t c = k * m_ + l;
          const double gain = open > 0 ? std::log(open) * T(e, c, 0, 1, v) : 0;
          sum += (gain + w * T(e, c, 0, 0, v)) * e.category[c] * e.count;
        }
      }
    }
  }
  return -sum;
}

void BruteForcePattern(const EM& em, const PhylogeneticTree& tree, std::uint32_t g, const std::uint8_t* pattern,
                       std::uint32_t k, std::uint32_t l, double* h, std::vector<double>* transition,
                       std::vector<double>* state) {
  const EvolModel& model = em.model;
  const std::uint32_t n = tree.nodeCount;
  transition->assign(4 * n, 0.0);
  state->assign(2 * n, 0.0);
  double total = 0;
  for (std::uint32_t states = 0; states < (1U << n); ++states) {
    auto s = [states](std::uint32_t v) { return static_cast<int>((states >> v) & 1U); };
    bool consistent = true;
    for (std::uint32_t j = 0; j < tree.leafCount; ++j) {
      if (pattern[j] != 2 && s(tree.leafNodes[j]) != pattern[j]) consistent = false;
    }
    if (!consistent) continue;
    double p = s(0) == 0 ? model.p0 : 1 - model.p0;
    for (std::uint32_t v = 1; v < n; ++v) {
      const double t = tree.branchLength[v];
      const double gain = model.xi[v] * (1 - std::exp(-model.eta[g] * em.gainCategories.rates[k] * t));
      const double keep = (1 - model.phi[v]) * std::exp(-model.theta[g] * em.lossCategories.rates[l] * t);
      const double present = s(tree.parent[v]) == 0 ? gain : keep;
      p *= s(v) == 1 ? present : 1 - present;
    }
    total += p;
    for (std::uint32_t v = 0; v < n; ++v) {
      (*state)[s(v) * n + v] += p;
      if (v > 0) (*transition)[(s(tree.parent[v]) * 2 + s(v)) * n + v] += p;
    }
  }
  *h = total;
  for (double& x : *transition) x /= total;
  for (double& x : *state) x /= total;
}

}  // namespace testing_support
}  // namespace vorn
