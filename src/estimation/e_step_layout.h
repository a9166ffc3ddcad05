// How the E-step lays out its work in memory: the tiles of category pairs, the post-order slots
// of the nodes and the walks of the two passes over them, one entry's scratch, and a block's
// results on their way to the ordered merge. The kernel (e_step_kernel.h) reads these; the
// E-step (e_step.h) sizes and fills them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorn {

class PhylogeneticTree;

// Lanes per tile: four doubles fill a vector of the widest target, AVX2.
constexpr std::uint32_t kWidth = 4;
// A step's pattern position of a child that is no leaf.
constexpr std::uint32_t kInner = 0xffffffffU;
// Fields per step of the downward pass.
constexpr std::size_t kDownStep = 8;
// Doubles per node and tile: both states' lanes (one cache line), and the four state pairs' sums.
constexpr std::size_t kNode = 2 * kWidth;
constexpr std::size_t kSums = 4 * kWidth;

// The first element of a vector that lies on a cache line boundary; every vector read this way
// is sized with kAlignmentSlack extra elements.
template <typename T>
T* Aligned(std::vector<T>& values) {
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(values.data());
  return values.data() + (64 - address % 64) % 64 / sizeof(T);
}
template <typename T>
const T* Aligned(const std::vector<T>& values) {
  return Aligned(const_cast<std::vector<T>&>(values));
}
constexpr std::size_t kAlignmentSlack = 8;

// One gene entry as the E-step sees it: the leaf values and the number of sites that show them
// (a weight, so that an entry may also stand for an expected number of unobserved sites).
struct EStepEntry {
  const std::uint8_t* pattern;
  double weight;
};

// One entry's scratch while a thread works a block of entries of one gene; a thread has two, for
// the two entries that go side by side through the downward pass. The category pairs are padded
// to whole tiles of kWidth lanes (the padding pairs have probability 0 and weight 0). Node arrays
// are laid out [slot][tile][state][lane], a node's slot being its place in the tree's post-order
// (see EStepScratch), so that one node's tile of one array is one cache line; arrays read so
// start on a cache line. Sized once per run.
struct EStepWorkspace {
  void Resize(std::uint32_t nodeCount, std::uint32_t tiles, std::uint32_t messageSlots);

  // The leaves below v given the state of the parent of v (absent / present), times 2^exponent:
  // a node whose two values both fall below the scaling threshold is multiplied by a power of two.
  std::vector<double> conditional;
  // Downward messages: the weighted probability of the leaves outside the subtree of v and of
  // each state of the parent of v, in the message slots of EStepScratch::downSteps.
  std::vector<double> messages;
  std::vector<double> likelihood;  // h per pair, scaled like the conditional values
  std::vector<double> factor;      // n * prior / mixture per pair
  // Scaling of the current entry: whether any node was rescaled; per pair the total exponent and
  // those of the root's two children; per slot whether the node was rescaled, and per lane by how
  // much; the common scale of the entry's likelihoods. expectRescaling: whether the last entry
  // needed it (it only chooses how the upward pass looks for small values, never the results).
  bool scaled = false, expectRescaling = false;
  std::vector<std::int64_t> exponent, firstChildExponent, secondChildExponent;
  std::vector<std::uint8_t> rescaled;
  std::vector<int> ownExponent;
  std::int64_t logScale = 0;
};

// A block's results before they join the gene's sums in a fixed order: the transition sums
// [slot][tile][a][b][lane], and per entry its log-likelihood term and its category weights.
struct EStepBlockResult {
  void Resize(std::uint32_t nodeCount, std::uint32_t tiles, std::uint32_t blockEntries);

  std::vector<double> transitions;
  std::vector<double> entryLogLikelihood;
  std::vector<double> entryCategories;  // [entry][pair]
};

// A block: entries first ... end - 1 of the entry list, all of one gene.
struct EStepBlock {
  std::uint32_t gene, first, end;
  // The block of a gene's unobserved sites, absent at every leaf, when the likelihood is
  // conditioned on presence: its one entry has weight 1, and the merge scales its posteriors by
  // the expected number of such sites, n P / (1 - P), with P the entry's likelihood.
  bool unobserved = false;
};

// Everything an E-step keeps between calls: the tree's walks, the branch probabilities of every
// gene, the category pair priors, the list of entries, two workspaces per thread and the results
// of the blocks that are worked or wait for their turn to join the sums.
struct EStepScratch {
  // The tree in post-order: node v lives in slot[v]. upSteps: for every inner node but the root,
  // children before parents, the slots of v, of its first child and of its second child, and the
  // pattern positions of the two children (kInner for an inner child); downSteps: parents before
  // children, kDownStep fields: the same five, then the message slots of v and of the two children.
  void Layout(const PhylogeneticTree& tree);
  std::vector<std::uint32_t> slot, upSteps, downSteps;
  std::uint32_t messageSlots = 0;           // message slots the downward pass needs
  std::uint32_t rootChildren[2] = {0, 0};   // slots of the root's children
  std::uint32_t rootMessages[2] = {0, 0};   // and their message slots
  std::uint32_t rootLeaves[2] = {0, 0};     // their pattern positions, or kInner
  std::uint32_t firstChildren[2] = {0, 0};  // slots of the children of the root's first child
  std::uint32_t firstChildLeaves[2] = {kInner, kInner};  // and their pattern positions

  std::uint32_t tiles = 0;
  // G(v) (absent state lanes) and R(v) (present state lanes) for gene g, the node in slot s and
  // tile t at [((g * nodeCount + s) * tiles + t) * 2 * kWidth]; lane i is pair t * kWidth + i.
  std::vector<double> branch;
  // An absent leaf's values given its parent's state, 1 - P, per gene: leaf j at
  // [g * LeafTableSize + j * tiles * 2 * kWidth], laid out as q. Those of a present leaf are the
  // branch's own, and those of an unknown one all 1 (ones).
  std::size_t LeafTableSize(std::uint32_t leafCount) const;
  std::vector<double> leafValues, ones;
  // Per gene, leaf j's values when it shows x (2: unknown) at [(g * leafCount + j) * 3 + x].
  std::vector<const double*> leafPointers;
  std::vector<double> prior;  // wl[l] * wg[k] per pair, padded to whole tiles
  std::vector<EStepEntry> entries;
  std::vector<std::uint8_t> absentPattern;  // 0 at every leaf
  std::vector<EStepBlock> blocks;
  std::vector<EStepWorkspace> workspaces;
  std::vector<EStepBlockResult> results;
};

// Entries per block: the unit of work of a thread and of the fixed summation order. Independent
// of the thread count, so that every thread count adds the same partial sums in the same order.
constexpr std::uint32_t kEStepBlockEntries = 256;

}  // namespace vorn
