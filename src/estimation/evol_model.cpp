// Sizing of the model's values, and the invariants that tie theta to phi and eta to xi.
#include "estimation/evol_model.h"

#include <cmath>

#include "data/phylogenetic_tree.h"

namespace vorn {

void EvolModel::Resize(std::uint32_t newNodeCount, std::uint32_t newGeneCount) {
  nodeCount = newNodeCount;
  geneCount = newGeneCount;
  theta.assign(geneCount, 0.0);
  eta.assign(geneCount, 0.0);
  phi.assign(nodeCount, 0.0);
  xi.assign(nodeCount, 0.0);
}

void EvolModel::ApplyThetaPhiInvariant(const PhylogeneticTree& tree) {
  bool crossed = false;
  for (std::uint32_t v = 1; v < nodeCount; ++v) crossed = crossed || phi[v] < 0.0001;
  if (!crossed) return;
  double smallest = theta[0];
  for (std::uint32_t g = 1; g < geneCount; ++g) {
    if (theta[g] < smallest) smallest = theta[g];
  }
  double d = 0;
  for (std::uint32_t v = 1; v < nodeCount; ++v) {
    const double b = std::log(0.9999 / (1 - phi[v])) / tree.branchLength[v];
    if (b < d) d = b;
  }
  double s = 0.0001 - smallest;
  if (!(s > d)) s = d;
  for (std::uint32_t g = 0; g < geneCount; ++g) theta[g] += s;
  for (std::uint32_t v = 1; v < nodeCount; ++v) {
    phi[v] = 1 - std::exp(s * tree.branchLength[v]) * (1 - phi[v]);
  }
}

void EvolModel::ApplyEtaXiInvariant(const PhylogeneticTree& tree) {
  bool crossed = false;
  for (std::uint32_t v = 1; v < nodeCount; ++v) crossed = crossed || xi[v] > 0.9999;
  if (!crossed) return;
  const std::vector<double>& t = tree.branchLength;
  double a = 0;
  for (std::uint32_t v = 1; v < nodeCount; ++v) {
    const double b = std::log(1 - (1 - std::exp(-eta[0] * t[v])) * xi[v] * 1.000100010001) / t[v];
    if (b < a) a = b;
  }
  double delta = (1 - eta[0] - 0.0001 > -a - eta[0]) ? -a - eta[0] : 1 - eta[0] - 0.0001;
  // The ceiling of 0.9999 must never lower an eta that is already above it: a smaller eta would
  // push every xi up, past 1 on the branch that triggered the shift.
  if (delta < 0) delta = 0;
  for (std::uint32_t v = 1; v < nodeCount; ++v) {
    // A branch of length 0 gains with probability 0 whatever its xi, which keeps its value; the
    // rescaling factor would be 0/0 there.
    if (t[v] == 0) continue;
    xi[v] = xi[v] * (1 - std::exp(-eta[0] * t[v])) / (1 - std::exp(-(eta[0] + delta) * t[v]));
  }
  eta[0] += delta;
}

}  // namespace vorn
