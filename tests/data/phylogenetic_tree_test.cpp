#include "data/phylogenetic_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "numerics/run_seed.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::ReadText;
using testing_support::StreamOf;
using testing_support::TestData;
using Nodes = std::vector<std::uint32_t>;

bool ReadPhylText(PhylogeneticTree& tree, const std::string& text) {
  tree.treeName = "t.phyl";
  FilePtr file = StreamOf(text);
  return tree.ReadPhyl(file.get());
}

std::string WrittenPhyl(const PhylogeneticTree& tree) {
  FilePtr file(std::tmpfile());
  tree.WritePhyl(file.get());
  return testing_support::Contents(file.get());
}

bool ReadNewickText(PhylogeneticTree& tree, const std::string& text) {
  tree.treeName = "t.nwk";
  FilePtr file = StreamOf(text);
  return tree.ReadNewick(file.get());
}

// Root 0, leaves last, links that agree both ways, and the three orders keeping their promises.
void ExpectValidTree(const PhylogeneticTree& tree) {
  const std::uint32_t n = tree.nodeCount, l = tree.leafCount;
  ASSERT_EQ(n, 2 * l - 1);
  ASSERT_EQ(tree.bottomUpOrder.size(), n);
  ASSERT_EQ(tree.leafNodes.size(), l);
  EXPECT_EQ(tree.parent[0], n);
  EXPECT_EQ(tree.bottomUpOrder[n - 1], 0U);
  for (std::uint32_t j = 0; j < l; ++j) EXPECT_EQ(tree.leafNodes[j], l - 1 + j);
  std::vector<std::size_t> at(n, n);  // position in bottomUpOrder
  for (std::size_t k = 0; k < n; ++k) at[tree.bottomUpOrder[k]] = k;
  for (std::size_t k = 0; k + 1 < l; ++k) {
    EXPECT_EQ(tree.parent[tree.bottomUpOrder[2 * k]], tree.parent[tree.bottomUpOrder[2 * k + 1]]) << "pair " << k;
  }
  Nodes inner, deep;
  for (std::uint32_t v = 0; v < n; ++v) {
    ASSERT_LT(at[v], n) << "node " << v << " missing from bottomUpOrder";
    ASSERT_EQ(tree.IsLeaf(v), v + 1 >= l) << v;
    if (tree.IsLeaf(v)) continue;
    for (std::uint32_t child : {tree.firstChild[v], tree.secondChild[v]}) {
      EXPECT_EQ(tree.parent[child], v);
      EXPECT_LT(at[child], at[v]);
    }
    if (v > 0) inner.push_back(v);
    if (v > 0 && tree.parent[v] != 0) deep.push_back(v);
  }
  // Each list holds its nodes and no other, children before parents or parents before children.
  auto checkList = [&tree](const Nodes& list, Nodes expected, bool childrenFirst) {
    Nodes sorted = list;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, expected);
    for (std::size_t i = 0; i < list.size(); ++i) {
      const std::size_t parentAt = std::find(list.begin(), list.end(), tree.parent[list[i]]) - list.begin();
      EXPECT_TRUE(parentAt == list.size() || (i < parentAt) == childrenFirst) << list[i];
    }
  };
  checkList(tree.innerNodes, inner, true);
  checkList(tree.deepInnerNodes, deep, false);
}

// Every clade below the root as its set of leaf names, with the length of the branch above it.
std::map<std::set<std::string>, double> Clades(const PhylogeneticTree& tree) {
  std::vector<std::set<std::string>> below(tree.nodeCount);
  std::map<std::set<std::string>, double> clades;
  for (std::uint32_t v : tree.bottomUpOrder) {
    if (tree.IsLeaf(v)) {
      below[v].insert(tree.nodeNames[v]);
    } else {
      below[v] = below[tree.firstChild[v]];
      below[v].insert(below[tree.secondChild[v]].begin(), below[tree.secondChild[v]].end());
    }
    if (tree.parent[v] != tree.nodeCount) clades[below[v]] = tree.branchLength[v];
  }
  return clades;
}

// Root 'R' is ID 4, and leaves hold IDs 1, 2, 5 and 7. Ages in millions of years; D is not at 0.
const char kScrambledPhyl[] =
    "7 Nodes (ID name age):\n1: 'A' 0\n2: 'B' 0\n3: 'X' 2\n4: 'R' 5\n5: 'C' 0\n6: 'Y' 3\n7: 'D' 1\n\n"
    "Edges (ID from to):\n1: 4 3\n2: 3 1\n3: 3 2\n4: 4 6\n5: 6 7\n6: 6 5\n";

