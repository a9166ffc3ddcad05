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

// The estimated parameters the information is formed over: those inside their ranges, then those
// at a bound. A probability at a bound is differentiated in itself, inward (its logit is
// infinite there); everything else in y.
struct FreeSet {
  std::vector<std::size_t> members;  // into estimates
  std::map<Key, std::size_t> position;  // (family, index) -> position in members
  std::vector<bool> inX;  // per member
  std::size_t interior = 0;  // the members before the first at a bound
};

// The step of a probability at its bound, in the probability itself: the information there is
// that of a few thousand sites at most, so a millionth is far inside where it changes.
constexpr double kBoundStep = 1e-6;

void AddMember(FreeSet& free, const FreeParameter& f, std::size_t i, bool inX) {
  free.position[{f.family, f.index}] = free.members.size();
  free.members.push_back(i);
  free.inX.push_back(inX);
}

// dlogL/dy of the free parameters at the em's current model.
std::vector<double> GradientInY(EM& em, const AlignmentData& data, const PhylogeneticTree& tree,
                                const FreeSet& free) {
  em.SetRates();
  em.ComputeExpectations(data, tree);
  std::vector<double> gradient(free.members.size(), 0);
  em.ForEachFreeParameter(data, tree, [&](const FreeParameter& f) {
    const auto found = free.position.find({f.family, f.index});
    if (found == free.position.end()) return;
    const double stretch = free.inX[found->second] ? 1.0 : f.rate ? f.value : f.value * (1 - f.value);
    gradient[found->second] = f.gradient * stretch;
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
      double& x = Value(em.model, f.family, f.index);
      double up, down, step = kInformationStep;
      if (free.inX[blocks[b][k]]) {
        const bool atUpper = f.upper - f.value <= f.value - f.lower;
        up = atUpper ? HUGE_VAL : f.value + kBoundStep;
        down = atUpper ? f.value - kBoundStep : -HUGE_VAL;
        step = kBoundStep;
      } else {
        const double y = ToFitScale(f.value, f.rate);
        up = FromFitScale(y + kInformationStep, f.rate);
        down = FromFitScale(y - kInformationStep, f.rate);
      }
      const bool upInside = up <= f.upper, downInside = down >= f.lower;
      std::vector<double> high, low;
      double width = 2 * step;
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
        width = step;
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

void SetInterval(const FreeParameter& f, double se, ParameterUncertainty& p) {
  p.se = se;
  const double y = ToFitScale(f.value, f.rate);
  p.ciLow = std::max(FromFitScale(y - kWaldZ * p.se, f.rate), f.lower);
  p.ciHigh = std::min(FromFitScale(y + kWaldZ * p.se, f.rate), f.upper);
}

void AnalyseBlock(const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd>& solver, const std::vector<std::size_t>& block,
                  double threshold, const std::vector<FreeParameter>& estimates, const FreeSet& free,
                  Uncertainty* uncertainty, Eigen::MatrixXd* kept) {
  const Eigen::VectorXd& values = solver.eigenvalues();
  const Eigen::MatrixXd& vectors = solver.eigenvectors();
  const Eigen::Index m = values.size();
  Eigen::MatrixXd& covariance = *kept;
  covariance = Eigen::MatrixXd::Zero(m, m);
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
    p.determined = true;
    SetInterval(estimates[free.members[block[k]]], std::sqrt(covariance(row, row)), p);
  }
}

// The others' information once the parameters of the block at a bound may move too: the Schur
// complement A - B C^-1 B' of their entries C. Given the bound, their standard errors would
// count the bound as known, and a shape whose loss rates trade against a phi held at 0 got
// intervals that held the truth 87 times in 100. Where C is not positive definite (the
// likelihood falls less than a parabola inward) or some parameter of the block is flat, the
// block keeps its intervals given the bound.
void FreeTheBounds(const Eigen::MatrixXd& information, std::size_t interior, const std::vector<std::size_t>& block,
                   double threshold, const std::vector<FreeParameter>& estimates, const FreeSet& free,
                   Uncertainty* uncertainty, Eigen::MatrixXd* kept) {
  const Eigen::Index m = static_cast<Eigen::Index>(interior);
  const Eigen::Index bound = information.rows() - m;
  for (Eigen::Index k = 0; k < m; ++k) {
    if (!uncertainty->parameters[free.members[block[static_cast<std::size_t>(k)]]].determined) return;
  }
  const Eigen::LLT<Eigen::MatrixXd> held(information.bottomRightCorner(bound, bound));
  if (held.info() != Eigen::Success) return;
  const Eigen::MatrixXd cross = information.topRightCorner(m, bound);
  const Eigen::MatrixXd reduced = information.topLeftCorner(m, m) - cross * held.solve(cross.transpose());
  const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver((reduced + reduced.transpose()) / 2);
  if (!(solver.eigenvalues().minCoeff() >= threshold && solver.eigenvalues().minCoeff() > 0)) return;
  const Eigen::MatrixXd covariance =
      solver.eigenvectors() * solver.eigenvalues().cwiseInverse().asDiagonal() * solver.eigenvectors().transpose();
  for (Eigen::Index k = 0; k < m; ++k) {
    const std::size_t member = block[static_cast<std::size_t>(k)];
    SetInterval(estimates[free.members[member]], std::sqrt(covariance(k, k)), uncertainty->parameters[free.members[member]]);
  }
  *kept = covariance;
}

// Above this logit standard error a probability's Wald interval is conservative: for a binomial
// proportion of 0.5 it holds the truth always from 8 trials down (an se of 0.71) and 98 % at 10
// (0.63), and the gain chances of the branches below the root (se near 1) held it in 100 of 100
// replicates. Its ends are then found on the likelihood itself.
constexpr double kPathSe = 0.7;
// The furthest along the path an end is looked for, in standard errors: beyond, the likelihood
// has not fallen by the interval's 1.92, and the end is the range's.
constexpr double kPathFarthest = 12;
// EM sweeps from each point of the path towards the profile: along the path alone, the phi and
// xi of a leaf's branch, which trade off where the path is straight, held the truth 83 % of the
// time.
constexpr int kPathSweeps = 10;
// Likelihoods per end at most; an end not found within them keeps the Wald end.
constexpr int kPathRounds = 12;

// The profile log-likelihood of `held` near the point moved by `step` in y along the block's
// members inside their ranges (each kept in its range): from there, kPathSweeps EM sweeps of
// every other estimated parameter, each of which can only raise it towards the profile.
double ProfileAlong(EM& em, const AlignmentData& data, const PhylogeneticTree& tree,
                    const std::vector<FreeParameter>& estimates, const FreeSet& free,
                    const std::vector<std::size_t>& block, const Eigen::VectorXd& step, const FreeParameter& held) {
  const EvolModel base = em.model;
  const EstimationFlags flags = em.flags;
  for (std::size_t k = 0; k < block.size(); ++k) {
    const FreeParameter& f = estimates[free.members[block[k]]];
    const double x = FromFitScale(ToFitScale(f.value, f.rate) + step(static_cast<Eigen::Index>(k)), f.rate);
    Value(em.model, f.family, f.index) = std::min(std::max(x, f.lower), f.upper);
  }
  em.SetRates();
  em.ComputeExpectations(data, tree);
  Hold(em.flags, held.family, held.index);
  for (int sweep = 0; sweep < kPathSweeps; ++sweep) em.Sweep(data, tree);
  const double logLikelihood = em.logLikelihood;
  em.flags = flags;
  em.model = base;
  return logLikelihood;
}

// The 95 % interval of a weakly informed probability where twice its profile log-likelihood has
// fallen by 1.96^2. Each point starts on the path on which the others follow it as the information
// says (its column of the covariance), the profile of the quadratic approximation, and climbs from
// there (ProfileAlong). For a parabola the fall is z^2 at z standard errors; each end is found by
// the secant on its square root, which is near linear in z, and an end that the fall does not
// reach within kPathFarthest standard errors is the range's own.
void LikelihoodPathIntervals(EM& em, const AlignmentData& data, const PhylogeneticTree& tree, double best,
                             const std::vector<FreeParameter>& estimates, const FreeSet& free,
                             const std::vector<std::size_t>& block, const Eigen::MatrixXd& covariance,
                             Uncertainty* uncertainty) {
  for (std::size_t k = 0; k < block.size(); ++k) {
    ParameterUncertainty& p = uncertainty->parameters[free.members[block[k]]];
    const FreeParameter& f = estimates[free.members[block[k]]];
    if (!p.determined || f.rate || !(p.se > kPathSe)) continue;
    const Eigen::VectorXd unit = covariance.col(static_cast<Eigen::Index>(k)) / p.se;
    const double y = ToFitScale(f.value, f.rate);
    double ends[2] = {p.ciLow, p.ciHigh};
    for (int side = 0; side < 2; ++side) {
      const double sign = side == 0 ? -1 : 1;
      // The root of the fall's square root at 1.96: below it (low) and above (high) once found.
      double lowZ = 0, lowRoot = 0, highZ = 0, highRoot = 0, z = kWaldZ;
      bool bracketed = false, found = false;
      for (int round = 0; round < kPathRounds; ++round) {
        const double fall = 2 * (best - ProfileAlong(em, data, tree, estimates, free, block, sign * z * unit, f));
        if (!std::isfinite(fall)) break;  // nothing to steer by: the Wald end stays
        const double root = std::sqrt(std::max(fall, 0.0));
        if (std::abs(root - kWaldZ) < 1e-3 * kWaldZ) {
          found = true;
          break;
        }
        double farther = 0;  // before the bracket: the secant of the last two points, further out
        if (root < kWaldZ) {
          if (z >= kPathFarthest) {
            ends[side] = side == 0 ? f.lower : f.upper;
            break;
          }
          const double slope = (root - lowRoot) / (z - lowZ);
          farther = slope > 0 ? z + (kWaldZ - root) / slope : 4 * z;
          farther = std::min(std::max(farther, 1.2 * z), std::min(4 * z, kPathFarthest));
          lowZ = z;
          lowRoot = root;
        } else {
          highZ = z;
          highRoot = root;
          bracketed = true;
        }
        z = bracketed ? lowZ + (kWaldZ - lowRoot) * (highZ - lowZ) / (highRoot - lowRoot) : farther;
      }
      if (found) ends[side] = std::min(std::max(FromFitScale(y + sign * z * p.se, f.rate), f.lower), f.upper);
    }
    p.ciLow = ends[0];
    p.ciHigh = ends[1];
  }
}

// A probability with a standard error above that of the logit of a uniform draw from its whole
// range, pi / sqrt(3): the data leave it anywhere between near 0 and near 1 (the Wald interval of
// an se of 1.81 runs from 0.03 to 0.97 around 0.5), which an interval would only dress up as an
// estimate. Its share of the others' variance stays in theirs: given it, the intervals of the
// shapes and of eta held the truth in 78 % to 86 % of the replicates.
constexpr double kUninformedSe = 1.8137993642342178;

void MarkTheUninformed(const std::vector<FreeParameter>& estimates, Uncertainty* uncertainty) {
  for (std::size_t i = 0; i < estimates.size(); ++i) {
    ParameterUncertainty& p = uncertainty->parameters[i];
    if (!p.determined || estimates[i].rate || p.se <= kUninformedSe) continue;
    p.determined = false;
    p.se = p.ciLow = p.ciHigh = 0;
    p.reason = "uninformed: the data leave it spread over its range";
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
  std::vector<std::size_t> atBound;
  for (std::size_t i = 0; i < result.estimates.size(); ++i) {
    const FreeParameter& f = result.estimates[i];
    ParameterUncertainty p;
    p.family = f.family;
    p.index = f.index;
    p.value = f.value;
    // At a bound the maximum is not a zero of the gradient, and the normal approximation has no
    // side to stand on: no interval of its own.
    if (NearBound(f)) {
      p.reason = "at bound";
      atBound.push_back(i);
    } else {
      AddMember(free, f, i, false);
    }
    uncertainty->parameters.push_back(p);
  }
  free.interior = free.members.size();
  for (std::size_t i : atBound) AddMember(free, result.estimates[i], i, !result.estimates[i].rate);
  if (free.interior > 0) {
    // The members inside their ranges come first in every block, and the blocks that hold only
    // parameters at a bound come last.
    const std::vector<std::vector<std::size_t>> blocks = Blocks(full, result.estimates, free);
    const std::vector<Eigen::MatrixXd> information = InformationBlocks(em, data, tree, result.estimates, free, blocks);
    std::vector<std::size_t> interior(blocks.size(), 0);
    std::vector<Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd>> solvers;
    double largest = 0;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
      for (std::size_t member : blocks[b]) interior[b] += member < free.interior ? 1 : 0;
      if (interior[b] == 0) break;
      const Eigen::Index m = static_cast<Eigen::Index>(interior[b]);
      solvers.emplace_back(information[b].topLeftCorner(m, m));
      largest = std::max(largest, solvers.back().eigenvalues().maxCoeff());
    }
    uncertainty->largestEigenvalue = largest;
    std::vector<Eigen::MatrixXd> covariances(solvers.size());
    for (std::size_t b = 0; b < solvers.size(); ++b) {
      const std::vector<std::size_t> inside(blocks[b].begin(), blocks[b].begin() + interior[b]);
      AnalyseBlock(solvers[b], inside, kFlatShare * largest, result.estimates, free, uncertainty, &covariances[b]);
      if (interior[b] < blocks[b].size()) {
        FreeTheBounds(information[b], interior[b], blocks[b], kFlatShare * largest, result.estimates, free,
                      uncertainty, &covariances[b]);
      }
    }
    MarkTheUninformed(result.estimates, uncertainty);
    em.model = result.model;
    for (std::size_t b = 0; b < solvers.size(); ++b) {
      const std::vector<std::size_t> inside(blocks[b].begin(), blocks[b].begin() + interior[b]);
      LikelihoodPathIntervals(em, data, tree, result.logLikelihood, result.estimates, free, inside, covariances[b],
                              uncertainty);
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
  for (std::size_t i = 0; i < parameters.size(); ++i) AddMember(free, parameters[i], i, false);
  free.interior = free.members.size();
  const Eigen::MatrixXd information =
      InformationBlocks(em, data, tree, parameters, free, Blocks(true, parameters, free))[0];
  std::vector<double> entries;
  for (Eigen::Index a = 0; a < information.rows(); ++a) {
    for (Eigen::Index b = 0; b < information.cols(); ++b) entries.push_back(information(a, b));
  }
  return entries;
}

}  // namespace vorn
