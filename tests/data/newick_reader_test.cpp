// The Newick reader on what the tools of the field write: comments, quoted labels, support values,
// NEXUS trees blocks, other units of length, and trees that are not time trees.
#include <gtest/gtest.h>

#include <algorithm>

#include "data/phylogenetic_tree.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::StreamOf;

struct Read {
  bool ok;
  std::string errors;
};

Read ReadNewick(PhylogeneticTree& tree, const std::string& text, const ReaderSettings& settings = ReaderSettings()) {
  tree.treeName = "t.nwk";
  FilePtr file = StreamOf(text);
  testing::internal::CaptureStderr();
  const bool ok = tree.ReadNewick(file.get(), settings);
  return {ok, testing::internal::GetCapturedStderr()};
}

TEST(NewickReaderTest, CommentsQuotesAndSupportValues) {
  const struct {
    const char* what;
    const char* text;
    InternalLabels labels;
    std::vector<std::string> names, support;  // support empty: the tree has none
    std::vector<double> lengths;
  } cases[] = {
      // (A,B) closes first: B = 4, A = 3, the pair 1; then C = 2 and the root 0.
      {"comments anywhere, the rooted flag first", "[&R] ((A[&a=1]:1[&b={1,2}],B:[x]1)[c]:3,C:4[&95%HPD={0.9,1.5}])"
       "[&present=3];", InternalLabels::kAuto, {"Ancestor_2", "Ancestor_1", "C", "A", "B"}, {}, {0, 3, 4, 1, 1}},
      {"quoted labels", "(('Vitis vinifera':1,'O''Brien' :1)'inner, node':1,'C:1':2);", InternalLabels::kAuto,
       {"Ancestor_1", "inner, node", "C:1", "Vitis vinifera", "O'Brien"}, {}, {0, 1, 2, 1, 1}},
      {"bootstrap and posterior values", "((A:1,B:1)95:1,(C:1,D:1)0.65297:1)100;", InternalLabels::kAuto,
       {"100", "Ancestor_2", "Ancestor_1", "C", "D", "A", "B"}, {"", "0.65297", "95", "", "", "", ""},
       {0, 1, 1, 1, 1, 1, 1}},
      {"two support values", "((A:1,B:1)95.3/100:1,C:2);", InternalLabels::kAuto,
       {"Ancestor_2", "Ancestor_1", "C", "A", "B"}, {"", "95.3/100", "", "", ""}, {0, 1, 2, 1, 1}},
      {"numbers as names", "((A:1,B:1)95:1,C:2);", InternalLabels::kNames, {"Ancestor_1", "95", "C", "A", "B"}, {},
       {0, 1, 2, 1, 1}},
      {"a quoted number is a name", "((A:1,B:1)'95':1,C:2);", InternalLabels::kAuto,
       {"Ancestor_1", "95", "C", "A", "B"}, {}, {0, 1, 2, 1, 1}},
      {"numbers beside vorn's own comments are names",
       "((A:1[&phi=0.1,xi=0.2],B:1[&phi=0.1,xi=0.2])29:1[&gains=1,phi=0.1,xi=0.2],C:2[&phi=0.1,xi=0.2])30;",
       InternalLabels::kAuto, {"30", "29", "C", "A", "B"}, {}, {0, 1, 2, 1, 1}},
      {"unless support is asked for", "((A:1,B:1)29:1[&phi=0.1,xi=0.2],C:2)30;", InternalLabels::kSupport,
       {"30", "Ancestor_1", "C", "A", "B"}, {"", "29", "", "", ""}, {0, 1, 2, 1, 1}},
      {"vorn's own support values", "((A:1,B:1)Ancestor_1:1[&support=95,phi=0.1,xi=0.2],C:2)Ancestor_2;",
       InternalLabels::kAuto, {"Ancestor_2", "Ancestor_1", "C", "A", "B"}, {"", "95", "", "", ""}, {0, 1, 2, 1, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PhylogeneticTree tree;
    ReaderSettings settings;
    settings.internalLabels = c.labels;
    const Read r = ReadNewick(tree, c.text, settings);
    ASSERT_TRUE(r.ok) << r.errors;
    EXPECT_EQ(r.errors, "");
    EXPECT_EQ(tree.nodeNames, c.names);
    EXPECT_EQ(tree.support, c.support);
    EXPECT_EQ(tree.branchLength, c.lengths);
  }
}

// As BEAST and FigTree write them: a taxa block, a translate table, comments, more trees.
const char kBeastNexus[] =
    "#NEXUS\n[written by hand]\nBegin taxa;\n  Dimensions ntax=3;\n  Taxlabels A 'B b' C;\nEnd;\n\n"
    "Begin trees;\n  Translate\n    1 A,\n    2 'B b',\n    3 C\n  ;\n"
    "  tree STATE_0 [&lnP=-10.5] = [&R] ((1:1.5[&rate=1],2:1.5):0.5,3:2);\n"
    "  tree STATE_1 = [&R] ((1:1,3:1):1,2:2);\nEnd;\n\nbegin figtree;\n  set appearance.font=1;\nend;\n";

TEST(NewickReaderTest, NexusTreesWithTheirTranslateTable) {
  PhylogeneticTree first, named;
  Read r = ReadNewick(first, kBeastNexus);
  ASSERT_TRUE(r.ok) << r.errors;
  EXPECT_EQ(first.nodeNames, (std::vector<std::string>{"Ancestor_2", "Ancestor_1", "C", "A", "B b"}));
  EXPECT_EQ(first.branchLength, (std::vector<double>{0, 0.5, 2, 1.5, 1.5}));
  ReaderSettings settings;
  settings.treeName = "state_1";  // NEXUS names compare without regard to case
  r = ReadNewick(named, kBeastNexus, settings);
  ASSERT_TRUE(r.ok) << r.errors;
  EXPECT_EQ(named.nodeNames, (std::vector<std::string>{"Ancestor_2", "Ancestor_1", "B b", "A", "C"}));
  EXPECT_EQ(named.branchLength, (std::vector<double>{0, 1, 2, 1, 1}));

  settings.treeName = "STATE_9";
  r = ReadNewick(named, kBeastNexus, settings);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.errors, "Error:VORN:ReadInput: the phylogenetic tree 't.nwk' has no tree named 'STATE_9' (the setting "
                      "'tree name'); its trees are 'STATE_0', 'STATE_1'\n");
  r = ReadNewick(named, "((A:1,B:1):1,C:2);", settings);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.errors, "Error:VORN:ReadInput: the phylogenetic tree 't.nwk' is a Newick file of one tree; the setting "
                      "'tree name: STATE_9' picks a tree of a NEXUS file\n");
}

