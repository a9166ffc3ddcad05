// The model's parameter values and the simulation from them.
#pragma once
#include <cstdint>
#include <vector>

namespace vorn {

class PhylogeneticTree;
class AlignmentData;
struct SimulationSettings;
struct SimulatedHistory;

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

  // Simulates the sites the settings ask for with this set as the true model and adds them to
  // data, prepared for the tree's leaves and geneCount genes; hides each leaf value with the
  // settings' probability. With a history, keeps the true history of the sites (the data keep
  // their order of first occurrence, the history counts every site). With requirePresence, a site
  // that shows the character at no leaf is drawn again (the history counts kept sites only).
  // False, after its message, when the model almost never makes a site that is kept.
  bool Simulate(AlignmentData& data, const PhylogeneticTree& tree, const SimulationSettings& settings,
                bool requirePresence, SimulatedHistory* history) const;

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
