#include "data/alignment_data.h"

#include <gtest/gtest.h>

#include <tuple>

#include "support/input_template.h"

namespace vorn {
namespace {

using testing_support::DataSummary;
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
  EXPECT_EQ(DataSummary(data), "011 111 201 001 | A 0:3 2:1 3:4 (8/8) | B 1:2 (2/2) | 10/10");
  EXPECT_EQ((std::vector<std::uint32_t>{data.geneCount, data.patternCount, data.leafCount, data.nodeCount}),
            (std::vector<std::uint32_t>{2, 4, 3, 5}));
}

TEST(AlignmentDataTest, FilterRemovesSitesButKeepsTheirCounts) {
  // Patterns with 0 to 4 unknowns of 4, seen 1 to 5 times: a pattern passes below the threshold.
  const std::tuple<double, std::uint32_t, std::uint32_t> cases[] = {  // threshold, patterns and sites kept
      {0.5, 2, 3},  // 0.25 < 0.5 passes, 0.5 does not
      {0.0, 0, 0},
      {1.0, 4, 10},
  };
  for (const auto& [threshold, patterns, sites] : cases) {
    SCOPED_TRACE(threshold);
    AlignmentData data;
    data.ukfFilter = true;
    data.ukfThreshold = threshold;
    const ReadResult r = Read(data, "1 0 1 1\n1 2 0 1\n2 2 1 0\n2 1 2 2\n2 2 2 2\n", "g 1 2 3 4 5\n", 4);
    ASSERT_TRUE(r.ok) << r.errors;
    EXPECT_EQ(data.patternCount, patterns);
    EXPECT_EQ(data.filteredSites, sites);
    EXPECT_EQ(data.genes[0].filteredSites, sites);
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
  EXPECT_EQ(DataSummary(data), "011 111 222 |  0:2 2:1 (3/3) |  1:2 0:1 (3/3) | 6/6");  // unnamed until NameGenes
  // With the filter on, an all-unknown site counts only among all sites.
  AlignmentData filtered;
  filtered.ukfFilter = true;
  filtered.ukfThreshold = 1.0;
  filtered.PrepareForSimulation(3, 1);
  filtered.AddSite(c.data(), 0);
  filtered.AddSite(a.data(), 0);
  EXPECT_EQ(DataSummary(filtered), "011 |  0:1 (1/2) | 1/2");
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
  // Gene 0 met pattern 1 first; read back, its entries stand in pattern order.
  EXPECT_EQ(DataSummary(back), "01 12 | gene_#0 0:1 1:1 (2/2) | gene_#1 0:2 (2/2) | 4/4");
}

}  // namespace
}  // namespace vorn
