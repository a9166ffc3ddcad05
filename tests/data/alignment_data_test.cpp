#include "data/alignment_data.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::StreamOf;

struct ReadResult {
  bool ok;
  std::string errors;
};

ReadResult Read(AlignmentData& data, const std::string& patterns, const std::string& counts, std::uint32_t leaves) {
  data.patternFileName = "p.wp.txt";
  data.countsFileName = "p.ngp.txt";
  FilePtr wp = StreamOf(patterns);
  FilePtr ngp = StreamOf(counts);
  testing::internal::CaptureStderr();
  const bool ok = data.ReadPatternFiles(wp.get(), ngp.get(), leaves);
  return {ok, testing::internal::GetCapturedStderr()};
}

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
  return std::vector<std::uint8_t>(values.begin(), values.end());
}
using Site = std::pair<const std::vector<std::uint8_t>*, std::uint32_t>;  // a site's values and its gene

TEST(AlignmentDataTest, ReadsPatternsAndPerGeneCounts) {
  AlignmentData data;
  // Line 2 has a count of 0 in gene A, and both genes have more counts than patterns; the last
  // line of each file has no line feed. Extra values are read past, but a file made for another
  // tree is worth a warning.
  const ReadResult r = Read(data, "0 1 1\n1,1,1\n\n2\t0 1 extra\n0 0 1",
                            "A 3 0 1 4 7\r\nB 0 2 0 0 9 9\n", 3);
  ASSERT_TRUE(r.ok) << r.errors;
  EXPECT_EQ(r.errors,
            "Warning:VORN:ReadInput: Pattern file 'p.wp.txt' line 4 holds 4 values where the tree has 3 leaves; the "
            "extra values are ignored (1 line(s) in all)\n"
            "Warning:VORN:ReadInput: Pattern counts file 'p.ngp.txt' line 1 holds 5 counts where the pattern file "
            "has 4 patterns; the extra counts are ignored (2 line(s) in all)\n");
  EXPECT_EQ(data.geneCount, 2U);
  EXPECT_EQ(data.patternCount, 4U);
  EXPECT_EQ(data.leafCount, 3U);
  EXPECT_EQ(data.nodeCount, 5U);
  EXPECT_EQ(data.patterns[2].values, Bytes({2, 0, 1}));
  EXPECT_EQ(data.patterns[3].values, Bytes({0, 0, 1}));
  EXPECT_EQ(data.genes[0].geneName, "A");
  EXPECT_EQ(data.genes[0].patternIndices, (std::vector<std::uint32_t>{0, 2, 3}));
  EXPECT_EQ(data.genes[0].counts, (std::vector<std::uint32_t>{3, 1, 4}));
  EXPECT_EQ(data.genes[0].entryCount, 3U);
  EXPECT_EQ(data.genes[1].patternIndices, (std::vector<std::uint32_t>{1}));
  EXPECT_EQ(data.genes[1].filteredSites, 2U);
  EXPECT_EQ(data.filteredSites, 10U);
  EXPECT_EQ(data.allSites, 10U);
}

TEST(AlignmentDataTest, FilterRemovesSitesButKeepsTheirCounts) {
  struct Case {
    double threshold;
    std::vector<bool> passes;  // patterns with 0, 1, 2, 3, 4 unknowns of 4 leaves
  };
  const Case cases[] = {
      {0.5, {true, true, false, false, false}},  // 0.25 < 0.5 passes, 0.5 does not
      {0.0, {false, false, false, false, false}},
      {1.0, {true, true, true, true, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.threshold);
    AlignmentData data;
    data.ukfFilter = true;
    data.ukfThreshold = c.threshold;
    const ReadResult r = Read(data, "1 0 1 1\n1 2 0 1\n2 2 1 0\n2 1 2 2\n2 2 2 2\n", "g 1 2 3 4 5\n", 4);
    ASSERT_TRUE(r.ok) << r.errors;
    std::uint32_t expectedFiltered = 0, passing = 0;
    for (std::uint32_t i = 0; i < 5; ++i) expectedFiltered += c.passes[i] ? i + 1 : 0, passing += c.passes[i];
    EXPECT_EQ(data.patternCount, passing);
    EXPECT_EQ(data.filteredSites, expectedFiltered);
    EXPECT_EQ(data.genes[0].filteredSites, expectedFiltered);
    EXPECT_EQ(data.allSites, 15U);  // removed lines still consume their counts
    EXPECT_EQ(data.genes[0].allSites, 15U);
  }
}

TEST(AlignmentDataTest, MalformedFilesNameTheFileAndLine) {
  for (const std::vector<std::string>& c : testing_support::CaseTable("pattern_errors.txt")) {
    SCOPED_TRACE(c[2]);
    AlignmentData data;
    const ReadResult r = Read(data, c[0], c[1], 3);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.errors, "Error:VORN:ReadInput: " + c[2] + "\n");
  }
}

