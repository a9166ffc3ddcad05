// Whole runs with family posteriors: the per-site files against the run's own per-branch
// expectations and, after a simulation, against its site track.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::ControlText;
using testing_support::FileExists;
using testing_support::ReadText;
using testing_support::RunVorn;
using testing_support::WriteFourLeafRun;

using Table = std::vector<std::map<std::string, std::string>>;

// A TSV file's rows by column name.
Table ReadTable(const std::string& path) {
  const std::string text = ReadText(path);
  std::vector<std::vector<std::string>> lines;
  std::vector<std::string> cells(1);
  for (char c : text) {
    if (c == '\t') {
      cells.emplace_back();
    } else if (c == '\n') {
      lines.push_back(cells);
      cells.assign(1, std::string());
    } else {
      cells.back() += c;
    }
  }
  Table rows;
  for (std::size_t r = 1; r < lines.size(); ++r) {
    EXPECT_EQ(lines[r].size(), lines[0].size());
    rows.emplace_back();
    for (std::size_t c = 0; c < lines[0].size() && c < lines[r].size(); ++c) rows.back()[lines[0][c]] = lines[r][c];
  }
  return rows;
}

double Number(const std::map<std::string, std::string>& row, const std::string& column) {
  return std::stod(row.at(column));
}

class FamilyPosteriorsRunTest : public testing_support::ScratchTest {};

// Summed over the sites, the chances of the long form (every pair, at threshold 0) are the
// expected present characters, gains and losses of branches.tsv, conditioned on presence or not.
TEST_F(FamilyPosteriorsRunTest, SumsOverSitesAreTheBranchExpectations) {
  for (const char* condition : {"off", "on"}) {
    SCOPED_TRACE(condition);
    WriteFourLeafRun(ControlText({{41, "maximum # iterations: 5"},
                                  {42, "ancestral reconstruction: on"},
                                  {53, "family posteriors: on"},
                                  {54, "event threshold: 0"},
                                  {55, std::string("condition on presence: ") + condition}}));
    ASSERT_EQ(RunVorn({"--seed", "3", "run.txt"}).status, 0);
    const Table events = ReadTable("run.family_events.tsv");
    const Table families = ReadTable("run.families.tsv");
    const Table branches = ReadTable("run.branches.tsv");
    EXPECT_EQ(families.size(), 10U);      // the sites of data.ngp.txt
    EXPECT_EQ(events.size(), 10U * 6);    // every site and branch
    std::map<std::string, double> gains, losses, present;
    double expectedGains = 0, expectedLosses = 0;
    for (const auto& row : events) {
      gains[row.at("node")] += Number(row, "p_gain");
      losses[row.at("node")] += Number(row, "p_loss");
      present[row.at("node")] += Number(row, "p_present");
    }
    for (const auto& row : families) {
      expectedGains += Number(row, "expected_gains");
      expectedLosses += Number(row, "expected_losses");
    }
    double branchGains = 0, branchLosses = 0;
    for (const auto& row : branches) {
      SCOPED_TRACE(row.at("name"));
      // Sums of ten terms in another order than the E-step's.
      EXPECT_NEAR(gains[row.at("node")], Number(row, "gains"), 1e-12);
      EXPECT_NEAR(losses[row.at("node")], Number(row, "losses"), 1e-12);
      EXPECT_NEAR(present[row.at("node")], Number(row, "present"), 1e-12);
      branchGains += Number(row, "gains");
      branchLosses += Number(row, "losses");
    }
    EXPECT_NEAR(expectedGains, branchGains, 1e-12);
    EXPECT_NEAR(expectedLosses, branchLosses, 1e-12);
    EXPECT_NE(ReadText("run.results.json").find("\"family_posteriors\": true"), std::string::npos);
  }
}

// A simulation fitted in the same run: the rows of families.tsv are the sites of the site track,
// one for one.
TEST_F(FamilyPosteriorsRunTest, RowsMatchTheSiteTrackOfASimulation) {
  WriteFourLeafRun(ControlText({{8, "source: sim"},
                                {9, "number of genes: 2"},
                                {10, "number of sites: const 40"},
                                {12, "track numbers of present characters: sites"},
                                {41, "maximum # iterations: 3"},
                                {53, "family posteriors: on"}}));
  ASSERT_EQ(RunVorn({"--seed", "5", "run.txt"}).status, 0);
  EXPECT_TRUE(FileExists("run.track.txt"));
  const Table track = ReadTable("run.site_track.tsv");
  const Table families = ReadTable("run.families.tsv");
  ASSERT_EQ(track.size(), 80U);
  ASSERT_EQ(families.size(), track.size());
  for (std::size_t r = 0; r < track.size(); ++r) {
    SCOPED_TRACE(r);
    for (const char* column : {"id", "gene", "pattern"}) EXPECT_EQ(families[r].at(column), track[r].at(column));
  }
}

TEST_F(FamilyPosteriorsRunTest, SettingsOutsideTheirValuesAreRefused) {
  const struct {
    const char* line;
    const char* error;
  } cases[] = {
      {"event threshold: 1.5", "Error:VORN:ReadInput: Line 53: the setting 'event threshold' takes a probability "
                               "from 0 to 1, not '1.5'\n"},
      {"event threshold: -0", nullptr},
      {"event threshold: nan", "Error:VORN:ReadInput: Line 53: the setting 'event threshold' takes a probability "
                               "from 0 to 1, not 'nan'\n"},
      {"family posteriors: yes", "Error:VORN:ReadInput: Line 53: the setting 'family posteriors' takes on or off, "
                                 "not 'yes'\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    WriteFourLeafRun(ControlText({{53, c.line}}));
    const auto run = RunVorn({"--seed", "3", "run.txt"});
    EXPECT_EQ(run.status, c.error ? 1 : 0);
    if (c.error) {
      EXPECT_EQ(run.err, c.error);
    }
  }
  // Off, as by default: neither file, and results.json as before.
  WriteFourLeafRun(ControlText({{41, "maximum # iterations: 2"}, {53, "family posteriors: off"}}));
  ASSERT_EQ(RunVorn({"--seed", "3", "run.txt"}).status, 0);
  EXPECT_FALSE(FileExists("run.families.tsv"));
  EXPECT_FALSE(FileExists("run.family_events.tsv"));
  EXPECT_EQ(ReadText("run.results.json").find("family_posteriors"), std::string::npos);
}

}  // namespace
}  // namespace vorn
