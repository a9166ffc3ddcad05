#include "output/family_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "data/alignment_data.h"
#include "data/character_table.h"
#include "data/phylogenetic_tree.h"
#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::Contents;
using testing_support::FourLeafTree;
using testing_support::ReadText;
using testing_support::StreamOf;
using testing_support::TestData;

// Posteriors made up so that every row can be worked by hand, in binary fractions that print
// exactly: the branch above AB gains with 0.25, the leaf 3 + p (p the entry's pattern) loses
// with 0.75, every other branch gains with 0.0625; no gain anywhere with 0.5.
struct MadeUpSource {
  void operator()(const std::vector<EntryRef>& entries, EntryPosteriors* posteriors) {
    largestCall = std::max(largestCall, entries.size());
    calls += 1;
    posteriors->nodeCount = 7;
    posteriors->transitions.assign(entries.size() * 7 * 4, 0.0);
    posteriors->noGain.assign(entries.size(), 0.5);
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const std::uint32_t p = data->genes[entries[i].gene].patternIndices[entries[i].entry];
      for (std::uint32_t v = 1; v < 7; ++v) {
        double* t = &posteriors->transitions[(i * 7 + v) * 4];
        const double ab[3][4] = {{0.5, 0.25, 0, 0.25}, {0, 0, 0.75, 0.25}, {0.6875, 0.0625, 0, 0.25}};
        const int row = v == 1 ? 0 : v == 3 + p ? 1 : 2;
        std::copy(ab[row], ab[row] + 4, t);
      }
    }
  }
  const AlignmentData* data = nullptr;
  std::size_t largestCall = 0, calls = 0;
};

AlignmentData PatternData() {
  AlignmentData data;
  data.patternFileName = "p.wp.txt";
  data.countsFileName = "p.ngp.txt";
  FilePtr patterns = StreamOf("0 1 1 0\n1 1 0 1\n0 0 0 1\n");
  FilePtr counts = StreamOf("g1 2 0 1\ng2 0 1 0\n");
  EXPECT_TRUE(data.ReadPatternFiles(patterns.get(), counts.get(), 4));
  return data;
}

// Both tables of the data with the made-up posteriors, at most `chunk` entries at a time.
std::pair<std::string, std::string> Tables(const AlignmentData& data, double threshold, std::size_t chunk,
                                           MadeUpSource* made = nullptr) {
  const PhylogeneticTree tree = FourLeafTree();
  MadeUpSource own;
  MadeUpSource& source = made ? *made : own;
  source.data = &data;
  std::FILE* families = std::tmpfile();
  std::FILE* events = std::tmpfile();
  WriteFamilyTables(families, events, tree, data, threshold,
                    [&source](const std::vector<EntryRef>& e, EntryPosteriors* p) { source(e, p); }, chunk);
  std::pair<std::string, std::string> text{Contents(families), Contents(events)};
  std::fclose(families);
  std::fclose(events);
  return text;
}

TEST(FamilyFilesTest, PatternFileSitesAreNumberedWithinTheirGene) {
  const AlignmentData data = PatternData();
  for (std::size_t chunk : {1, 2, 100}) {
    SCOPED_TRACE(chunk);
    MadeUpSource source;
    const auto text = Tables(data, 0.25, chunk, &source);
    EXPECT_EQ(text.first, ReadText(TestData("golden/families_patterns.tsv")));
    EXPECT_EQ(text.second, ReadText(TestData("golden/family_events_patterns.tsv")));
    EXPECT_LE(source.largestCall, chunk);
  }
}

TEST(FamilyFilesTest, TableRowsKeepTheirNamesAndOrderWithoutTheFilteredOnes) {
  AlignmentData data;
  data.PrepareForSimulation(4, 0);
  data.ukfFilter = true;
  data.ukfThreshold = 0.5;
  const std::uint32_t x = data.AddGene("X"), y = data.AddGene("Y");
  data.recordSites = true;
  data.siteNames = {"r1", "r2", "r3", "r4", "r5"};
  const std::uint8_t a[4] = {1, 0, 1, 1}, b[4] = {0, 1, 1, 0}, unknown[4] = {2, 2, 2, 2};
  data.AddSite(a, x);
  data.AddSite(b, y);
  EXPECT_EQ(data.AddSite(unknown, x), kNoPattern);
  data.AddSite(a, x);
  data.AddSite(a, y);
  data.OrderEntriesByPattern();
  for (std::size_t chunk : {1, 2, 100}) {
    SCOPED_TRACE(chunk);
    MadeUpSource source;
    EXPECT_EQ(Tables(data, 0.25, chunk, &source).first, ReadText(TestData("golden/families_table.tsv")));
    // A chunk of one entry ends at every change of entry: r1 | r2 | r4 | r5.
    EXPECT_EQ(source.calls, chunk == 1 ? 4U : chunk == 2 ? 2U : 1U);
  }
}

// Through the table reader: the rows keep their names, and a row conditioning on presence drops
// (no leaf shows the character) leaves the rows and renumbers the patterns after it.
TEST(FamilyFilesTest, TableRowsAsReadAndDroppedForPresence) {
  PhylogeneticTree tree = FourLeafTree();
  AlignmentData data;
  data.ukfFilter = true;
  data.ukfThreshold = 0.5;
  FilePtr table = StreamOf("family\tA\tB\tC\tD\tgroup\nr0\t0\t0\t0\t0\tX\nr1\t1\t0\t1\t1\tX\n"
                           "r2\t0\t1\t1\t0\tY\nr3\t?\t?\t?\t?\tX\nr4\t1\t0\t1\t1\tX\nr5\t1\t0\t1\t1\tY\n");
  ReaderSettings reader;
  reader.geneColumn = "group";
  testing::internal::CaptureStdout();
  ASSERT_TRUE(ReadCharacterTable(table.get(), "t.tsv", reader, tree, data));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(data.DropSitesWithoutPresence(), 1U);
  EXPECT_EQ(Tables(data, 0.25, 1).first, ReadText(TestData("golden/families_table.tsv")));
}

// A (site, branch) pair is listed when its gain or its loss chance is at least the threshold.
TEST(FamilyFilesTest, TheLongFormHoldsThePairsThatReachTheThreshold) {
  const AlignmentData data = PatternData();
  const struct {
    double threshold;
    int rowsPerSite;
  } cases[] = {{0, 6}, {0.0625, 6}, {0.0625000001, 2}, {0.25, 2}, {0.2500001, 1}, {0.75, 1}, {0.76, 0}, {1, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.threshold);
    const std::string events = Tables(data, c.threshold, 100).second;
    const long lines = static_cast<long>(std::count(events.begin(), events.end(), '\n'));
    EXPECT_EQ(lines, 1 + 4 * c.rowsPerSite);  // the header and four sites
  }
}

TEST(FamilyFilesTest, ChunksHoldAboutThirtyTwoMebibytes) {
  EXPECT_EQ(FamilyChunkEntries(7), 65536U);              // the cap
  EXPECT_EQ(FamilyChunkEntries(1999), 524U);             // 32 MiB / (1999 * 32 bytes)
  EXPECT_EQ(FamilyChunkEntries(2000000000U), 1U);        // never none
}

}  // namespace
}  // namespace vorn