TEST(NewickReaderTest, UnitsOfLengthAreTurnedIntoThousandsOfMillionsOfYears) {
  // As MCMCTree writes its FigTree.tre: UTREE, blanks after the colons, intervals as comments,
  // lengths in units of 100 million years. Root 1.22 units: 122 million years.
  const char mcmctree[] =
      "#NEXUS\nBEGIN TREES;\n\n\tUTREE 1 = ((Hsap: 0.5, Ptro: 0.5) [&95%={0.4, 0.6}]: 0.72, Ggor: 1.22) "
      "[&95%={1.1, 1.3}];\n\nEND;\n";
  const struct {
    const char* unit;
    double millionYears;
  } units[] = {{"100My", 100}, {"My", 1}, {"Gy", 1000}, {"2.5", 2.5}};
  for (const auto& u : units) {
    SCOPED_TRACE(u.unit);
    ReaderSettings settings;
    settings.treeUnit = u.unit;
    settings.millionYearsPerUnit = u.millionYears;
    PhylogeneticTree tree;
    const Read r = ReadNewick(tree, mcmctree, settings);
    ASSERT_TRUE(r.ok) << r.errors;
    EXPECT_EQ(r.errors, "");
    EXPECT_NEAR(1000 * tree.Age(0), 1.22 * u.millionYears, 1e-12 * u.millionYears);  // a sum of two products
    EXPECT_EQ(tree.fileUnit, u.millionYears);
    EXPECT_EQ(tree.unitSetting, u.unit);
  }
  PhylogeneticTree plain;
  ASSERT_TRUE(ReadNewick(plain, mcmctree).ok);
  EXPECT_DOUBLE_EQ(plain.Age(0), 1.22);  // 0.72 + 0.5
  EXPECT_EQ(plain.fileUnit, 1000);
}

