#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vorn {

class PhylogeneticTree;
class AlignmentData;

// Which parameters the M-steps change; a fixed one keeps its value. The root's phi and xi
// entries are always false (the root has no branch). Per-gene and per-node flags are bytes.
struct EstimationFlags {
  bool p0 = false;
  std::vector<std::uint8_t> theta;
  bool thetaAny = false;
  std::vector<std::uint8_t> phi;
  bool phiAny = false;
  std::vector<std::uint8_t> eta;
  bool etaAny = false;
  std::vector<std::uint8_t> xi;
  bool xiAny = false;
  bool nu = false;
  bool llambda = false;
  bool glambda = false;
};

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

// The model's parameter values: p0 (root absent), theta and eta per gene (loss- and gain-rate
// scales), phi and xi per node (instantaneous loss and gain ceiling on the branch above the node;
// the root's entries are never read), nu (weight of the never-gaining sites) and the gamma shapes
// llambda and glambda (0 meaning no rate variation). Node and gene indices are the tree's and the
// data's. One instance is estimated in place; when data are simulated it is the true model too.
class EvolModel {
 public:
  virtual ~EvolModel() = default;

  // New entries are 0 until the control file or the initialization sets them.
  void Resize(std::uint32_t newNodeCount, std::uint32_t newGeneCount);
  // Shift theta (eta[0]) and phi (xi) together so that every branch keeps its retention (gain)
  // probability while the smallest theta reaches 0.0001 (eta[0] at most 0.9999).
  void ApplyThetaPhiInvariant(const PhylogeneticTree& tree);
  void ApplyEtaXiInvariant(const PhylogeneticTree& tree);
  // The parameter set as one struct-constructor script line, without a line feed.
  void WriteTrueModel(std::FILE* file) const;

  // Random values for the control file's "rand" and for true models of simulations; every value
  // comes from a generator seeded for it alone.
  void DrawP0(double lower);
  void DrawTheta(double mean);
  void DrawPhi(double weight, const PhylogeneticTree& tree, double mean);
  void DrawEta(double mean);
  void DrawXi(double weight, const PhylogeneticTree& tree, double mean);
  void DrawNu(double lower);
  void DrawLLambda(double mean, double minimum);
  void DrawGLambda(double mean, double minimum);

  // Simulates sitesPerGene[g] sites of every gene with this set as the true model and adds them
  // to data, prepared for the tree's leaves and geneCount genes; hides each leaf value with
  // probability unknownFraction. With track, writes the true history to projectName +
  // ".track.txt"; false, after its message, when that file cannot be written. With requirePresence,
  // a site that shows the character at no leaf is drawn again (the track counts kept sites only).
  bool Simulate(AlignmentData& data, const PhylogeneticTree& tree, double unknownFraction,
                const std::vector<std::uint32_t>& sitesPerGene, bool track, const std::string& projectName, bool requirePresence = false) const;

  // Starting values of the estimated parameters; may clear flags.nu (nu held fixed) and may end
  // the process when the data cannot give p0 or nu.
  void InitializeParameters(const PhylogeneticTree& tree, const AlignmentData& data, EstimationFlags& flags,
                            InitializationSettings settings, bool nuHeldFixed, double minLLambda,
                            double minGLambda);
  void ObservedNu(const AlignmentData& data);

  double p0 = 0.0;
  std::vector<double> theta;
  std::vector<double> phi;
  std::vector<double> eta;
  std::vector<double> xi;
  double nu = 0.0;
  double llambda = 0.0;
  double glambda = 0.0;
  std::uint32_t geneCount = 1;
  std::uint32_t nodeCount = 0;
};

// An exponential of the given mean restricted to [minimum, 5000), from a generator seeded for it.
double DrawTruncatedExponential(double mean, double minimum);

}  // namespace vorn
