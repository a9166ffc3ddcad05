// The observed information by central differences of the exact gradient, and what its
// eigen-decomposition says about each estimated parameter.
#include "estimation/uncertainty.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/em.h"
#include "estimation/fit.h"

namespace vorn {

// The step of the central differences, in y. The gradient comes from the posterior sums to about
// machine precision times the information's scale, so the quotient's rounding error is near
// 2^-52 / h ~ 2e-12 of the information; its truncation error is about h^2 / 6 times the third
// derivative, near 1e-9 of it for a log-likelihood whose scale of change in y is one unit. The
// optimum, (3 2^-52)^(1/3) ~ 1e-5, is taken ten times larger, so that an E-step whose sums
// round worse than the ideal (rescaled products, long folds) costs a thousand times less.
constexpr double kInformationStep = 1e-4;

std::uint32_t Uncertainty::Undetermined() const {
  std::uint32_t count = 0;
  for (const ParameterUncertainty& p : parameters) count += p.determined ? 0 : 1;
  return count;
}

std::string ParameterLabel(ParameterFamily family, std::uint32_t index) {
  if (Family(family).extent == Extent::kModel) return FamilyName(family);
  return std::string(FamilyName(family)) + "[" + std::to_string(index) + "]";
}

double ToFitScale(double x, bool rate) { return rate ? std::log(x) : std::log(x) - std::log1p(-x); }

double FromFitScale(double y, bool rate) { return rate ? std::exp(y) : 1 / (1 + std::exp(-y)); }

namespace {

using Key = std::pair<int, std::uint32_t>;

// The estimated parameters the information is formed over: those inside their ranges.
struct FreeSet {
  std::vector<std::size_t> members;  // into estimates
  std::map<Key, std::size_t> position;  // (family, index) -> position in members
};

// dlogL/dy of the free parameters at the em's current model.
std::vector<double> GradientInY(EM& em, const AlignmentData& data, const PhylogeneticTree& tree,
                                const FreeSet& free) {
  em.SetRates();
  em.ComputeExpectations(data, tree);
  std::vector<double> gradient(free.members.size(), 0);
  em.ForEachFreeParameter(data, tree, [&](const FreeParameter& f) {
    const auto found = free.position.find({f.family, f.index});
    if (found == free.position.end()) return;
    gradient[found->second] = f.gradient * (f.rate ? f.value : f.value * (1 - f.value));
  });
  return gradient;
}

bool IsGlobal(ParameterFamily family) { return Family(family).extent != Extent::kNode; }

// The free parameters' positions in one block: all of them (full), or the globals (the model's
// and the genes' parameters) and each branch's phi and xi.
std::vector<std::vector<std::size_t>> Blocks(bool full, const std::vector<FreeParameter>& estimates,
                                             const FreeSet& free) {
  std::vector<std::vector<std::size_t>> blocks;
  std::map<std::int64_t, std::size_t> blockOf;  // -1 for the globals, else the node
  for (std::size_t i = 0; i < free.members.size(); ++i) {
    const FreeParameter& f = estimates[free.members[i]];
    const std::int64_t key = full || IsGlobal(f.family) ? -1 : static_cast<std::int64_t>(f.index);
    const auto found = blockOf.find(key);
    if (found == blockOf.end()) {
      blockOf[key] = blocks.size();
      blocks.push_back({i});
    } else {
      blocks[found->second].push_back(i);
    }
  }
  return blocks;
}

// The information of each block from its columns -(g(y + h e_i) - g(y - h e_i)) / 2h, one-sided
// where a step would leave the range, symmetrised.
std::vector<Eigen::MatrixXd> InformationBlocks(EM& em, const AlignmentData& data, const PhylogeneticTree& tree,
                                               const std::vector<FreeParameter>& estimates, const FreeSet& free,
                                               const std::vector<std::vector<std::size_t>>& blocks) {
  std::vector<Eigen::MatrixXd> information;
  for (const std::vector<std::size_t>& block : blocks) {
    const Eigen::Index m = static_cast<Eigen::Index>(block.size());
    information.push_back(Eigen::MatrixXd::Zero(m, m));
  }
  std::vector<double> base;  // the gradient at the maximum, for one-sided differences
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    for (std::size_t k = 0; k < blocks[b].size(); ++k) {
      const FreeParameter& f = estimates[free.members[blocks[b][k]]];
      const double y = ToFitScale(f.value, f.rate);
      double& x = Value(em.model, f.family, f.index);
      const double up = FromFitScale(y + kInformationStep, f.rate);
      const double down = FromFitScale(y - kInformationStep, f.rate);
      const bool upInside = up <= f.upper, downInside = down >= f.lower;
      std::vector<double> high, low;
      double width = 2 * kInformationStep;
      if (upInside) {
        x = up;
        high = GradientInY(em, data, tree, free);
      }
      if (downInside) {
        x = down;
        low = GradientInY(em, data, tree, free);
      }
      x = f.value;
      if (!upInside || !downInside) {
        if (base.empty()) base = GradientInY(em, data, tree, free);
        (upInside ? low : high) = base;
        width = kInformationStep;
      }
      for (std::size_t j = 0; j < blocks[b].size(); ++j) {
        information[b](static_cast<Eigen::Index>(j), static_cast<Eigen::Index>(k)) =
            -(high[blocks[b][j]] - low[blocks[b][j]]) / width;
      }
    }
    information[b] = (information[b] + information[b].transpose()).eval() / 2;
  }
  return information;
}

// "flat direction shared with a, b": the others that carry most of the eigenvector (nine
// tenths of its square, at most six named).
std::string FlatReason(const Eigen::VectorXd& vector, const std::vector<std::size_t>& block, std::size_t self,
                       const std::vector<FreeParameter>& estimates, const FreeSet& free) {
  std::vector<std::pair<double, std::size_t>> carriers;
  for (std::size_t k = 0; k < block.size(); ++k) {
    carriers.push_back({std::abs(vector(static_cast<Eigen::Index>(k))), k});
  }
  std::sort(carriers.begin(), carriers.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  std::string names;
  double carried = 0;
  int named = 0;
  for (const auto& [size, k] : carriers) {
    if (carried >= 0.9 || size < kFlatComponent) break;
    carried += size * size;
    if (k == self) continue;
    if (named == 6) {
      names += ", ...";
      break;
    }
    const FreeParameter& f = estimates[free.members[block[k]]];
    names += (named++ ? ", " : "") + ParameterLabel(f.family, f.index);
  }
  return names.empty() ? "flat direction" : "flat direction shared with " + names;
}

void AnalyseBlock(const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd>& solver, const std::vector<std::size_t>& block,
                  double threshold, const std::vector<FreeParameter>& estimates, const FreeSet& free,
                  Uncertainty* uncertainty) {
  const Eigen::VectorXd& values = solver.eigenvalues();
  const Eigen::MatrixXd& vectors = solver.eigenvectors();
  const Eigen::Index m = values.size();
  Eigen::MatrixXd covariance = Eigen::MatrixXd::Zero(m, m);
  for (Eigen::Index e = 0; e < m; ++e) {
    if (values(e) >= threshold && values(e) > 0) covariance += vectors.col(e) * vectors.col(e).transpose() / values(e);
  }
  for (std::size_t k = 0; k < block.size(); ++k) {
    ParameterUncertainty& p = uncertainty->parameters[free.members[block[k]]];
    const Eigen::Index row = static_cast<Eigen::Index>(k);
    // Ascending eigenvalues: the weakest flat direction the parameter takes part in names it.
    for (Eigen::Index e = 0; e < m && !(values(e) >= threshold && values(e) > 0); ++e) {
      if (std::abs(vectors(row, e)) >= kFlatComponent) {
        p.reason = FlatReason(vectors.col(e), block, k, estimates, free);
        break;
      }
    }
    if (!p.reason.empty()) continue;
    const FreeParameter& f = estimates[free.members[block[k]]];
    p.determined = true;
    p.se = std::sqrt(covariance(row, row));
    const double y = ToFitScale(f.value, f.rate);
    p.ciLow = std::max(FromFitScale(y - kWaldZ * p.se, f.rate), f.lower);
    p.ciHigh = std::min(FromFitScale(y + kWaldZ * p.se, f.rate), f.upper);
  }
}

// Within a millionth of a bound (relative for rates), as results.json's at_bound judges it.
bool NearBound(const FreeParameter& f) {
  constexpr double kNear = 1e-6;
  if (f.rate) return f.value <= f.lower * (1 + kNear) || f.value >= f.upper * (1 - kNear);
  return f.value - f.lower <= kNear || f.upper - f.value <= kNear;
}

// Where theta and every phi (or, with one gene and no gain-rate variation, eta and every xi) trade
// off exactly along each branch's retention (gain) chance, the model cannot tell them apart
// whatever the data: the optimizers park the rate anywhere on that ridge, often at its floor or
// cap, and the information there may hide the ridge behind a bound. They are marked from the
// model's structure, the rate first, then its branches' parameters in node order.
void MarkRidges(const FitResult& result, Uncertainty* uncertainty) {
  const std::pair<bool, std::pair<ParameterFamily, ParameterFamily>> ridges[] = {
      {result.limits.thetaPhiInvariant, {kTheta, kPhi}}, {result.limits.etaXiInvariant, {kEta, kXi}}};
  for (const auto& [invariant, families] : ridges) {
    if (!invariant) continue;
    std::vector<std::size_t> members;
    for (std::size_t i = 0; i < result.estimates.size(); ++i) {
      const FreeParameter& f = result.estimates[i];
      if (f.family == families.first || (f.family == families.second && !NearBound(f))) members.push_back(i);
    }
    if (members.size() < 2) continue;
    for (std::size_t i : members) {
      std::string names;
      int named = 0;
      for (std::size_t j : members) {
        if (j == i) continue;
        if (named == 6) {
          names += ", ...";
          break;
        }
        names += (named++ ? ", " : "") + ParameterLabel(result.estimates[j].family, result.estimates[j].index);
      }
      ParameterUncertainty& p = uncertainty->parameters[i];
      p.determined = false;
      p.se = p.ciLow = p.ciHigh = 0;
      p.reason = "flat direction shared with " + names;
    }
  }
}

}  // namespace

void ComputeUncertainty(EM& em, const AlignmentData& data, const PhylogeneticTree& tree, const FitResult& result,
                        Uncertainty* uncertainty, std::size_t fullLimit) {
  *uncertainty = Uncertainty();
  uncertainty->computed = true;
  const bool full = result.estimates.size() <= fullLimit;
  uncertainty->approximation = full ? "full" : "blocks";
  em.model = result.model;
  em.flags = result.flags;
  FreeSet free;
  for (std::size_t i = 0; i < result.estimates.size(); ++i) {
    const FreeParameter& f = result.estimates[i];
    ParameterUncertainty p;
    p.family = f.family;
    p.index = f.index;
    p.value = f.value;
    // At a bound the maximum is not a zero of the gradient, and the normal approximation has no
    // side to stand on: the others are judged given the bound.
    if (NearBound(f)) {
      p.reason = "at bound";
    } else {
      free.position[{f.family, f.index}] = free.members.size();
      free.members.push_back(i);
    }
    uncertainty->parameters.push_back(p);
  }
  if (!free.members.empty()) {
    const std::vector<std::vector<std::size_t>> blocks = Blocks(full, result.estimates, free);
    const std::vector<Eigen::MatrixXd> information = InformationBlocks(em, data, tree, result.estimates, free, blocks);
    std::vector<Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd>> solvers;
    double largest = 0;
    for (const Eigen::MatrixXd& part : information) {
      solvers.emplace_back(part);
      largest = std::max(largest, solvers.back().eigenvalues().maxCoeff());
    }
    uncertainty->largestEigenvalue = largest;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
      AnalyseBlock(solvers[b], blocks[b], kFlatShare * largest, result.estimates, free, uncertainty);
    }
  }
  MarkRidges(result, uncertainty);
  // Back to the result's point and sums.
  em.model = result.model;
  em.SetRates();
  em.ComputeExpectations(data, tree);
}


std::vector<double> ObservedInformation(EM& em, const AlignmentData& data, const PhylogeneticTree& tree,
                                        const std::vector<FreeParameter>& parameters) {
  if (parameters.empty()) return {};
  FreeSet free;
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    free.position[{parameters[i].family, parameters[i].index}] = i;
    free.members.push_back(i);
  }
  const Eigen::MatrixXd information =
      InformationBlocks(em, data, tree, parameters, free, Blocks(true, parameters, free))[0];
  std::vector<double> entries;
  for (Eigen::Index a = 0; a < information.rows(); ++a) {
    for (Eigen::Index b = 0; b < information.cols(); ++b) entries.push_back(information(a, b));
  }
  return entries;
}

}  // namespace vorn