TEST(NewickReaderTest, TreesThatAreNotTimeTreesAreSaidToBeSo) {
  const struct {
    const char* text;
    double tolerance;
    const char* warnings;
  } cases[] = {
      // Substitutions per site, as OrthoFinder's species tree: leaves at 0.12 to 0.73.
      {"((A:0.1,B:0.71):0.02,C:0.5);", 0.01,
       "Warning:VORN:ReadInput: the phylogenetic tree 't.nwk' is not ultrametric: its leaves end from 0.12 to 0.73 "
       "below the root, in the file's unit (a spread of 83.6 % of the root's depth, where the setting 'ultrametric "
       "tolerance' allows 1 %): its branch lengths are not times, so the rates are per unit of branch length and the "
       "report's time span and the picture's ages are not ages\n"},
      // Within 1 % of the root's depth, or of what the tolerance allows.
      {"((A:0.5,B:0.5):0.5,C:0.995);", 0.01, ""},
      {"((A:0.5,B:0.5):0.5,C:0.985);", 0.02, ""},
      {"((A:0.5,B:0.5):0.5,C:0.985);", 0.01,
       "Warning:VORN:ReadInput: the phylogenetic tree 't.nwk' is not ultrametric: its leaves end from 0.985 to 1 "
       "below the root, in the file's unit (a spread of 1.5 % of the root's depth, where the setting 'ultrametric "
       "tolerance' allows 1 %): its branch lengths are not times, so the rates are per unit of branch length and the "
       "report's time span and the picture's ages are not ages\n"},
      // A cladogram: every length 1, and deeper than the Earth is old.
      {"(((((A:1,B:1):1,C:1):1,D:1):1,E:1):1,F:1);", 0.01,
       "Warning:VORN:ReadInput: the phylogenetic tree 't.nwk' is not ultrametric: its leaves end from 1 to 5 below "
       "the root, in the file's unit (a spread of 80 % of the root's depth, where the setting 'ultrametric "
       "tolerance' allows 1 %): its branch lengths are not times, so the rates are per unit of branch length and the "
       "report's time span and the picture's ages are not ages\n"
       "Warning:VORN:ReadInput: the phylogenetic tree 't.nwk' spans 5000 million years from the root to its leaves, "
       "more than the age of the Earth: Newick branch lengths are read in units of 1000 million years; if they are "
       "in another unit, the setting 'tree unit' (My, 100My, Gy or millions of years per unit) says which\n"},
      {"[&U]((A:1,B:1):1,C:2);", 0.01,
       "Warning:VORN:ReadInput: the phylogenetic tree 't.nwk' is marked unrooted ([&U]); it is read as rooted where "
       "its text puts the root, between the subtrees of 'A' and 'C'\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ReaderSettings settings;
    settings.ultrametricTolerance = c.tolerance;
    PhylogeneticTree tree;
    const Read r = ReadNewick(tree, c.text, settings);
    ASSERT_TRUE(r.ok) << r.errors;
    EXPECT_EQ(r.errors, c.warnings);
  }
  // The age warning of a tree read in a unit of its own names that unit.
  ReaderSettings settings;
  settings.treeUnit = "Gy";
  PhylogeneticTree tree;
  const Read r = ReadNewick(tree, "(A:5,B:5);", settings);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.errors, "Warning:VORN:ReadInput: the phylogenetic tree 't.nwk' spans 5000 million years from the root "
                      "to its leaves, more than the age of the Earth: its branch lengths are read with 'tree unit: "
                      "Gy'; is that their unit?\n");
}

TEST(NewickReaderTest, PruningJoinsTheBranchesAboveARemovedLeaf) {
  // Each case: the tree, the leaves removed (by name), the tree written by hand without them.
  const struct {
    const char* tree;
    std::vector<std::string> removed;
    const char* byHand;
  } cases[] = {
      {"((A:0.5,B:0.5)AB:0.25,(C:0.375,(D:0.25,E:0.25)DE:0.125)CDE:0.375)R;", {"D"},
       "((A:0.5,B:0.5)AB:0.25,(C:0.375,E:0.375)CDE:0.375)R;"},
      {"((A:0.5,B:0.5)AB:0.25,(C:0.375,(D:0.25,E:0.25)DE:0.125)CDE:0.375)R;", {"A", "C"},
       "(B:0.75,(D:0.25,E:0.25)DE:0.5)R;"},
      // The root's other side gone: AB becomes the root, and its branch goes with the old root.
      {"((A:0.5,B:0.5)AB:0.25,(C:0.375,(D:0.25,E:0.25)DE:0.125)CDE:0.375)R;", {"C", "D", "E"}, "(A:0.5,B:0.5)AB;"},
      {"(((A:1,B:1)x:1,C:2)y:1,D:3)z;", {"B"}, "((A:2,C:2)y:1,D:3)z;"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tree);
    PhylogeneticTree tree, expected;
    ASSERT_TRUE(ReadNewick(tree, c.tree).ok);
    ASSERT_TRUE(ReadNewick(expected, c.byHand).ok);
    std::vector<std::uint8_t> removed(tree.leafCount, 0);
    for (std::uint32_t j = 0; j < tree.leafCount; ++j) {
      const std::string& name = tree.nodeNames[tree.leafNodes[j]];
      removed[j] = std::find(c.removed.begin(), c.removed.end(), name) != c.removed.end();
    }
    ASSERT_TRUE(tree.PruneLeaves(removed));
    EXPECT_EQ(tree.nodeNames, expected.nodeNames);
    EXPECT_EQ(tree.parent, expected.parent);
    EXPECT_EQ(tree.firstChild, expected.firstChild);
    EXPECT_EQ(tree.secondChild, expected.secondChild);
    EXPECT_EQ(tree.bottomUpOrder, expected.bottomUpOrder);
    EXPECT_EQ(tree.innerNodes, expected.innerNodes);
    EXPECT_EQ(tree.deepInnerNodes, expected.deepInnerNodes);
    EXPECT_EQ(tree.branchLength, expected.branchLength);  // sums of binary fractions: exact
  }
  // Inner nodes keep the names they had in the whole tree, also those the reader gave them.
  PhylogeneticTree tree;
  ASSERT_TRUE(ReadNewick(tree, "(((A:1,B:1):1,C:2):1,D:3);").ok);
  ASSERT_TRUE(tree.PruneLeaves({0, 0, 0, 1}));  // positions D, C, A, B: B goes
  EXPECT_EQ(tree.nodeNames, (std::vector<std::string>{"Ancestor_3", "Ancestor_2", "D", "A", "C"}));
}

}  // namespace
}  // namespace vorn
