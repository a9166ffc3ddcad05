// The M-steps of the gamma shapes l-lambda and g-lambda.
#include <cmath>
#include <cstdio>

#include "data/phylogenetic_tree.h"
#include "estimation/branch_chances.h"
#include "estimation/em.h"
#include "estimation/lambda_search.h"

namespace vorn {
namespace {

// A posterior sum of 0 contributes nothing, even where its logarithm is -infinity.
inline double Weighted(double sum, double factor) { return sum > 0 ? sum * factor : 0.0; }

}  // namespace

double EM::LossRateObjective(double llambdaValue, const PhylogeneticTree& tree) const {
  const std::uint32_t m = lossCategories.count, k = gainCategories.count;
  RateCategories trial;
  trial.InitLossCategories(static_cast<std::uint16_t>(m));
  trial.SetLossRates(llambdaValue);
  const std::vector<double>& r = trial.rates;
  std::vector<double> logLoss(m), retention(m);
  double sum = 0;
  for (std::uint32_t g = 0; g < Sums().geneCount; ++g) {
    for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
      const double t = tree.branchLength[v];
      for (std::uint32_t l = 0; l < m; ++l) {
        const double x = model.theta[g] * t * r[l];
        logLoss[l] = std::log(LossChance(model.phi[v], std::exp(-x), x));
        retention[l] = t * r[l] * model.theta[g];
      }
      for (std::uint32_t a = 0; a < k; ++a) {
        const double* lost = &Sums().transitions[Sums().TransitionOffset(g, v, 1, 0) + a * m];
        const double* kept = &Sums().transitions[Sums().TransitionOffset(g, v, 1, 1) + a * m];
        for (std::uint32_t l = 0; l < m; ++l) sum += Weighted(lost[l], logLoss[l]) - kept[l] * retention[l];
      }
    }
  }
  return -sum;
}

double EM::GainRateObjective(double glambdaValue, const PhylogeneticTree& tree) const {
  const std::uint32_t m = lossCategories.count, k = gainCategories.count;
  RateCategories trial;
  trial.InitGainCategories(static_cast<std::uint16_t>(k), model.nu);
  trial.SetGainRates(glambdaValue, model.nu);
  const std::vector<double>& r = trial.rates;
  double sum = 0;
  for (std::uint32_t g = 0; g < Sums().geneCount; ++g) {
    for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
      const double t = tree.branchLength[v];
      for (std::uint32_t a = 1; a < k; ++a) {
        const double x = model.eta[g] * t * r[a];
        const double u = std::exp(-x);
        const double stay = std::log(NoGainChance(model.xi[v], u, 1 - u));
        // A rate so small that the branch cannot gain at it (1 - u is 0 even to full precision):
        // only the non-gain term remains.
        const double open = -std::expm1(-x);
        const double gain = open > 0 ? std::log(open) : 0.0;
        const double* stayed = &Sums().transitions[Sums().TransitionOffset(g, v, 0, 0) + a * m];
        const double* gained = &Sums().transitions[Sums().TransitionOffset(g, v, 0, 1) + a * m];
        for (std::uint32_t l = 0; l < m; ++l) sum += Weighted(gained[l], gain) + Weighted(stayed[l], stay);
      }
    }
  }
  return -sum;
}

void EM::UpdateLLambda(const PhylogeneticTree& tree) {
  const double old = model.llambda;
  model.llambda = BestShape([this, &tree](double x) { return LossRateObjective(x, tree); }, settings.minLLambda, old);
  monitor.RecordLLambda(model.llambda, old);
}

void EM::UpdateGLambda(const PhylogeneticTree& tree) {
  const double old = model.glambda;
  model.glambda = BestShape([this, &tree](double x) { return GainRateObjective(x, tree); }, settings.minGLambda, old);
  monitor.RecordGLambda(model.glambda, old);
}

}  // namespace vorn
