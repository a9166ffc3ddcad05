// Random values of the model's parameters ("rand" in the control file).
#include <cmath>

#include "data/phylogenetic_tree.h"
#include "estimation/evol_model.h"
#include "numerics/parameter_draws.h"
#include "numerics/run_seed.h"

namespace vorn {
namespace {

// Each drawn value gets a generator of its own, seeded for it alone.
MersenneTwister FreshGenerator() { return NextGenerator(RandomPurpose::kParameterDraws); }

double UniformFrom(double lower) { return lower + FreshGenerator().NextWord() * (1 - lower) * 2.3283064370807974e-10; }

double Exponential(double mean) { return -mean * std::log(1 - FreshGenerator().NextHalfOpen()); }

// Branch probabilities correlated along the tree: the root's children get their own value, every
// deeper node mixes its own with its parent's by the weight.
void DrawTreeCorrelated(std::vector<double>& values, double weight, const PhylogeneticTree& tree, double mean) {
  auto own = [&tree, mean](std::uint32_t v) { return 1 - std::exp(-Exponential(mean) * tree.branchLength[v]); };
  values[0] = 0;
  const std::uint32_t rootFirst = tree.firstChild[0], rootSecond = tree.secondChild[0];
  values[rootFirst] = own(rootFirst);
  values[rootSecond] = own(rootSecond);
  auto mixed = [&](std::uint32_t v) { values[v] = (1 - weight) * own(v) + weight * values[tree.parent[v]]; };
  for (std::uint32_t v : tree.deepInnerNodes) mixed(v);
  for (std::uint32_t v = tree.nodeCount - tree.leafCount; v < tree.nodeCount; ++v) {
    if (v != rootFirst && v != rootSecond) mixed(v);
  }
}

}  // namespace

double DrawTruncatedExponential(double mean, double minimum) {
  return TruncatedExponentialAt(mean, minimum, FreshGenerator().NextHalfOpen());
}

void EvolModel::DrawP0(double lower) { p0 = UniformFrom(lower); }
void EvolModel::DrawNu(double lower) { nu = UniformFrom(lower); }

void EvolModel::DrawTheta(double mean) {
  for (std::uint32_t g = 0; g < geneCount; ++g) theta[g] = Exponential(mean);
}

void EvolModel::DrawEta(double mean) {
  for (std::uint32_t g = 0; g < geneCount; ++g) eta[g] = Exponential(mean);
}

void EvolModel::DrawPhi(double weight, const PhylogeneticTree& tree, double mean) {
  DrawTreeCorrelated(phi, weight, tree, mean);
}

void EvolModel::DrawXi(double weight, const PhylogeneticTree& tree, double mean) {
  DrawTreeCorrelated(xi, weight, tree, mean);
}

void EvolModel::DrawLLambda(double mean, double minimum) { llambda = DrawTruncatedExponential(mean, minimum); }
void EvolModel::DrawGLambda(double mean, double minimum) { glambda = DrawTruncatedExponential(mean, minimum); }

}  // namespace vorn
