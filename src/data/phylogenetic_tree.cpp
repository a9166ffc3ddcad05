// The tree's readers, orders and random trees.
#include "data/phylogenetic_tree.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "data/diagnostics.h"
#include "data/text_io.h"
#include "numerics/run_seed.h"

namespace vorn {
namespace {

// Longest line of a "phyl" file, without its line feed.
constexpr std::size_t kMaxPhylLineLength = 2046;
// The "phyl" form stores ages in millions of years; the tree keeps 1000 million years.
constexpr double kMillionYears = 0.001;

bool TreeError(const std::string& treeName, const char* reason) {
  std::fprintf(stderr, "Error:VORN:ReadInput: the phylogenetic tree '%s' %s\n", treeName.c_str(), reason);
  return false;
}

bool LineError(const std::string& treeName, const char* reason, std::size_t line) {
  std::fprintf(stderr, "Error:VORN:ReadInput: the phylogenetic tree '%s' %s on line %u\n", treeName.c_str(),
               reason, static_cast<unsigned>(line));
  return false;
}

// A "phyl" name: one token, or quoted tokens joined by one blank up to the token that closes
// the quote. Advances `next` past the name.
bool TakeName(const std::vector<std::string_view>& tokens, std::size_t& next, std::string& name) {
  if (next >= tokens.size()) return false;
  const std::string_view first = tokens[next++];
  if (first[0] != '\'') {
    name = first;
    return true;
  }
  name = first.substr(1);
  if (first.size() >= 2 && first.back() == '\'') {
    name.pop_back();
    return true;
  }
  while (next < tokens.size()) {
    const std::string_view piece = tokens[next++];
    name += ' ';
    name += piece;
    if (piece.back() == '\'') {
      name.pop_back();
      return true;
    }
  }
  return false;
}

// A list of nodes in order, with removal anywhere and appending at the end. Slots are never
// reused; a Fenwick tree over slot occupancy turns a list position into its slot.
class ActiveList {
 public:
  explicit ActiveList(std::uint32_t capacity) : nodes_(capacity, 0), tree_(capacity + 1, 0) {
    while ((highBit_ << 1) <= capacity) highBit_ <<= 1;
  }
  std::uint32_t size() const { return size_; }
  void Append(std::uint32_t node) {
    nodes_[used_] = node;
    Add(used_++, 1);
    ++size_;
  }
  void Remove(std::uint32_t slot) {
    Add(slot, -1);
    --size_;
  }
  std::uint32_t NodeIn(std::uint32_t slot) const { return nodes_[slot]; }
  // The slot of list position i (0-based): the (i + 1)-th occupied slot.
  std::uint32_t SlotAt(std::uint32_t i) const {
    std::uint32_t at = 0;
    std::int32_t remaining = static_cast<std::int32_t>(i) + 1;
    for (std::uint32_t step = highBit_; step != 0; step >>= 1) {
      if (at + step < tree_.size() && tree_[at + step] < remaining) {
        at += step;
        remaining -= tree_[at];
      }
    }
    return at;  // 1-based index at + 1, so slot at
  }

