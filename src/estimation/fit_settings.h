// What a fit is asked to do: which parameters it estimates and how they start, the rate
// categories, the tolerances and limits, and the optimizer. The control file's reader fills it;
// tests write the few fields they need. And what the estimator derives from it, the tree and the
// starting values (the rate caps and the invariants), computed in one place.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "estimation/parameter_families.h"

namespace vorn {

class EStepCommunicator;
class EvolModel;
class PhylogeneticTree;

// Which parameters the M-steps change; a fixed one keeps its value. The root's phi and xi
// entries are always false (the root has no branch). Per-gene and per-node flags are bytes.
struct EstimationFlags {
  bool p0 = false;
  std::vector<std::uint8_t> theta, phi, eta, xi;
  bool nu = false;
  bool llambda = false;
  bool glambda = false;

  // Sized for the genes and nodes, nothing estimated.
  void Resize(std::uint32_t nodeCount, std::uint32_t geneCount);
};

// Whether any entry of the family is estimated.
bool Estimated(const EstimationFlags& flags, ParameterFamily family);
// Whether this entry is.
bool Estimated(const EstimationFlags& flags, ParameterFamily family, std::uint32_t index);
// Holds this entry at its value from now on.
void Hold(EstimationFlags& flags, ParameterFamily family, std::uint32_t index);

// How estimated parameters get their starting values: the mode texts the control file chose
// ("observed", "fixed", "rand", "dollo") and the numbers the random modes use.
struct InitializationSettings {
  std::string p0Mode, thetaMode, phiMode, etaMode, xiMode, nuMode, llambdaMode, glambdaMode;
  double p0Lower = 0.95;
  double thetaMean = 1.0;
  double etaMean = 1.5;
  double nuLower = 0.8;
  double llambdaMean = 1.0;
  double glambdaMean = 1.0;
};

// How the estimation climbs: the classic EM (one parameter family at a time, each update followed
// by an E-step), or a quasi-Newton search on the log-likelihood with EM sweeps as its safe fallback.
enum class Optimizer { kEm, kFast };

// How the starts are used: each climbed to its end, one after another; or screened: every start
// climbed a few iterations (side by side when the E-step is too small for every thread), random
// starts drawn from the regimes real fits end in, and only the most promising climbed to the end.
enum class Search { kEach, kScreen };

// Most starts one fit may ask for.
constexpr std::uint32_t kMaxStarts = 1000;

struct FitSettings {
  EstimationFlags flags;
  InitializationSettings initialization;
  // Rate categories of the loss and gain distributions; the gain count includes the class of
  // sites that never gain.
  std::uint16_t lossCategories = 1, gainCategories = 2;
  double likelihoodTolerance = 0;
  double parameterTolerance = 0;
  double internalTolerance = 0;
  std::uint32_t maxIterations = 1000;
  double minLLambda = 0.05;
  double minGLambda = 0.06;
  // nu is estimated once, from the data, and then held ("est fix").
  bool nuHeldFixed = false;
  Optimizer optimizer = Optimizer::kEm;
  std::uint32_t starts = 1;  // the given start and starts - 1 random ones
  Search search = Search::kEach;
  // The data hold only characters present at some leaf: each gene's likelihood is conditioned on
  // that (divided by 1 - P(absent everywhere)), and the unobserved all-absent sites are estimated
  // as missing data in every E-step.
  bool conditionOnPresence = false;
  // Threads of the E-step and of the ancestral accumulation: 1 works on the calling thread alone,
  // 0 means one per core that the system reports. The results do not depend on it.
  std::uint32_t threadCount = 1;
  // The processes that share every E-step's blocks (e_step_communicator.h), or nullptr for this one
  // alone. The results do not depend on it either.
  EStepCommunicator* communicator = nullptr;
  // At the result: the observed information, standard errors, Wald intervals and the directions
  // the data leave undetermined (uncertainty.h).
  bool standardErrors = false;
  // After the fit, the posteriors of every site and branch (PREFIX.families.tsv), and the long
  // form of the (site, branch) pairs whose gain or loss chance reaches eventThreshold
  // (PREFIX.family_events.tsv).
  bool familyPosteriors = false;
  double eventThreshold = 0.05;
};

// Derived from the settings, the tree and the given values.
struct FitLimits {
  // The M-steps bound theta and eta by these caps over the largest rate multiplier, so that no
  // rate times a branch length passes 153.5. The number is older than the E-step's rescaling and
  // is kept because every fit that reaches the cap prints it; what it still guarantees is that a
  // branch's decay e^-x stays above 2^-221.5, so that a node's values, rescaled once they fall
  // below 2^-256, times two such branch terms stay normal doubles: (2^-221.5 2^-256)^2 = 2^-955,
  // above the smallest normal 2^-1022. A cap above about 176 would let subnormal values, which
  // carry fewer bits, into the products.
  double thetaCap = 0, etaCap = 0;
  // Without loss-rate variation theta and every phi trade off along the branch's retention
  // chance, and without gain-rate variation (one gene) eta and every xi along its gain chance:
  // the updates then shift both together to keep the smallest theta (and eta) at its floor.
  bool thetaPhiInvariant = false, etaXiInvariant = false;
};

FitLimits DeriveLimits(const FitSettings& settings, const EvolModel& given, const PhylogeneticTree& tree);

}  // namespace vorn