TEST(PhylogeneticTreeTest, ReadPhylMovesRootFirstAndLeavesLast) {
  // By hand: slots start as ID - 1 = A B X R C Y D. The root swaps with slot 0: R B X A C Y D.
  // Y in slot 5 trades with the leaf C in slot 4 (R B X A Y C D), then with A in slot 3
  // (R B X Y A C D), then, X being internal, with B in slot 1: R Y X B A C D.
  // Breadth first from R (children X, Y): entries 6, 5, 4 = R, X, Y; then X's A, B at 3, 2;
  // then Y's D, C at 1, 0.
  PhylogeneticTree tree;
  ASSERT_TRUE(ReadPhylText(tree, kScrambledPhyl));
  ExpectValidTree(tree);
  EXPECT_EQ(tree.nodeNames, (std::vector<std::string>{"R", "Y", "X", "B", "A", "C", "D"}));
  EXPECT_EQ(tree.parent, (Nodes{7, 0, 0, 2, 2, 1, 1}));
  EXPECT_EQ(tree.firstChild, (Nodes{2, 6, 4, 7, 7, 7, 7}));
  EXPECT_EQ(tree.secondChild, (Nodes{1, 5, 3, 7, 7, 7, 7}));
  EXPECT_EQ(tree.bottomUpOrder, (Nodes{5, 6, 3, 4, 1, 2, 0}));
  EXPECT_EQ(tree.innerNodes, (Nodes{1, 2}));
  EXPECT_EQ(tree.deepInnerNodes, Nodes{});
  const double expected[] = {0.002, 0.003, 0.002, 0.002, 0.003, 0.002};  // age differences in My / 1000
  for (std::uint32_t v = 1; v < 7; ++v) EXPECT_NEAR(tree.branchLength[v], expected[v - 1], 1e-15) << v;
  // Ages follow first children: Y's first child D sits at 1 My, so Y is written as 2, not 3.
  EXPECT_EQ(WrittenPhyl(tree),
            "7 Nodes (ID name age):\n1: 'Node #1' 5.00\n2: 'Node #2' 2.00\n3: 'Node #3' 2.00\n"
            "4: 'Node #4' 0.00\n5: 'Node #5' 0.00\n6: 'Node #6' 0.00\n7: 'Node #7' 0.00\n"
            "\nEdges (ID from to):\n1: 1 2\n2: 1 3\n3: 3 4\n4: 3 5\n5: 2 6\n6: 2 7\n");
}

TEST(PhylogeneticTreeTest, ReadPhylKeysNodeLinesByIdAndKeepsWholeNames) {
  const std::string longName(300, 'n');
  const std::string inOrder =
      "5 Nodes (ID name age):\n1: 'root' 3\n2: 'inner node' 1\n3: 'first, leaf' 0\n4: '" + longName +
      "' 0\n5: c 0\n\nEdges (ID from to):\n1: 1 2\n2: 1 3\n3: 2 4\n4: 2 5\n";
  const std::string shuffled =
      "5 Nodes (ID name age):\r\n4:\t'" + longName +
      "' 0\r\n2: 'inner  node' 1\r\n5: c 0\r\n1: 'root' 3\r\n3: 'first, leaf' 0.0\r\n\r\n"
      "Edges (ID from to):\r\n1: 1 2\r\n2: 1 3\r\n3: 2 4\r\n4: 2 5\r\n";
  PhylogeneticTree a, b;
  ASSERT_TRUE(ReadPhylText(a, inOrder));
  ASSERT_TRUE(ReadPhylText(b, shuffled));
  ExpectValidTree(b);
  EXPECT_EQ(a.nodeNames, (std::vector<std::string>{"root", "inner node", "first leaf", longName, "c"}));
  EXPECT_EQ(b.nodeNames, a.nodeNames);
  EXPECT_EQ(WrittenPhyl(b), WrittenPhyl(a));  // the same links and ages
}

TEST(PhylogeneticTreeTest, RandomTreeFollowsItsDraws) {
  // MT19937 seeded with 5489 gives 3499211612, 581869302, 3890346734, 3586334585. With three
  // leaves (nodes 2, 3, 4): positions 3499211612 & 3 = 0 and 581869302 & 3 = 2 merge nodes 2
  // and 4 (equal heights: the first drawn is the first child) into node 1 with E1 from the third
  // word; the active list is then (3, 1) and node 1, the taller, becomes the root's first child
  // with E2 from the fourth word. E = -ln((u + 0.5) / 2^32), evaluated separately.
  const double e1 = 0.09894565248085212, e2 = 0.18031326687868807;
  MersenneTwister random;
  random.Initialize(5489);
  random.Reload();
  PhylogeneticTree tree;
  tree.GenerateRandomTree(3, 0.5, random);
  ExpectValidTree(tree);
  EXPECT_EQ(tree.firstChild, (Nodes{1, 2, 5, 5, 5}));
  EXPECT_EQ(tree.secondChild, (Nodes{3, 4, 5, 5, 5}));
  EXPECT_EQ(tree.bottomUpOrder, (Nodes{2, 4, 1, 3, 0}));
  EXPECT_EQ(tree.innerNodes, (Nodes{1}));
  const double scale = 0.5 / (e1 + e2);
  const double expected[] = {e2 * scale, e1 * scale, 0.5, e1 * scale};  // a few roundings of values below 1
  for (std::uint32_t v = 1; v < 5; ++v) EXPECT_NEAR(tree.branchLength[v], expected[v - 1], 1e-15) << v;
  EXPECT_EQ(tree.nodeNames, (std::vector<std::string>{"node #0", "node #1", "node #2", "node #3", "node #4"}));
}