 private:
  void Add(std::uint32_t slot, std::int32_t delta) {
    for (std::size_t k = slot + 1; k < tree_.size(); k += k & (~k + 1)) tree_[k] += delta;
  }
  std::vector<std::uint32_t> nodes_;
  std::vector<std::int32_t> tree_;
  std::uint32_t used_ = 0;
  std::uint32_t size_ = 0;
  std::uint32_t highBit_ = 1;
};

}  // namespace

double PhylogeneticTree::Age(std::uint32_t v) const {
  double age = 0.0;
  while (!IsLeaf(v)) {
    v = firstChild[v];
    age += branchLength[v];
  }
  return age;
}

void PhylogeneticTree::Allocate(std::uint32_t leaves) {
  leafCount = leaves;
  nodeCount = 2 * leaves - 1;
  firstChild.assign(nodeCount, nodeCount);
  secondChild.assign(nodeCount, nodeCount);
  parent.assign(nodeCount, nodeCount);
  branchLength.assign(nodeCount, 0.0);
  nodeNames.assign(nodeCount, std::string());
  support.clear();
  // Empty until the layout is final, so that SwapNodes has no orders to rewrite.
  leafNodes.clear();
  bottomUpOrder.clear();
  innerNodes.clear();
  deepInnerNodes.clear();
}

bool PhylogeneticTree::ReadPhyl(std::FILE* file, const ReaderSettings& settings) {
  std::string line;
  bool tooLong = false;
  SkipByteOrderMark(file);
  const bool any = ReadLine(file, line, kMaxPhylLineLength, &tooLong);
  if (tooLong) return LineError(treeName, "has more than 2046 characters", 1);
  const std::vector<std::string_view> header = Tokenize(line);
  unsigned long long count = 0;
  if (!any || header.empty() || !ParseUnsigned(header[0], ~0ULL, &count)) {
    return TreeError(treeName, "has a malformed node count");
  }
  if (count < 3 || count % 2 == 0 || count > 2 * static_cast<std::uint64_t>(kMaxTreeLeaves) - 1) {
    return TreeError(treeName, "has a node count that is not an odd number of at least 3");
  }
  const std::uint32_t n = static_cast<std::uint32_t>(count);
  // Node lines, the blank line and edge header, then the edges. Holding the lines first means a
  // count far beyond the file's length fails here, before any array of that size exists.
  const std::size_t lineCount = 2 * static_cast<std::size_t>(n) + 1;
  std::vector<std::string> lines;
  while (lines.size() < lineCount) {
    if (!ReadLine(file, line, kMaxPhylLineLength, &tooLong)) {
      std::fprintf(stderr, "Error:VORN:ReadInput: the phylogenetic tree '%s' ends before line %u\n",
                   treeName.c_str(), static_cast<unsigned>(lines.size() + 2));
      return false;
    }
    if (tooLong) return LineError(treeName, "has more than 2046 characters", lines.size() + 2);
    lines.push_back(line);
  }

  Allocate((n + 1) / 2);
  std::vector<double> age(n, 0.0);
  std::uint32_t root = 0;
  if (!ReadPhylNodes(lines, &age) || !ReadPhylEdges(lines, age) || !FindSingleRoot(&root)) return false;
  SwapNodes(root, 0);
  MoveLeavesLast();
  FinishLayout();
  fileUnit = 1;
  unitSetting.clear();
  support.clear();
  return CheckTimeTree(false, settings);
}

// The node lines of a "phyl" file: ID, name and age of each node.
bool PhylogeneticTree::ReadPhylNodes(const std::vector<std::string>& lines, std::vector<double>* ages) {
  const std::uint32_t n = nodeCount;
  std::vector<double>& age = *ages;
  std::vector<char> seen(n, 0);
  for (std::uint32_t k = 0; k < n; ++k) {
    const std::size_t lineNumber = k + 2;
    const std::vector<std::string_view> tokens = Tokenize(lines[k]);
    unsigned long long id = 0;
    if (tokens.empty() || tokens[0].size() < 2 || tokens[0].back() != ':' ||
        !ParseUnsigned(tokens[0].substr(0, tokens[0].size() - 1), ~0ULL, &id)) {
      return LineError(treeName, "has a malformed node ID", lineNumber);
    }
    if (id < 1 || id > n) return LineError(treeName, "has a node ID out of range", lineNumber);
    const std::uint32_t v = static_cast<std::uint32_t>(id - 1);
    if (seen[v]) return LineError(treeName, "repeats a node ID", lineNumber);
    seen[v] = 1;
    std::size_t next = 1;
    if (!TakeName(tokens, next, nodeNames[v])) return LineError(treeName, "has an unterminated name", lineNumber);
    if (!CheckNodeName(treeName, nodeNames[v], lineNumber)) return false;
    if (next >= tokens.size() || !ParseDouble(tokens[next], &age[v])) {
      return LineError(treeName, "has a malformed age", lineNumber);
    }
    age[v] *= kMillionYears;
  }

  return true;
}

// The edge lines: parent and child IDs, each child below its parent in time.
bool PhylogeneticTree::ReadPhylEdges(const std::vector<std::string>& lines, const std::vector<double>& age) {
  const std::uint32_t n = nodeCount;
  for (std::uint32_t e = 0; e + 1 < n; ++e) {
    const std::size_t index = n + 2 + e;
    const std::size_t lineNumber = index + 2;
    const std::vector<std::string_view> tokens = Tokenize(lines[index]);
    unsigned long long from = 0, to = 0;
    if (tokens.size() < 3 || !ParseUnsigned(tokens[1], ~0ULL, &from) || !ParseUnsigned(tokens[2], ~0ULL, &to)) {
      return LineError(treeName, "has a malformed edge", lineNumber);
    }
    if (from < 1 || from > n || to < 1 || to > n) {
      return LineError(treeName, "has an edge with a node ID out of range", lineNumber);
    }
    const std::uint32_t p = static_cast<std::uint32_t>(from - 1), c = static_cast<std::uint32_t>(to - 1);
    if (parent[c] != n) return LineError(treeName, "gives a node two parents", lineNumber);
    if (secondChild[p] != n) return LineError(treeName, "gives a node more than two children", lineNumber);
    if (age[c] > age[p]) {
      std::fprintf(stderr,
                   "Error:VORN:ReadInput: the phylogenetic tree '%s' has a child older than its parent on line %u: "
                   "node '%s' (ID %u, %lg My) below node '%s' (ID %u, %lg My)\n",
                   treeName.c_str(), static_cast<unsigned>(lineNumber), nodeNames[c].c_str(),
                   static_cast<unsigned>(to), age[c] / kMillionYears, nodeNames[p].c_str(),
                   static_cast<unsigned>(from), age[p] / kMillionYears);
      return false;
    }
    parent[c] = p;
    (firstChild[p] == n ? firstChild[p] : secondChild[p]) = c;
    branchLength[c] = age[p] - age[c];
  }

  return true;
}

// Every inner node has two children and every node hangs below one root.
bool PhylogeneticTree::FindSingleRoot(std::uint32_t* top) {
  const std::uint32_t n = nodeCount;
  for (std::uint32_t v = 0; v < n; ++v) {
    if (firstChild[v] != n && secondChild[v] == n) {
      std::fprintf(stderr, "Error:VORN:ReadInput: the phylogenetic tree '%s' has a node with one child (ID %u)\n",
                   treeName.c_str(), static_cast<unsigned>(v + 1));
      return false;
    }
  }
  // N - 1 edges with distinct children leave exactly one node without a parent; the edges form
  // one tree exactly when every node hangs below it (a cycle is never reached from it).
  std::uint32_t& root = *top;
  root = 0;
  while (parent[root] != n) ++root;
  std::vector<std::uint32_t> reached{root};
  for (std::size_t i = 0; i < reached.size(); ++i) {
    const std::uint32_t v = reached[i];
    if (!IsLeaf(v)) {
      reached.push_back(firstChild[v]);
      reached.push_back(secondChild[v]);
    }
  }
  if (reached.size() != n) return TreeError(treeName, "is not a single tree");

  return true;
}

void PhylogeneticTree::LeafDepths(double* shallowest, double* deepest) const {
  // Parents before children: the depth of every node below the root.
  std::vector<double> depth(nodeCount, 0.0);
  *shallowest = leafCount > 0 ? HUGE_VAL : 0.0;
  *deepest = 0.0;
  for (std::uint32_t i = nodeCount - 1; i-- > 0;) {
    const std::uint32_t v = bottomUpOrder[i];
    depth[v] = depth[parent[v]] + branchLength[v];
    *deepest = std::max(*deepest, depth[v]);
    if (IsLeaf(v)) *shallowest = std::min(*shallowest, depth[v]);
  }
}

bool CheckNodeName(const std::string& treeName, const std::string& name, std::size_t line) {
  const char* fault = NameFault(name);
  if (!fault) return true;
  std::fprintf(stderr, "Error:VORN:ReadInput: the phylogenetic tree '%s' has a name that holds %s on line %u, '%s': "
               "a name must be one line of UTF-8 text without tabs, as every output keeps it\n",
               treeName.c_str(), fault, static_cast<unsigned>(line), EscapedName(name).c_str());
  return false;
}

bool PhylogeneticTree::CheckDepths() const {
  // Every output gives lengths and ages in millions of years, and the unfit picture in the
  // file's unit: a depth that either cannot hold would print as inf, and an axis over it has
  // no end.
  const double fileUnits = fileUnit > 0 ? 1000 / fileUnit : 1000;
  std::vector<double> depth(nodeCount, 0.0);
  for (std::uint32_t i = nodeCount - 1; i-- > 0;) {
    const std::uint32_t v = bottomUpOrder[i];
    depth[v] = depth[parent[v]] + branchLength[v];
    if (std::isfinite(depth[v] * 1000) && std::isfinite(depth[v] * fileUnits)) continue;
    std::fprintf(stderr, "Error:VORN:ReadInput: the phylogenetic tree '%s' puts node '%s' further below its root "
                 "than a number can hold in millions of years: are its lengths in another unit?\n",
                 treeName.c_str(), EscapedName(nodeNames[v]).c_str());
    return false;
  }
  return true;
}

bool PhylogeneticTree::CheckTimeTree(bool newick, const ReaderSettings& settings) const {
  if (!CheckDepths()) return false;
  // A leaf is a column of the data; two of one name make the report and the user's reading of
  // it ambiguous.
  std::unordered_map<std::string_view, std::uint32_t> leafByName;
  for (std::uint32_t v : leafNodes) {
    const auto inserted = leafByName.emplace(nodeNames[v], v);
    if (!inserted.second) {
      std::fprintf(stderr, "Error:VORN:ReadInput: the phylogenetic tree '%s' has two leaves named '%s'\n",
                   treeName.c_str(), nodeNames[v].c_str());
      return false;
    }
  }
  double shallowest = 0, span = 0;
  LeafDepths(&shallowest, &span);
  // A tree of substitutions per site, or a cladogram, reads as well as a time tree and fits as
  // well, but its rates are per unit of length and its "ages" are none: say so once.
  if (span > 0 && span - shallowest > settings.ultrametricTolerance * span) {
    const double inFileUnits = 1000 / fileUnit;
    Warn("tree-not-ultrametric", "ReadInput",
         "the phylogenetic tree '%s' is not ultrametric: its leaves end from %lg to %lg below the root, in the "
         "file's unit (a spread of %.3g %% of the root's depth, where the setting 'ultrametric tolerance' allows "
         "%lg %%): its branch lengths are not times, so the rates are per unit of branch length and the report's "
         "time span and the picture's ages are not ages",
         treeName.c_str(), shallowest * inFileUnits, span * inFileUnits, 100 * (span - shallowest) / span,
         100 * settings.ultrametricTolerance);
  }
  if (1000 * span > 4600) {
    if (!newick) {
      Warn("tree-older-than-earth", "ReadInput",
           "the phylogenetic tree '%s' spans %lg million years from the root to its leaves, more than the age of the "
           "Earth: ages in this form are read in millions of years; are they in another unit?",
           treeName.c_str(), 1000 * span);
    } else if (unitSetting.empty()) {
      Warn("tree-older-than-earth", "ReadInput",
           "the phylogenetic tree '%s' spans %lg million years from the root to its leaves, more than the age of the "
           "Earth: Newick branch lengths are read in units of 1000 million years; if they are in another unit, "
           "the setting 'tree unit' (My, 100My, Gy or millions of years per unit) says which",
           treeName.c_str(), 1000 * span);
    } else {
      Warn("tree-older-than-earth", "ReadInput",
           "the phylogenetic tree '%s' spans %lg million years from the root to its leaves, more than the age of the "
           "Earth: its branch lengths are read with 'tree unit: %s'; is that their unit?",
           treeName.c_str(), 1000 * span, unitSetting.c_str());
    }
  }
  return true;
}

void PhylogeneticTree::GenerateRandomTree(std::uint32_t leaves, double span) {
  MersenneTwister random = NextGenerator(RandomPurpose::kRandomTree);
  GenerateRandomTree(leaves, span, random);
}

void PhylogeneticTree::GenerateRandomTree(std::uint32_t leaves, double span, MersenneTwister& random) {
  assert(leaves >= 2 && span > 0);
  Allocate(leaves);
  fileUnit = 0;
  unitSetting.clear();
  const std::uint32_t n = nodeCount;
  leafNodes.assign(leaves, 0);
  for (std::uint32_t j = 0; j < leaves; ++j) leafNodes[j] = leaves - 1 + j;
  bottomUpOrder.assign(n, 0);
  std::vector<double> height(n, 0.0);
  // The active list keeps its order while nodes leave from anywhere and join at the end; slots
  // in a Fenwick tree of occupancy find the node at a list position in O(log L), so large trees
  // are made in O(L log L) with the same draws a plain list would use.
  ActiveList active(2 * leaves - 2);
  for (std::uint32_t leaf : leafNodes) active.Append(leaf);
  // Exponential waiting time of mean 1; the half keeps u = 0 away from ln 0.
  auto waitingTime = [&random]() { return -std::log((random.NextWord() + 0.5) * (1.0 / 4294967296.0)); };

  std::uint32_t next = leaves - 2;
  for (std::uint32_t k = 0; k + 2 < leaves; ++k) {
    const std::uint32_t last = active.size() - 1;
    const std::uint32_t i = random.NextUpTo(last);
    std::uint32_t j = random.NextUpTo(last);
    while (j == i) j = random.NextUpTo(last);
    const std::uint32_t slotI = active.SlotAt(i), slotJ = active.SlotAt(j);
    std::uint32_t a = active.NodeIn(slotI), b = active.NodeIn(slotJ);
    if (height[b] > height[a]) std::swap(a, b);
    bottomUpOrder[2 * k] = a;
    bottomUpOrder[2 * k + 1] = b;
    const double e = waitingTime();
    const std::uint32_t v = next--;
    firstChild[v] = a;
    secondChild[v] = b;
    parent[a] = parent[b] = v;
    branchLength[a] = e;
    height[v] = height[a] + e;
    branchLength[b] = height[v] - height[b];
    active.Remove(slotI);
    active.Remove(slotJ);
    active.Append(v);
  }

  std::uint32_t first = active.NodeIn(active.SlotAt(0)), second = active.NodeIn(active.SlotAt(1));
  if (height[second] > height[first]) std::swap(first, second);
  bottomUpOrder[n - 3] = first;
  bottomUpOrder[n - 2] = second;  // and the root, 0, last, as the order was filled
  firstChild[0] = first;
  secondChild[0] = second;
  parent[first] = parent[second] = 0;
  const double e = waitingTime();
  branchLength[first] = e;
  const double rootHeight = height[first] + e;
  branchLength[second] = rootHeight - height[second];

  const double scale = span / rootHeight;
  for (std::uint32_t v = 1; v < n; ++v) branchLength[v] *= scale;
  char name[32];
  for (std::uint32_t v = 0; v < n; ++v) {
    std::snprintf(name, sizeof name, "node #%u", v);
    nodeNames[v] = name;
  }
  DeriveInnerLists();
}

void PhylogeneticTree::WritePhyl(std::FILE* file) const {
  const int n = static_cast<int>(nodeCount);
  std::fprintf(file, "%d Nodes (ID name age):\n", n);
  for (int i = 1; i <= n; ++i) {
    std::fprintf(file, "%d: 'Node #%d' %.2f\n", i, i, 1000 * Age(static_cast<std::uint32_t>(i - 1)));
  }
  std::fprintf(file, "\nEdges (ID from to):\n");
  for (int i = 1; i < n; ++i) std::fprintf(file, "%d: %d %d\n", i, static_cast<int>(parent[i]) + 1, i + 1);
}

void PhylogeneticTree::SwapNodes(std::uint32_t a, std::uint32_t b) {
  if (a == b) return;
  auto exchange = [a, b](std::uint32_t& value) {
    if (value == a) {
      value = b;
    } else if (value == b) {
      value = a;
    }
  };
  // In a linked tree only the two nodes and their neighbours hold a or b as a link, so a swap
  // costs O(1) on the links and renumbering a large file stays linear. Each slot is rewritten
  // once: a second exchange would undo the first.
  const std::uint32_t slots[8] = {a, b, parent[a], parent[b], firstChild[a], secondChild[a], firstChild[b],
                                  secondChild[b]};
  for (int k = 0; k < 8; ++k) {
    const std::uint32_t s = slots[k];
    if (s >= nodeCount || std::find(slots, slots + k, s) != slots + k) continue;
    exchange(firstChild[s]);
    exchange(secondChild[s]);
    exchange(parent[s]);
  }
  for (std::vector<std::uint32_t>* order : {&leafNodes, &bottomUpOrder, &innerNodes, &deepInnerNodes}) {
    for (std::uint32_t& v : *order) exchange(v);
  }
  std::swap(firstChild[a], firstChild[b]);
  std::swap(secondChild[a], secondChild[b]);
  std::swap(parent[a], parent[b]);
  std::swap(branchLength[a], branchLength[b]);
  std::swap(nodeNames[a], nodeNames[b]);
  if (!support.empty()) std::swap(support[a], support[b]);
}

void PhylogeneticTree::MoveLeavesLast() {
  // Each internal slot above L - 2 trades with the nearest leaf below it. The slots between that
  // leaf and the internal node are internal, so the search resumes where it stopped.
  std::uint32_t leafBelow = nodeCount - 1;
  for (std::uint32_t i = nodeCount; i-- > leafCount - 1;) {
    if (IsLeaf(i)) continue;
    if (leafBelow > i) leafBelow = i;
    do {
      assert(leafBelow > 0);
      --leafBelow;
    } while (!IsLeaf(leafBelow));
    SwapNodes(leafBelow, i);
  }
}

void PhylogeneticTree::FinishLayout() {
  const std::uint32_t n = nodeCount;
  leafNodes.assign(leafCount, 0);
  for (std::uint32_t j = 0; j < leafCount; ++j) leafNodes[j] = leafCount - 1 + j;
  // Breadth first from the root, written from the end downwards, so that each pair of siblings
  // shares an even and the following odd entry and every node stands after its children.
  bottomUpOrder.assign(n, 0);  // the root, 0, last
  bottomUpOrder[n - 2] = firstChild[0];
  bottomUpOrder[n - 3] = secondChild[0];
  std::uint32_t filled = n - 3;  // lowest entry written so far; the queue runs from head down to it
  for (std::uint32_t head = n - 2;; --head) {
    const std::uint32_t v = bottomUpOrder[head];
    if (!IsLeaf(v)) {
      bottomUpOrder[--filled] = firstChild[v];
      bottomUpOrder[--filled] = secondChild[v];
    }
    if (head == filled) break;
  }
  assert(filled == 0);
  DeriveInnerLists();
}

void PhylogeneticTree::DeriveInnerLists() {
  // Entries 0 and 1 are always two leaves and entry N - 1 is the root, so neither walk needs them.
  innerNodes.clear();
  for (std::uint32_t k = 2; k + 1 < nodeCount; ++k) {
    if (!IsLeaf(bottomUpOrder[k])) innerNodes.push_back(bottomUpOrder[k]);
  }
  deepInnerNodes.clear();
  for (auto v = innerNodes.rbegin(); v != innerNodes.rend(); ++v) {
    if (parent[*v] != 0) deepInnerNodes.push_back(*v);
  }
}

}  // namespace vorn
