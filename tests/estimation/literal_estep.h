#pragma once
#include <cstdint>
#include <vector>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/em.h"

namespace vorn {
namespace testing_support {

// The E-step and the updates evaluated literally: every (gene, entry, gain category, loss category)
// keeps its own posteriors, from the sums over the states below and above each node, and every
// update is the maximum of its expected complete-data log-likelihood, found from those tables by
// bisection on the sign of its derivative. Slow on purpose: the reference for the folded sums and
// the Newton updates. Likelihoods are long double without rescaling: its exponent range (to about
// 1e-4951) holds a pattern on a tree of many thousand leaves.
class LiteralEStep {
 public:
  struct Entry {
    std::uint32_t gene, pattern;
    double count;
    std::vector<double> transition;       // [pair][a][b][v]
    std::vector<double> state;            // [pair][a][v]
    std::vector<double> category;         // [pair], normalised
    std::vector<long double> likelihood;  // [pair], h
  };

  LiteralEStep(const EM& em, const AlignmentData& data, const PhylogeneticTree& tree);

  double T(const Entry& e, std::uint32_t pair, int a, int b, std::uint32_t v) const {
    return e.transition[((pair * 2 + a) * 2 + b) * n_ + v];
  }
  double S(const Entry& e, std::uint32_t pair, int a, std::uint32_t v) const {
    return e.state[(pair * 2 + a) * n_ + v];
  }
  // Posterior count of a -> b on the branch above v in gene g and pair (k, l).
  double Count(std::uint32_t g, std::uint32_t k, std::uint32_t l, int a, int b, std::uint32_t v) const;

  double P0() const;
  double Nu() const;
  double Theta(std::uint32_t gene) const;
  double Eta(std::uint32_t gene) const;
  std::vector<double> Phi() const;  // every node, the root's entry as it was
  std::vector<double> Xi() const;
  double LossObjective(double lambda) const;  // negated expected log-likelihood of the shape
  double GainObjective(double lambda) const;

  std::vector<Entry> entries;
  long double logLikelihood = 0;

 private:
  void PatternTables(std::uint32_t gene, const std::uint8_t* pattern, std::uint32_t k, std::uint32_t l,
                     long double* h, double* transition, double* state) const;

  const EM& em_;
  const AlignmentData& data_;
  const PhylogeneticTree& tree_;
  std::uint32_t n_, k_, m_;
};

// Likelihood and posteriors of one pattern and category pair by enumerating every state of every
// node (2^N terms; small trees only).
void BruteForcePattern(const EM& em, const PhylogeneticTree& tree, std::uint32_t gene, const std::uint8_t* pattern,
                       std::uint32_t k, std::uint32_t l, double* h, std::vector<double>* transition,
                       std::vector<double>* state);

}  // namespace testing_support
}  // namespace vorn