TEST(PhylogeneticTreeTest, RandomTreeMergesTheNodesAPlainListWouldPick) {
  // The same draws replayed on a plain vector with erase, the obvious form of the active list.
  const std::uint32_t leaves = 300;
  SetRunSeed(77);
  PhylogeneticTree tree;
  tree.GenerateRandomTree(leaves, 1.0);
  MersenneTwister random = DerivedGenerator(RandomPurpose::kRandomTree, 0);
  std::vector<std::uint32_t> active;
  for (std::uint32_t j = 0; j < leaves; ++j) active.push_back(leaves - 1 + j);
  std::uint32_t next = leaves - 2;
  for (std::uint32_t k = 0; k + 2 < leaves; ++k) {
    const std::uint32_t last = static_cast<std::uint32_t>(active.size() - 1);
    const std::uint32_t i = random.NextUpTo(last);
    std::uint32_t j = random.NextUpTo(last);
    while (j == i) j = random.NextUpTo(last);
    random.NextWord();  // the waiting time
    const std::uint32_t v = next--;
    const std::uint32_t a = active[i], b = active[j];
    ASSERT_EQ(tree.parent[a], v) << k;
    ASSERT_EQ(tree.parent[b], v) << k;
    active.erase(active.begin() + std::max(i, j));
    active.erase(active.begin() + std::min(i, j));
    active.push_back(v);
  }
  EXPECT_EQ(tree.parent[active[0]], 0U);
  EXPECT_EQ(tree.parent[active[1]], 0U);
}

TEST(PhylogeneticTreeTest, RandomTreesSpanTheRequestedTimeAndSurviveWritePhyl) {
  SetRunSeed(20261206);
  for (const auto& [leaves, span] : {std::pair(2U, 1.0), {3U, 0.25}, {4U, 2.0}, {7U, 0.1327}, {60U, 1.0}}) {
    SCOPED_TRACE(leaves);
    PhylogeneticTree tree;
    tree.GenerateRandomTree(leaves, span);
    ExpectValidTree(tree);
    EXPECT_NEAR(tree.Age(0), span, 1e-12 * span);  // rescaled sums of up to 60 terms
    for (std::uint32_t v = 1; v < tree.nodeCount; ++v) EXPECT_GT(tree.branchLength[v], 0.0) << v;
    PhylogeneticTree back;
    ASSERT_TRUE(ReadPhylText(back, WrittenPhyl(tree)));
    EXPECT_EQ(back.parent, tree.parent);
    for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
      // Two ages, each rounded to 0.005 My = 5e-6 internal units.
      EXPECT_NEAR(back.branchLength[v], tree.branchLength[v], 1e-5 + 1e-12) << v;
    }
  }
}