TEST(AlignmentDataTest, AddSiteSharesPatternsAndKeepsFirstOccurrenceOrder) {
  AlignmentData data;
  data.PrepareForSimulation(3, 2);
  const auto a = Bytes({0, 1, 1}), b = Bytes({1, 1, 1}), c = Bytes({2, 2, 2});
  for (const auto& [site, gene] : std::initializer_list<Site>{{&a, 0}, {&b, 1}, {&a, 1}, {&a, 0}, {&b, 1}, {&c, 0}}) {
    data.AddSite(site->data(), gene);
  }
  EXPECT_EQ(data.patternCount, 3U);
  EXPECT_EQ(data.patterns[0].values, a);
  EXPECT_EQ(data.patterns[1].values, b);
  EXPECT_EQ(data.genes[0].patternIndices, (std::vector<std::uint32_t>{0, 2}));
  EXPECT_EQ(data.genes[0].counts, (std::vector<std::uint32_t>{2, 1}));
  EXPECT_EQ(data.genes[1].patternIndices, (std::vector<std::uint32_t>{1, 0}));
  EXPECT_EQ(data.genes[1].counts, (std::vector<std::uint32_t>{2, 1}));
  EXPECT_EQ(data.filteredSites, 6U);

  // With the filter on, an all-unknown site counts only among all sites.
  AlignmentData filtered;
  filtered.ukfFilter = true;
  filtered.ukfThreshold = 1.0;
  filtered.PrepareForSimulation(3, 1);
  filtered.AddSite(c.data(), 0);
  filtered.AddSite(a.data(), 0);
  EXPECT_EQ(filtered.patternCount, 1U);
  EXPECT_EQ(filtered.allSites, 2U);
  EXPECT_EQ(filtered.genes[0].allSites, 2U);
  EXPECT_EQ(filtered.genes[0].filteredSites, 1U);
}

TEST(AlignmentDataTest, WrittenFilesHaveTheDocumentedFormAndReadBack) {
  AlignmentData data;
  data.PrepareForSimulation(2, 2);
  const auto a = Bytes({0, 1}), b = Bytes({1, 2});
  for (const auto& [site, gene] : std::initializer_list<Site>{{&a, 1}, {&b, 0}, {&a, 0}, {&a, 1}}) data.AddSite(site->data(), gene);
  data.NameGenes();
  testing_support::TempDir dir;
  {
    FilePtr wp = OpenFile(dir.File("x.wp.txt"), "w");
    FilePtr ngp = OpenFile(dir.File("x.ngp.txt"), "w");
    data.WritePatternFiles(wp.get(), ngp.get());
  }
  EXPECT_EQ(testing_support::ReadText(dir.File("x.wp.txt")), "0 1 \n1 2 \n");
  EXPECT_EQ(testing_support::ReadText(dir.File("x.ngp.txt")), "gene_#0 1 1 \ngene_#1 2 0 \n");

  AlignmentData back;
  FilePtr wp = OpenFile(dir.File("x.wp.txt"), "r");
  FilePtr ngp = OpenFile(dir.File("x.ngp.txt"), "r");
  ASSERT_TRUE(back.ReadPatternFiles(wp.get(), ngp.get(), 2));
  EXPECT_EQ(back.patterns[0].values, a);
  EXPECT_EQ(back.patterns[1].values, b);
  // Gene 0 met pattern 1 first; read back, its entries stand in pattern order.
  EXPECT_EQ(back.genes[0].patternIndices, (std::vector<std::uint32_t>{0, 1}));
  EXPECT_EQ(back.genes[0].counts, (std::vector<std::uint32_t>{1, 1}));
  EXPECT_EQ(back.genes[1].geneName, "gene_#1");
  EXPECT_EQ(back.genes[1].counts, (std::vector<std::uint32_t>{2}));
  EXPECT_EQ(back.genes[1].allSites, 2U);
}

TEST(AlignmentDataTest, CountingHelpersAndWorkTables) {
  const auto p = Bytes({0, 1, 2, 1, 1, 0});
  EXPECT_EQ(CountPresent(p.data(), 6), 3U);
  EXPECT_EQ(CountAbsent(p.data(), 6), 2U);
  EXPECT_EQ(CountUnknown(p.data(), 6), 1U);
  EXPECT_EQ(CountPresent(p.data(), 0), 0U);

  AlignmentData data;
  data.PrepareForSimulation(3, 2);
  data.AllocateWorkTables();
  ASSERT_EQ(data.expectedGains.size(), 10U);
  data.expectedGains[data.WorkIndex(1, 4)] = 2.5;
  EXPECT_EQ(data.expectedGains.back(), 2.5);
  data.AllocateWorkTables();  // a second sizing starts from zero again
  EXPECT_EQ(data.expectedGains.back(), 0.0);
}

}  // namespace
}  // namespace vorn
