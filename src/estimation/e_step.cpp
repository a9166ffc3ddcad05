#include "estimation/e_step.h"

#include <algorithm>
#include <cmath>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/em.h"
#include "numerics/statistics.h"

namespace vorn {
namespace {

constexpr double kMinusInfinity = -HUGE_VAL;

// The leaves' probability below a child of the root, given the child's state, in logarithms.
// A leaf child shows its value; an unknown leaf leaves both states open.
void LogBelow(const PhylogeneticTree& tree, const EStepWorkspace& work, const std::uint8_t* pattern,
              std::uint32_t child, std::uint32_t c, double* logB0, double* logB1) {
  const std::size_t p = work.pairCount;
  if (tree.IsLeaf(child)) {
    const std::uint8_t value = pattern[child - (tree.leafCount - 1)];
    *logB0 = value == 1 ? kMinusInfinity : 0.0;
    *logB1 = value == 0 ? kMinusInfinity : 0.0;
    return;
  }
  const std::uint32_t y = tree.firstChild[child], z = tree.secondChild[child];
  const double b0 = work.q0[y * p + c] * work.q0[z * p + c];
  const double b1 = work.q1[y * p + c] * work.q1[z * p + c];
  *logB0 = b0 == 0 ? kMinusInfinity : std::log(b0);
  *logB1 = b1 == 0 ? kMinusInfinity : std::log(b1);
}

}  // namespace

void PosteriorSums::Resize(std::uint32_t genes, std::uint32_t nodes, std::uint32_t gains, std::uint32_t losses) {
  geneCount = genes;
  nodeCount = nodes;
  gainCount = gains;
  lossCount = losses;
  pairCount = gains * losses;
  transitions.assign(static_cast<std::size_t>(genes) * nodes * 4 * pairCount, 0.0);
  categories.assign(static_cast<std::size_t>(genes) * pairCount, 0.0);
}

void PosteriorSums::Clear() {
  std::fill(transitions.begin(), transitions.end(), 0.0);
  std::fill(categories.begin(), categories.end(), 0.0);
}

void EStepWorkspace::Resize(std::uint32_t nodeCount, std::uint32_t gainCount, std::uint32_t lossCount) {
  pairCount = gainCount * lossCount;
  const std::size_t cells = static_cast<std::size_t>(nodeCount) * pairCount;
  gain.assign(cells, 0.0);
  keep.assign(cells, 0.0);
  q0.assign(cells, 0.0);
  q1.assign(cells, 0.0);
  s0.assign(cells, 0.0);
  s1.assign(cells, 0.0);
  likelihood.assign(pairCount, 0.0);
  weight.assign(pairCount, 0.0);
  prior.assign(pairCount, 0.0);
  joint1.assign(4 * static_cast<std::size_t>(pairCount), 0.0);
  joint2.assign(4 * static_cast<std::size_t>(pairCount), 0.0);
  logLikelihood.assign(pairCount, 0.0);
  logTransition1.assign(4 * static_cast<std::size_t>(pairCount), 0.0);
  logTransition2.assign(4 * static_cast<std::size_t>(pairCount), 0.0);
}

void PhylogeneticTree::ConditionalLikelihoods(EStepWorkspace& work, const std::uint8_t* pattern) const {
  const std::size_t p = work.pairCount;
  for (std::uint32_t j = 0; j < leafCount; ++j) {
    const std::size_t u = leafNodes[j] * p;
    double* q0 = &work.q0[u];
    double* q1 = &work.q1[u];
    const double* gain = &work.gain[u];
    const double* keep = &work.keep[u];
    switch (pattern[j]) {
      case 0:
        for (std::size_t c = 0; c < p; ++c) {
          q0[c] = 1 - gain[c];
          q1[c] = 1 - keep[c];
        }
        break;
      case 1:
        for (std::size_t c = 0; c < p; ++c) {
          q0[c] = gain[c];
          q1[c] = keep[c];
        }
        break;
      default:
        std::fill(q0, q0 + p, 1.0);
        std::fill(q1, q1 + p, 1.0);
    }
  }
  for (std::uint32_t v : innerNodes) {
    const std::size_t at = v * p, y = firstChild[v] * p, z = secondChild[v] * p;
    const double* gain = &work.gain[at];
    const double* keep = &work.keep[at];
    const double* q0y = &work.q0[y];
    const double* q1y = &work.q1[y];
    const double* q0z = &work.q0[z];
    const double* q1z = &work.q1[z];
    double* q0 = &work.q0[at];
    double* q1 = &work.q1[at];
    for (std::size_t c = 0; c < p; ++c) {
      // Left-to-right products as in the model; regrouping moves the last bits of the likelihood.
      q0[c] = (1 - gain[c]) * q0y[c] * q0z[c] + gain[c] * q1y[c] * q1z[c];
      q1[c] = (1 - keep[c]) * q0y[c] * q0z[c] + keep[c] * q1y[c] * q1z[c];
    }
  }
}

void PhylogeneticTree::PatternLikelihood(EStepWorkspace& work, const std::uint8_t* pattern, double logAbsent,
                                         double logPresent) const {
  const std::size_t p = work.pairCount;
  const std::uint32_t r1 = firstChild[0], r2 = secondChild[0];
  const double logRoot[2] = {logAbsent, logPresent};
  // The root step works in logarithms, so tiny likelihoods of deep trees neither underflow to 0
  // too early nor turn into not-a-number posteriors.
  for (std::size_t c = 0; c < p; ++c) {
    double logB[2][2];  // [child][state]
    LogBelow(*this, work, pattern, r1, static_cast<std::uint32_t>(c), &logB[0][0], &logB[0][1]);
    LogBelow(*this, work, pattern, r2, static_cast<std::uint32_t>(c), &logB[1][0], &logB[1][1]);
    const double logQ1[2] = {std::log(work.q0[r2 * p + c]), std::log(work.q1[r2 * p + c])};  // other child r2
    const double logQ2[2] = {std::log(work.q0[r1 * p + c]), std::log(work.q1[r1 * p + c])};  // other child r1
    double total = 0;
    for (int a = 0; a < 2; ++a) {
      for (int b = 0; b < 2; ++b) {
        const std::size_t at = static_cast<std::size_t>(2 * a + b) * p + c;
        work.joint1[at] = logB[0][b] == kMinusInfinity
                              ? kMinusInfinity
                              : logRoot[a] + logQ1[a] + work.logTransition1[at] + logB[0][b];
        work.joint2[at] = logB[1][b] == kMinusInfinity
                              ? kMinusInfinity
                              : logRoot[a] + logQ2[a] + work.logTransition2[at] + logB[1][b];
      }
    }
    for (int ab = 0; ab < 4; ++ab) total += safeexp(work.joint1[ab * p + c]);
    work.logLikelihood[c] = std::log(total);
    work.likelihood[c] = safeexp(work.logLikelihood[c]);
  }
}

void PhylogeneticTree::PatternPosterior(EStepWorkspace& work, const std::uint8_t* pattern,
                                        double* geneTransitions) const {
  const std::size_t p = work.pairCount;
  const std::uint32_t r1 = firstChild[0], r2 = secondChild[0];
  const double* weight = work.weight.data();
  auto block = [geneTransitions, p](std::uint32_t v, int ab) { return geneTransitions + (4 * v + ab) * p; };

  const std::uint32_t rootChildren[2] = {r1, r2};
  const std::vector<double>* joints[2] = {&work.joint1, &work.joint2};
  for (int child = 0; child < 2; ++child) {
    const std::uint32_t v = rootChildren[child];
    const double* joint = joints[child]->data();
    double* s0 = &work.s0[v * p];
    double* s1 = &work.s1[v * p];
    double* sum[4] = {block(v, 0), block(v, 1), block(v, 2), block(v, 3)};
    for (std::size_t c = 0; c < p; ++c) {
      const double logH = work.logLikelihood[c];
      double t[4];
      for (int ab = 0; ab < 4; ++ab) {
        t[ab] = safeexp(joint[ab * p + c] - logH);
        sum[ab][c] += weight[c] * t[ab];
      }
      s0[c] = t[0] + t[2];
      s1[c] = t[1] + t[3];
    }
  }

  for (std::uint32_t i = 0; i < deepInnerCount; ++i) {
    const std::uint32_t v = deepInnerNodes[i];
    const std::size_t at = v * p, u = parent[v] * p, y = firstChild[v] * p, z = secondChild[v] * p;
    const double* gain = &work.gain[at];
    const double* keep = &work.keep[at];
    double* sum[4] = {block(v, 0), block(v, 1), block(v, 2), block(v, 3)};
    for (std::size_t c = 0; c < p; ++c) {
      const double q0v = work.q0[at + c], q1v = work.q1[at + c];
      const double s0u = work.s0[u + c], s1u = work.s1[u + c];
      double t00 = 0, t01 = 0, t10 = 0, t11 = 0;
      if (q0v != 0) {
        t00 = s0u * work.q0[y + c] * work.q0[z + c] * (1 - gain[c]) / q0v;
        t01 = s0u * work.q1[y + c] * work.q1[z + c] * gain[c] / q0v;
      }
      if (q1v != 0) {
        t10 = s1u * work.q0[y + c] * work.q0[z + c] * (1 - keep[c]) / q1v;
        t11 = s1u * work.q1[y + c] * work.q1[z + c] * keep[c] / q1v;
      }
      work.s0[at + c] = t00 + t10;
      work.s1[at + c] = t01 + t11;
      sum[0][c] += weight[c] * t00;
      sum[1][c] += weight[c] * t01;
      sum[2][c] += weight[c] * t10;
      sum[3][c] += weight[c] * t11;
    }
  }

  for (std::uint32_t j = 0; j < leafCount; ++j) {
    const std::uint32_t v = leafNodes[j];
    if (v == r1 || v == r2) continue;
    const std::size_t at = v * p, w = parent[v] * p;
    const double* s0w = &work.s0[w];
    const double* s1w = &work.s1[w];
    double* sum[4] = {block(v, 0), block(v, 1), block(v, 2), block(v, 3)};
    switch (pattern[j]) {
      case 0:
        for (std::size_t c = 0; c < p; ++c) {
          sum[0][c] += weight[c] * s0w[c];
          sum[2][c] += weight[c] * s1w[c];
        }
        break;
      case 1:
        for (std::size_t c = 0; c < p; ++c) {
          sum[1][c] += weight[c] * s0w[c];
          sum[3][c] += weight[c] * s1w[c];
        }
        break;
      default: {
        const double* gain = &work.gain[at];
        const double* keep = &work.keep[at];
        for (std::size_t c = 0; c < p; ++c) {
          sum[0][c] += weight[c] * ((1 - gain[c]) * s0w[c]);
          sum[1][c] += weight[c] * (gain[c] * s0w[c]);
          sum[2][c] += weight[c] * ((1 - keep[c]) * s1w[c]);
          sum[3][c] += weight[c] * (keep[c] * s1w[c]);
        }
      }
    }
  }
}

void EM::FillBranchTables(const PhylogeneticTree& tree, std::uint32_t g) {
  EStepWorkspace& work = workspace;
  const std::uint32_t k = gainCategories.count, m = lossCategories.count;
  const std::size_t p = work.pairCount;
  const std::vector<double>& rg = gainCategories.rates;
  const std::vector<double>& rl = lossCategories.rates;
  for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
    const double t = tree.branchLength[v];
    double* gain = &work.gain[v * p];
    double* keep = &work.keep[v * p];
    for (std::uint32_t a = 0; a < k; ++a) {
      const double g0 = model.xi[v] * (1 - std::exp(-model.eta[g] * rg[a] * t));
      for (std::uint32_t b = 0; b < m; ++b) gain[a * m + b] = g0;
    }
    for (std::uint32_t b = 0; b < m; ++b) {
      const double r0 = (1 - model.phi[v]) * std::exp(-model.theta[g] * rl[b] * t);
      for (std::uint32_t a = 0; a < k; ++a) keep[a * m + b] = r0;
    }
  }
  const std::uint32_t rootChildren[2] = {tree.firstChild[0], tree.secondChild[0]};
  std::vector<double>* logs[2] = {&work.logTransition1, &work.logTransition2};
  for (int child = 0; child < 2; ++child) {
    const std::size_t at = rootChildren[child] * p;
    double* out = logs[child]->data();
    for (std::size_t c = 0; c < p; ++c) {
      out[0 * p + c] = std::log(1 - work.gain[at + c]);
      out[1 * p + c] = std::log(work.gain[at + c]);
      out[2 * p + c] = std::log(1 - work.keep[at + c]);
      out[3 * p + c] = std::log(work.keep[at + c]);
    }
  }
}

