// The uncertainty table's exact form, from values chosen by hand (binary fractions, so that
// %.17g prints them short), and the report's line about it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/ancestral.h"
#include "estimation/fit.h"
#include "estimation/uncertainty.h"
#include "input/input_reader.h"
#include "output/run_report.h"
#include "output/uncertainty_table.h"
#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

std::string Written(void (*write)(std::FILE*, const FitReport&), const FitReport& report) {
  std::FILE* file = std::tmpfile();
  write(file, report);
  std::rewind(file);
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
  std::fclose(file);
  return text;
}

ParameterUncertainty Judged(ParameterFamily family, std::uint32_t index, double value, double se, double low,
                            double high, const char* reason) {
  ParameterUncertainty p;
  p.family = family;
  p.index = index;
  p.value = value;
  p.determined = reason == nullptr;
  p.se = se;
  p.ciLow = low;
  p.ciHigh = high;
  p.reason = reason ? reason : "";
  return p;
}

class UncertaintyTableTest : public testing::Test {
 protected:
  UncertaintyTableTest() {
    tree_.nodeNames = {"root", "A", "B", "Hominidae", "C"};
    data_.genes.resize(2);
    data_.genes[0].geneName = "olfactory";
    data_.genes[1].geneName = "immune";
    uncertainty_.computed = true;
    uncertainty_.approximation = "full";
    uncertainty_.parameters = {
        Judged(kP0, 0, 0.25, 0.5, 0.125, 0.5, nullptr),
        Judged(kTheta, 1, 2, 0.25, 1.5, 3, nullptr),
        Judged(kXi, 3, 1, 0, 0, 0, "at bound"),
        Judged(kEta, 0, 0.5, 0, 0, 0, "flat direction shared with xi[2], xi[4]"),
    };
  }

  PhylogeneticTree tree_;
  AlignmentData data_;
  FitSettings settings_;
  FitResult fit_;
  AncestralTables ancestral_;
  Uncertainty uncertainty_;
};

TEST_F(UncertaintyTableTest, MatchesTheGoldenTable) {
  FitReport report{tree_, data_, settings_, fit_, ReconstructionMode::kOff, ancestral_};
  report.uncertainty = &uncertainty_;
  EXPECT_EQ(Written(WriteUncertaintyTable, report),
            testing_support::ReadText(std::string(TESTDATA_DIR) + "/golden/uncertainty.tsv"));
}

TEST_F(UncertaintyTableTest, TheReportLineCountsTheDeterminedEstimates) {
  FitReport report{tree_, data_, settings_, fit_, ReconstructionMode::kOff, ancestral_};
  report.uncertainty = &uncertainty_;
  EXPECT_EQ(Written(WriteUncertaintyLine, report),
            "\nstandard errors: 2 of 4 estimates determined (full observed information; flat below 1e-06 of its "
            "largest eigenvalue); 95 % intervals in the uncertainty table\n");
}

class UncertaintyRunTest : public testing_support::ScratchTest {};

// The template's four-leaf run, its sites fitted within 200 iterations.
std::map<int, std::string> Lines(bool on) {
  std::map<int, std::string> lines = {{41, "maximum # iterations: 200"}};
  if (on) lines[53] = "standard errors: on";
  return lines;
}

TEST_F(UncertaintyRunTest, OnlyTheSettingAddsTheTableAndTheFields) {
  for (bool on : {false, true}) {
    SCOPED_TRACE(on);
    testing_support::WriteFourLeafRun(testing_support::ControlText(Lines(on)));
    ASSERT_EQ(testing_support::RunVorn({"--seed", "3", "run.txt"}).status, 0);
    EXPECT_EQ(testing_support::FileExists("run.uncertainty.tsv"), on);
    const nlohmann::json results = nlohmann::json::parse(testing_support::ReadText("run.results.json"));
    EXPECT_EQ(results.contains("standard_errors"), on);
    for (const nlohmann::json& p : results["parameters"]) {
      for (const char* key : {"se", "ci_low", "ci_high", "determined", "reason"}) EXPECT_EQ(p.contains(key), on);
      if (!on) continue;
      // Fixed parameters have none of it; a determined one an interval around its value.
      EXPECT_EQ(p["determined"].is_boolean(), p["estimated"].get<bool>());
      if (p["determined"] == true) {
        EXPECT_LE(p["ci_low"].get<double>(), p["value"].get<double>());
        EXPECT_GE(p["ci_high"].get<double>(), p["value"].get<double>());
        EXPECT_TRUE(p["reason"].is_null());
      } else if (p["determined"] == false) {
        EXPECT_TRUE(p["se"].is_null());
        EXPECT_TRUE(p["reason"].is_string());
      }
    }
    EXPECT_EQ(testing_support::ReadText("run.output.txt").find("standard errors:") != std::string::npos, on);
    std::remove("run.uncertainty.tsv");
  }
}

TEST_F(UncertaintyRunTest, AValueOtherThanOnOrOffIsRefused) {
  testing_support::WriteFourLeafRun(testing_support::ControlText({{53, "standard errors: yes"}}));
  const testing_support::RunOutcome outcome = testing_support::RunVorn({"--seed", "3", "run.txt"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(outcome.err.find("standard errors"), std::string::npos) << outcome.err;
}

}  // namespace
}  // namespace vorn
