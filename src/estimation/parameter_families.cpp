// The table of parameter families and the bounds derived from the settings.
#include "estimation/parameter_families.h"

#include <algorithm>
#include <cmath>

#include "data/phylogenetic_tree.h"
#include "estimation/evol_model.h"
#include "estimation/fit_settings.h"
#include "estimation/rate_categories.h"

namespace vorn {
namespace {

const FamilyInfo kFamilies[kFamilyCount] = {
    {"p0", "p0", "P0", Extent::kModel, false, false},
    {"theta", "theta", "THETA", Extent::kGene, true, false},
    {"phi", "phi", "PHI", Extent::kNode, false, true},
    {"eta", "eta", "ETA", Extent::kGene, true, false},
    {"xi", "xi", "XI", Extent::kNode, false, true},
    {"nu", "nu", "NU", Extent::kModel, false, false},
    {"l-lambda", "llambda", "L-LAMBDA", Extent::kModel, true, false},
    {"g-lambda", "glambda", "G-LAMBDA", Extent::kModel, true, false},
};

}  // namespace

const FamilyInfo& Family(ParameterFamily family) { return kFamilies[family]; }

double& Value(EvolModel& model, ParameterFamily family, std::uint32_t index) {
  switch (family) {
    case kP0: return model.p0;
    case kTheta: return model.theta[index];
    case kPhi: return model.phi[index];
    case kEta: return model.eta[index];
    case kXi: return model.xi[index];
    case kNu: return model.nu;
    case kLLambda: return model.llambda;
    default: return model.glambda;
  }
}

double Value(const EvolModel& model, ParameterFamily family, std::uint32_t index) {
  return Value(const_cast<EvolModel&>(model), family, index);
}

double RelativeChange(double newValue, double oldValue, ParameterFamily family) {
  return std::abs(newValue - oldValue) / (Family(family).fromZero ? oldValue + 2.220446049250313e-16 : oldValue);
}

Range FamilyRange(ParameterFamily family, const FitSettings& settings, const FitLimits& limits,
                  const RateCategories& loss, const RateCategories& gain) {
  switch (family) {
    case kTheta: return {kThetaFloor, limits.thetaCap / loss.rates[loss.count - 1]};
    case kPhi: return {0, kPhiCeiling};
    case kEta: return {kEtaFloor, limits.etaCap / gain.rates[gain.count - 1]};
    case kXi: return {kXiFloor, 1};
    case kLLambda: return {settings.minLLambda, kShapeCeiling};
    case kGLambda: return {settings.minGLambda, kShapeCeiling};
    default: return {0, 1};
  }
}

void EstimationFlags::Resize(std::uint32_t nodeCount, std::uint32_t geneCount) {
  theta.assign(geneCount, 0);
  eta.assign(geneCount, 0);
  phi.assign(nodeCount, 0);
  xi.assign(nodeCount, 0);
}

bool Estimated(const EstimationFlags& flags, ParameterFamily family, std::uint32_t index) {
  switch (family) {
    case kP0: return flags.p0;
    case kTheta: return flags.theta[index] != 0;
    case kPhi: return flags.phi[index] != 0;
    case kEta: return flags.eta[index] != 0;
    case kXi: return flags.xi[index] != 0;
    case kNu: return flags.nu;
    case kLLambda: return flags.llambda;
    default: return flags.glambda;
  }
}

void Hold(EstimationFlags& flags, ParameterFamily family, std::uint32_t index) {
  switch (family) {
    case kP0: flags.p0 = false; break;
    case kTheta: flags.theta[index] = 0; break;
    case kPhi: flags.phi[index] = 0; break;
    case kEta: flags.eta[index] = 0; break;
    case kXi: flags.xi[index] = 0; break;
    case kNu: flags.nu = false; break;
    case kLLambda: flags.llambda = false; break;
    default: flags.glambda = false;
  }
}

bool Estimated(const EstimationFlags& flags, ParameterFamily family) {
  const auto any = [](const std::vector<std::uint8_t>& f) {
    return std::any_of(f.begin(), f.end(), [](std::uint8_t x) { return x != 0; });
  };
  switch (family) {
    case kTheta: return any(flags.theta);
    case kPhi: return any(flags.phi);
    case kEta: return any(flags.eta);
    case kXi: return any(flags.xi);
    default: return Estimated(flags, family, 0);
  }
}

FitLimits DeriveLimits(const FitSettings& settings, const EvolModel& given, const PhylogeneticTree& tree) {
  FitLimits limits;
  double longest = 0;
  for (std::uint32_t v = 1; v < tree.nodeCount; ++v) longest = std::max(longest, tree.branchLength[v]);
  limits.thetaCap = 153.5 / longest;
  limits.etaCap = limits.thetaCap;
  const EstimationFlags& flags = settings.flags;
  limits.thetaPhiInvariant =
      Estimated(flags, kTheta) && Estimated(flags, kPhi) && !flags.llambda && given.llambda == 0;
  limits.etaXiInvariant = Estimated(flags, kEta) && Estimated(flags, kXi) && !flags.glambda && given.glambda == 0 &&
                          given.geneCount == 1;
  return limits;
}

}  // namespace vorn