void EM::PrepareExpectations(const AlignmentData& data, const PhylogeneticTree& tree) {
  sums.Resize(data.geneCount, tree.nodeCount, gainCategories.count, lossCategories.count);
  workspace.Resize(tree.nodeCount, gainCategories.count, lossCategories.count);
}

void EM::ComputeExpectations(const AlignmentData& data, const PhylogeneticTree& tree) {
  EStepWorkspace& work = workspace;
  const std::uint32_t k = gainCategories.count, m = lossCategories.count;
  const std::size_t p = work.pairCount;
  for (std::uint32_t a = 0; a < k; ++a) {
    for (std::uint32_t b = 0; b < m; ++b) work.prior[a * m + b] = lossCategories.weights[b] * gainCategories.weights[a];
  }
  const double logAbsent = std::log(model.p0), logPresent = std::log(1 - model.p0);
  sums.Clear();
  double logLikelihoodSum = 0;
  for (std::uint32_t g = 0; g < data.geneCount; ++g) {
    FillBranchTables(tree, g);
    const Gene& gene = data.genes[g];
    double* geneTransitions = &sums.transitions[sums.TransitionOffset(g, 0, 0, 0)];
    double* geneCategories = &sums.categories[static_cast<std::size_t>(g) * p];
    for (std::uint32_t e = 0; e < gene.entryCount; ++e) {
      const std::uint8_t* pattern = data.patterns[gene.patternIndices[e]].values.data();
      const double n = gene.counts[e];
      tree.ConditionalLikelihoods(work, pattern);
      tree.PatternLikelihood(work, pattern, logAbsent, logPresent);
      double mixture = 0;
      for (std::size_t c = 0; c < p; ++c) mixture += work.prior[c] * work.likelihood[c];
      logLikelihoodSum += n * std::log(mixture);
      // A pattern the model cannot produce makes the likelihood 0; its undefined category
      // weights must not spill not-a-number values into the other patterns' sums.
      if (!(mixture > 0)) continue;
      const double inverse = 1 / mixture;
      for (std::size_t c = 0; c < p; ++c) {
        work.weight[c] = n * (work.prior[c] * work.likelihood[c] * inverse);
        geneCategories[c] += work.weight[c];
      }
      tree.PatternPosterior(work, pattern, geneTransitions);
    }
  }
  logLikelihood = logLikelihoodSum;
}

void EM::AccumulateAncestral(AlignmentData& data, const PhylogeneticTree& tree) const {
  data.AllocateWorkTables();
  const std::uint32_t r1 = tree.firstChild[0];
  for (std::uint32_t g = 0; g < data.geneCount; ++g) {
    auto total = [this, g](std::uint32_t v, int a, int b) {
      const double* block = &sums.transitions[sums.TransitionOffset(g, v, a, b)];
      double s = 0;
      for (std::uint32_t c = 0; c < sums.pairCount; ++c) s += block[c];
      return s;
    };
    data.expectedPresent[data.WorkIndex(g, 0)] = total(r1, 1, 0) + total(r1, 1, 1);
    for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
      const std::size_t at = data.WorkIndex(g, v);
      const double retained = total(v, 1, 1);
      data.expectedPresent[at] = total(v, 0, 1) + retained;
      data.expectedLosses[at] = total(v, 1, 0);
      data.expectedGains[at] = total(v, 0, 1);
      data.expectedRetentions[at] = retained;
    }
  }
}

}  // namespace vorn