TEST(PhylogeneticTreeTest, ReadNewickNumbersLeavesRightFirstAndPairsAsTheyClose) {
  const struct {
    const char* text;
    Nodes firstChild, secondChild, parent, bottomUpOrder, deepInnerNodes;
    std::vector<std::string> names;
    std::vector<double> lengths;
  } cases[] = {
      // (A,B) closes first: B = 6, A = 5, pair = 2 (Ancestor_1); (C,D): D = 4, C = 3, pair = 1.
      {"((A:1,B:2):3,(C:4,D:5):6);", {2, 3, 5, 7, 7, 7, 7}, {1, 4, 6, 7, 7, 7, 7}, {7, 0, 0, 1, 1, 2, 2},
       {4, 3, 6, 5, 1, 2, 0}, {}, {"Ancestor_3", "Ancestor_2", "Ancestor_1", "C", "D", "A", "B"}, {0, 6, 3, 4, 5, 1, 2}},
      // (A,B): B = 6, A = 5, pair 2; then C = 4 with pair 1; then D = 3 with the root.
      {"(((A:1,B:1):1,C:2):1,D:3);", {1, 2, 5, 7, 7, 7, 7}, {3, 4, 6, 7, 7, 7, 7}, {7, 0, 1, 0, 1, 2, 2},
       {6, 5, 4, 2, 3, 1, 0}, {2}, {"Ancestor_3", "Ancestor_2", "Ancestor_1", "D", "C", "A", "B"}, {0, 1, 1, 3, 2, 1, 1}},
      // The first form laid out freely, some names left out, the root's length ignored. Unnamed
      // nodes are counted as they are numbered: B (right) before the unnamed leaf left of it,
      // Leaf_1; then the unnamed right leaf, Leaf_2, before C.
      {" (\n ( :1 , B:2 ) inner : 3 ,\r\n\t(C : 4, :0.5):6\n) top:99 ;\n\n", {2, 3, 5, 7, 7, 7, 7},
       {1, 4, 6, 7, 7, 7, 7}, {7, 0, 0, 1, 1, 2, 2}, {4, 3, 6, 5, 1, 2, 0}, {},
       {"top", "Ancestor_1", "inner", "C", "Leaf_2", "Leaf_1", "B"}, {0, 6, 3, 4, 0.5, 1, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    PhylogeneticTree tree;
    ASSERT_TRUE(ReadNewickText(tree, c.text));
    ExpectValidTree(tree);
    EXPECT_EQ(tree.firstChild, c.firstChild);
    EXPECT_EQ(tree.secondChild, c.secondChild);
    EXPECT_EQ(tree.parent, c.parent);
    EXPECT_EQ(tree.bottomUpOrder, c.bottomUpOrder);
    EXPECT_EQ(tree.deepInnerNodes, c.deepInnerNodes);
    EXPECT_EQ(tree.nodeNames, c.names);
    EXPECT_EQ(tree.branchLength, c.lengths);
  }
}

TEST(PhylogeneticTreeTest, NewickAndPhylFormsOfTheMammalTreeAgree) {
  PhylogeneticTree phyl, newick;
  ASSERT_TRUE(ReadPhylText(phyl, ReadText(TestData("data/mammals12.phyl"))));
  ASSERT_TRUE(ReadNewickText(newick, ReadText(TestData("data/mammals12.nwk"))));
  ExpectValidTree(phyl);
  ExpectValidTree(newick);

  const auto phylClades = Clades(phyl), newickClades = Clades(newick);
  ASSERT_EQ(phylClades.size(), newickClades.size());
  for (const auto& [clade, length] : phylClades) {
    const auto found = newickClades.find(clade);
    ASSERT_NE(found, newickClades.end()) << *clade.begin();
    EXPECT_NEAR(found->second, length, 1e-8) << *clade.begin();  // ages carry 6 decimals of My
  }

  // Each leaf's pattern column in both forms, as listed beside the data.
  std::istringstream table(ReadText(TestData("data/mammals12.leaves.tsv")));
  std::string line, name;
  std::getline(table, line);
  int rows = 0;
  for (std::uint32_t position, phylId, newickPosition; table >> position >> name >> phylId >> newickPosition; ++rows) {
    SCOPED_TRACE(name);
    EXPECT_EQ(phyl.nodeNames[phyl.leafNodes[position]], name);
    EXPECT_EQ(phyl.nodeNames[phylId - 1], name);
    EXPECT_EQ(newick.nodeNames[newick.leafNodes[newickPosition]], name);
  }
  EXPECT_EQ(rows, 12);
}


TEST(PhylogeneticTreeTest, MalformedFilesAreRefusedWithTheirFault) {
  std::vector<std::vector<std::string>> cases = testing_support::CaseTable("phyl_errors.txt");
  cases.push_back({"3 Nodes (ID name age):\n1: 'root' 2\n2: " + std::string(2100, 'a') + " 0\n3: 'b' 0\n\nEdges (ID from to):\n"
                   "1: 1 2\n2: 1 3\n", "has more than 2046 characters on line 3"});
  for (const std::vector<std::string>& c : testing_support::CaseTable("newick_errors.txt")) cases.push_back({c[0], c[1], "t.nwk"});
  for (const std::vector<std::string>& c : cases) {
    SCOPED_TRACE(c[0]);
    PhylogeneticTree tree;
    const bool newick = c.size() > 2;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(newick ? ReadNewickText(tree, c[0]) : ReadPhylText(tree, c[0]));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error:VORN:ReadInput: the phylogenetic tree '" + (newick ? c[2] : "t.phyl") + "' " + c[1] + "\n");
  }
}

TEST(PhylogeneticTreeTest, SpansBeyondTheAgeOfTheEarthAreQuestioned) {
  for (const std::vector<std::string>& c : testing_support::CaseTable("tree_spans.txt")) {
    SCOPED_TRACE(c[1]);
    PhylogeneticTree tree;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(c[0] == "t.nwk" ? ReadNewickText(tree, c[1]) : ReadPhylText(tree, c[1]));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c[2] == "-" ? "" : "Warning:VORN:ReadInput: " + c[2] + "\n");
  }
}

}  // namespace
}  // namespace vorn
