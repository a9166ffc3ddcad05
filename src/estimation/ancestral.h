// The ancestral reconstruction at a fit's result: per gene and node, the expected number of
// characters present at the node and of losses, gains and retentions on the branch above it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorn {

enum class ReconstructionMode { kOff, kOn, kDetailed };

// Tables of geneCount rows of nodeCount doubles; the root's event entries are 0. Empty until a
// reconstruction fills them.
struct AncestralTables {
  void Resize(std::uint32_t genes, std::uint32_t nodes) {
    geneCount = genes;
    nodeCount = nodes;
    const std::size_t cells = static_cast<std::size_t>(genes) * nodes;
    for (std::vector<double>* table : {&present, &losses, &gains, &retentions}) table->assign(cells, 0.0);
  }
  std::size_t Index(std::uint32_t gene, std::uint32_t node) const {
    return static_cast<std::size_t>(gene) * nodeCount + node;
  }
  // A value, 0 while the tables have not been filled.
  double Value(const std::vector<double>& table, std::uint32_t gene, std::uint32_t node) const {
    const std::size_t at = Index(gene, node);
    return at < table.size() ? table[at] : 0.0;
  }

  std::uint32_t geneCount = 0, nodeCount = 0;
  std::vector<double> present, losses, gains, retentions;
};

}  // namespace vorn
