#include "fuzz_support.h"

#include <cmath>
#include <cstdlib>

namespace vorn {
namespace fuzzing {

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

void CheckTreeLayout(const PhylogeneticTree& tree) {
  const std::uint32_t n = tree.nodeCount, l = tree.leafCount;
  Require(l >= 2 && n == 2 * l - 1, "node count is 2 L - 1 with L >= 2");
  Require(tree.firstChild.size() == n && tree.secondChild.size() == n && tree.parent.size() == n &&
              tree.branchLength.size() == n && tree.nodeNames.size() == n,
          "node arrays sized");
  Require(tree.parent[0] == n, "root has no parent");
  for (std::uint32_t v = 0; v < n; ++v) {
    const bool internal = v + 1 < l;
    Require(tree.IsLeaf(v) != internal, "internal nodes first, leaves last");
    Require(std::isfinite(tree.branchLength[v]) && tree.branchLength[v] >= 0, "branch length finite, >= 0");
    if (internal) {
      const std::uint32_t y = tree.firstChild[v], z = tree.secondChild[v];
      Require(y < n && z < n && y != z && y != 0 && z != 0, "two distinct children");
      Require(tree.parent[y] == v && tree.parent[z] == v, "children point back");
    } else {
      Require(tree.secondChild[v] >= n, "a leaf has no second child");
    }
    if (v != 0) {
      const std::uint32_t p = tree.parent[v];
      Require(p < n && (tree.firstChild[p] == v || tree.secondChild[p] == v), "parent lists the node");
    }
  }
  Require(tree.leafNodes.size() == l, "leafNodes sized");
  for (std::uint32_t j = 0; j < l; ++j) Require(tree.leafNodes[j] == l - 1 + j, "leafNodes[j] = L - 1 + j");

  Require(tree.bottomUpOrder.size() == n && tree.bottomUpOrder[n - 1] == 0, "bottom-up order ends at the root");
  std::vector<char> placed(n, 0);
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint32_t v = tree.bottomUpOrder[i];
    Require(v < n && !placed[v], "bottom-up order lists each node once");
    if (!tree.IsLeaf(v)) Require(placed[tree.firstChild[v]] && placed[tree.secondChild[v]], "children first");
    placed[v] = 1;
  }
  for (std::uint32_t k = 0; 2 * k + 1 < n - 1; ++k) {
    Require(tree.parent[tree.bottomUpOrder[2 * k]] == tree.parent[tree.bottomUpOrder[2 * k + 1]],
            "bottom-up order pairs siblings");
  }
  Require(tree.innerNodes.size() == l - 2, "innerNodes holds L - 2 nodes");
  std::vector<char> seen(n, 0);
  for (std::uint32_t v : tree.innerNodes) {
    Require(v > 0 && v + 1 < l && !seen[v], "innerNodes: internal non-root nodes, once each");
    Require(seen[tree.firstChild[v]] || tree.IsLeaf(tree.firstChild[v]), "innerNodes: children first");
    Require(seen[tree.secondChild[v]] || tree.IsLeaf(tree.secondChild[v]), "innerNodes: children first");
    seen[v] = 1;
  }
  std::fill(seen.begin(), seen.end(), 0);
  seen[0] = seen[tree.firstChild[0]] = seen[tree.secondChild[0]] = 1;
  std::uint32_t deep = 0;
  for (std::uint32_t v = 1; v + 1 < l; ++v) deep += tree.parent[v] != 0;
  Require(tree.deepInnerNodes.size() == deep, "deepInnerNodes: every deeper internal node");
  for (std::uint32_t v : tree.deepInnerNodes) {
    Require(v + 1 < l && tree.parent[v] != 0 && seen[tree.parent[v]] && !seen[v], "deepInnerNodes: parents first");
    seen[v] = 1;
  }
}

void CheckAlignmentData(const AlignmentData& data) {
  Require(data.patterns.size() == data.patternCount && data.genes.size() == data.geneCount, "data arrays sized");
  Require(data.nodeCount == 2 * data.leafCount - 1, "data node count");
  for (const Pattern& pattern : data.patterns) {
    Require(pattern.values.size() == data.leafCount, "pattern length is L");
    for (std::uint8_t value : pattern.values) Require(value <= 2, "pattern values 0, 1, 2");
    Require(data.PassesFilter(pattern.values.data()), "stored patterns pass the filter");
  }
  std::uint64_t filtered = 0, all = 0;
  for (const Gene& gene : data.genes) {
    Require(gene.patternIndices.size() == gene.entryCount && gene.counts.size() == gene.entryCount,
            "gene entry lists sized");
    std::uint64_t sum = 0;
    std::vector<char> seen(data.patternCount, 0);
    for (std::uint32_t e = 0; e < gene.entryCount; ++e) {
      Require(gene.patternIndices[e] < data.patternCount, "entry pattern index below P");
      Require(gene.counts[e] > 0, "no entry with a count of 0");
      Require(!seen[gene.patternIndices[e]], "a pattern has one entry per gene");
      seen[gene.patternIndices[e]] = 1;
      sum += gene.counts[e];
    }
    Require(sum == gene.filteredSites && gene.filteredSites <= gene.allSites, "gene site totals");
    filtered += gene.filteredSites;
    all += gene.allSites;
  }
  Require(filtered == data.filteredSites && all == data.allSites, "data site totals are the genes' sums");
}

}  // namespace fuzzing
}  // namespace vorn
