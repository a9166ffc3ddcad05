#include "estimation/literal_estep.h"

#include <cmath>

namespace vorn {
namespace testing_support {
namespace {

// The maximiser within [lo, hi] of a concave function, from its derivative: an end where the
// derivative points out, else the bisection of the sign change (geometric for rates) to the last bit.
template <typename Slope>
double Maximiser(Slope slope, double lo, double hi, bool rate) {
  if (!(slope(lo) > 0)) return lo;
  if (!(slope(hi) < 0)) return hi;
  for (;;) {
    const double mid = rate ? std::sqrt(lo * hi) : (lo + hi) / 2;
    if (!(mid > lo && mid < hi)) return mid;
    (slope(mid) > 0 ? lo : hi) = mid;
  }
}

}  // namespace

LiteralEStep::LiteralEStep(const EM& em, const AlignmentData& data, const PhylogeneticTree& tree)
    : em_(em), data_(data), tree_(tree), n_(tree.nodeCount), k_(em.gainCategories.count), m_(em.lossCategories.count) {
  const std::uint32_t pairs = k_ * m_;
  for (std::uint32_t g = 0; g < data.geneCount; ++g) {
    const Gene& gene = data.genes[g];
    for (std::uint32_t e = 0; e < gene.entryCount; ++e) {
      Entry entry{g, gene.patternIndices[e], static_cast<double>(gene.counts[e]), std::vector<double>(pairs * 4 * n_),
                  std::vector<double>(pairs * 2 * n_), std::vector<double>(pairs), std::vector<long double>(pairs)};
      long double mixture = 0;
      std::vector<long double> weighted(pairs);
      for (std::uint32_t c = 0; c < pairs; ++c) {
        PatternTables(g, data.patterns[entry.pattern].values.data(), c / m_, c % m_, &entry.likelihood[c],
                      &entry.transition[c * 4 * n_], &entry.state[c * 2 * n_]);
        weighted[c] = static_cast<long double>(em.lossCategories.weights[c % m_]) * em.gainCategories.weights[c / m_] *
                      entry.likelihood[c];
        mixture += weighted[c];
      }
      logLikelihood += entry.count * std::log(mixture);
      for (std::uint32_t c = 0; c < pairs; ++c) entry.category[c] = static_cast<double>(weighted[c] / mixture);
      entries.push_back(std::move(entry));
    }
  }
}

// Below[v][s]: chance of the leaf values under v given state s at v; Above[v][s]: joint chance of
// state s at v and of every leaf value not under v; Up(c, a): chance of the values under c given
// state a at c's parent.
void LiteralEStep::PatternTables(std::uint32_t g, const std::uint8_t* pattern, std::uint32_t k, std::uint32_t l,
                                 long double* h, double* transition, double* state) const {
  const EvolModel& model = em_.model;
  const PhylogeneticTree& tree = tree_;
  const std::uint32_t n = n_;
  const long double lambdaLoss = static_cast<long double>(model.theta[g]) * em_.lossCategories.rates[l];
  const long double lambdaGain = static_cast<long double>(model.eta[g]) * em_.gainCategories.rates[k];
  auto P = [&](std::uint32_t v, int a, int b) {  // chance of b at v given a at its parent
    const long double t = tree.branchLength[v];
    const long double present = a == 0 ? model.xi[v] * (1 - std::exp(-lambdaGain * t))
                                       : (1 - model.phi[v]) * std::exp(-lambdaLoss * t);
    return b == 1 ? present : 1 - present;
  };
  std::vector<long double> below(2 * n, 1), above(2 * n, 0);
  auto Up = [&](std::uint32_t c, int a) { return P(c, a, 0) * below[2 * c] + P(c, a, 1) * below[2 * c + 1]; };
  for (std::uint32_t j = 0; j < tree.leafCount; ++j) {
    if (pattern[j] != 2) below[2 * tree.leafNodes[j] + 1 - pattern[j]] = 0;
  }
  for (std::uint32_t v : tree.bottomUpOrder) {
    for (int s = 0; s < 2 && !tree.IsLeaf(v); ++s) below[2 * v + s] = Up(tree.firstChild[v], s) * Up(tree.secondChild[v], s);
  }
  above[0] = model.p0;
  above[1] = 1 - model.p0;
  *h = above[0] * below[0] + above[1] * below[1];
  for (std::uint32_t i = n; i-- > 0;) {
    const std::uint32_t v = tree.bottomUpOrder[i];
    for (int s = 0; s < 2; ++s) state[s * n + v] = static_cast<double>(above[2 * v + s] * below[2 * v + s] / *h);
    if (tree.IsLeaf(v)) continue;
    for (std::uint32_t c : {tree.firstChild[v], tree.secondChild[v]}) {
      const std::uint32_t sibling = c == tree.firstChild[v] ? tree.secondChild[v] : tree.firstChild[v];
      for (int a = 0; a < 2; ++a) {
        for (int b = 0; b < 2; ++b) {
          const long double joint = above[2 * v + a] * Up(sibling, a) * P(c, a, b);
          above[2 * c + b] += joint;
          transition[(a * 2 + b) * n + c] = static_cast<double>(joint * below[2 * c + b] / *h);
        }
      }
    }
  }
}

double LiteralEStep::Count(std::uint32_t g, std::uint32_t k, std::uint32_t l, int a, int b, std::uint32_t v) const {
  double sum = 0;
  for (const Entry& e : entries) {
    if (e.gene == g) sum += e.count * e.category[k * m_ + l] * T(e, k * m_ + l, a, b, v);
  }
  return sum;
}

double LiteralEStep::P0() const {
  double all = 0, absent = 0;
  for (const Entry& e : entries) {
    for (std::uint32_t c = 0; c < k_ * m_; ++c) {
      all += e.count * e.category[c];
      absent += e.count * e.category[c] * S(e, c, 0, 0);
    }
  }
  return absent / all;
}

double LiteralEStep::Nu() const {
  double sum = 0;
  for (const Entry& e : entries) {
    for (std::uint32_t l = 0; l < m_; ++l) sum += e.count * e.category[l];
  }
  return sum / data_.filteredSites;
}

// Q(theta) = sum over branches and loss categories of Loss ln(1 - (1 - phi) e^-x) - Keep x, x = theta r t.
double LiteralEStep::Theta(std::uint32_t g) const {
  const std::vector<double>& r = em_.lossCategories.rates;
  auto slope = [&](double theta) {
    double sum = 0;
    for (std::uint32_t v = 1; v < n_; ++v) {
      for (std::uint32_t l = 0; l < m_; ++l) {
        double loss = 0, keep = 0;
        for (std::uint32_t k = 0; k < k_; ++k) loss += Count(g, k, l, 1, 0, v), keep += Count(g, k, l, 1, 1, v);
        const double rt = r[l] * tree_.branchLength[v], kept = (1 - em_.model.phi[v]) * std::exp(-theta * rt);
        if (rt > 0) sum += rt * (loss * kept / (1 - kept) - keep);  // a branch of length 0 has no say
      }
    }
    return sum;
  };
  return Maximiser(slope, kThetaFloor, em_.limits.thetaCap / r[m_ - 1], true);
}

// Q(eta) = sum over branches and gaining categories of Stay ln(1 - xi (1 - e^-x)) + Gain ln(1 - e^-x), x = eta r t.
double LiteralEStep::Eta(std::uint32_t g) const {
  const std::vector<double>& r = em_.gainCategories.rates;
  auto slope = [&](double eta) {
    double sum = 0;
    for (std::uint32_t v = 1; v < n_; ++v) {
      for (std::uint32_t k = 1; k < k_; ++k) {
        double stay = 0, gain = 0;
        for (std::uint32_t l = 0; l < m_; ++l) stay += Count(g, k, l, 0, 0, v), gain += Count(g, k, l, 0, 1, v);
        const double rt = r[k] * tree_.branchLength[v], e = std::exp(-eta * rt), xi = em_.model.xi[v];
        if (rt > 0) sum += rt * (gain * e / (1 - e) - stay * xi * e / (1 - xi * (1 - e)));
      }
    }
    return sum;
  };
  return Maximiser(slope, kEtaFloor, em_.limits.etaCap / r[k_ - 1], true);
}

// Q(phi) = sum over genes and loss categories of Loss ln(1 - (1 - phi) d) + Keep ln(1 - phi), d = e^(-theta r t).
std::vector<double> LiteralEStep::Phi() const {
  std::vector<double> phi = em_.model.phi;
  for (std::uint32_t v = 1; v < n_; ++v) {
    if (!em_.flags.phi[v]) continue;
    auto slope = [&](double x) {
      double sum = 0;
      for (std::uint32_t g = 0; g < data_.geneCount; ++g) {
        for (std::uint32_t l = 0; l < m_; ++l) {
          const double d = std::exp(-em_.model.theta[g] * em_.lossCategories.rates[l] * tree_.branchLength[v]);
          for (std::uint32_t k = 0; k < k_; ++k) {
            const double lost = Count(g, k, l, 1, 0, v);  // none: no term, even where d is 1 and x 0
            sum += (lost > 0 ? lost * d / (1 - (1 - x) * d) : 0) - Count(g, k, l, 1, 1, v) / (1 - x);
          }
        }
      }
      return sum;
    };
    phi[v] = Maximiser(slope, 0, kPhiCeiling, false);
  }
  return phi;
}

// Q(xi) = sum over genes and gain categories of Gain ln(xi o) + Stay ln(1 - xi o), o = 1 - e^(-eta r t).
std::vector<double> LiteralEStep::Xi() const {
  std::vector<double> xi = em_.model.xi;
  for (std::uint32_t v = 1; v < n_; ++v) {
    if (!em_.flags.xi[v]) continue;
    auto slope = [&](double x) {
      double sum = 0;
      for (std::uint32_t g = 0; g < data_.geneCount; ++g) {
        for (std::uint32_t k = 0; k < k_; ++k) {
          const double o = 1 - std::exp(-em_.model.eta[g] * em_.gainCategories.rates[k] * tree_.branchLength[v]);
          for (std::uint32_t l = 0; l < m_; ++l) {
            sum += Count(g, k, l, 0, 1, v) / x - Count(g, k, l, 0, 0, v) * o / (1 - x * o);
          }
        }
      }
      return sum;
    };
    xi[v] = Maximiser(slope, kXiFloor, 1, false);
  }
  return xi;
}

double LiteralEStep::LossObjective(double lambda) const {
  RateCategories trial;
  trial.InitLossCategories(static_cast<std::uint16_t>(m_));
  trial.SetLossRates(lambda);
  double sum = 0;
  for (const Entry& e : entries) {
    for (std::uint32_t v = 1; v < n_; ++v) {
      for (std::uint32_t c = 0; c < k_ * m_; ++c) {
        const double x = em_.model.theta[e.gene] * tree_.branchLength[v] * trial.rates[c % m_];
        const double t10 = T(e, c, 1, 0, v), phi = em_.model.phi[v];
        // 1 - (1 - phi) e^-x as a sum of positive parts, exact to rounding for every phi and x.
        const double loss = t10 > 0 ? t10 * std::log(phi + (1 - phi) * -std::expm1(-x)) : 0;
        sum += (loss - T(e, c, 1, 1, v) * x) * e.category[c] * e.count;
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
    for (std::uint32_t v = 1; v < n_; ++v) {
      for (std::uint32_t c = m_; c < k_ * m_; ++c) {
        const double x = em_.model.eta[e.gene] * tree_.branchLength[v] * trial.rates[c / m_];
        const double xi = em_.model.xi[v], open = -std::expm1(-x);
        const double gain = open > 0 ? std::log(open) * T(e, c, 0, 1, v) : 0;
        sum += (gain + std::log((1 - xi) + xi * std::exp(-x)) * T(e, c, 0, 0, v)) * e.category[c] * e.count;
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
