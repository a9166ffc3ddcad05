#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/evol_model.h"
#include "numerics/run_seed.h"
#include "output/simulation_files.h"
#include "simulation/simulation.h"
#include "support/input_template.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::ReadText;
using testing_support::TestData;

// Node numbers of the four-leaf tree ((A,B),(C,D)) once it is read: root 0, AB 1, CD 2, A to D 3 to 6;
// A to D are the values of every pattern in that order.
constexpr std::uint32_t kAB = 1, kA = 3, kB = 4;

// So large that every gain or loss it drives is certain: exp(-1e6 * t) is 0 for these branches.
constexpr double kCertain = 1e6;

class SimulationTest : public testing::Test {
 protected:
  SimulationTest() : chdir_(dir_.path()) {
    FilePtr phyl = testing_support::StreamOf(testing_support::kFourLeafPhyl);
    tree_.treeName = "tree.phyl";
    EXPECT_TRUE(tree_.ReadPhyl(phyl.get()));
    SetRunSeed(11);
  }

  // No rate variation; every gene and every branch alike.
  EvolModel Model(std::uint32_t genes, double p0, double theta, double phi, double eta, double xi, double nu) const {
    EvolModel model;
    model.Resize(tree_.nodeCount, genes);
    model.p0 = p0;
    model.theta.assign(genes, theta);
    model.eta.assign(genes, eta);
    model.phi.assign(tree_.nodeCount, phi);
    model.xi.assign(tree_.nodeCount, xi);
    model.nu = nu;
    return model;
  }

  // The simulation's result; what it printed in output_ and errors_.
  // With track, the true history goes to run.track.txt.
  bool Run(const EvolModel& model, const std::vector<std::uint32_t>& sites, double unknownFraction, bool track,
           bool requirePresence = false, bool trackSites = false, std::uint16_t lossCategories = 0,
           std::uint16_t gainCategories = 0) {
    const bool filter = data_.ukfFilter;  // kept: a test may filter the sites
    const double threshold = data_.ukfThreshold;
    data_ = AlignmentData();
    data_.ukfFilter = filter;
    data_.ukfThreshold = threshold;
    data_.PrepareForSimulation(tree_.leafCount, model.geneCount);
    SimulationSettings settings;
    settings.geneCount = model.geneCount;
    settings.sitesPerGene = sites;
    settings.unknownFraction = unknownFraction;
    settings.lossCategories = lossCategories;
    settings.gainCategories = gainCategories;
    settings.trackSites = trackSites;
    SimulatedHistory history;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool done = model.Simulate(data_, tree_, settings, requirePresence, track ? &history : nullptr);
    output_ = testing::internal::GetCapturedStdout();
    errors_ = testing::internal::GetCapturedStderr();
    if (done && track) {
      FilePtr file = OpenFile("run.track.txt", "w");
      WriteTrack(file.get(), tree_, history);
    }
    if (done && trackSites) {
      data_.NameGenes();
      FilePtr file = OpenFile("run.site_track.tsv", "w");
      WriteSiteTrack(file.get(), tree_, data_, history);
    }
    return done;
  }

  // The distinct simulated patterns as texts such as "0101" (leaves A, B, C, D).
  std::set<std::string> Patterns() const {
    std::set<std::string> texts;
    for (const Pattern& pattern : data_.patterns) {
      std::string text;
      for (std::uint8_t value : pattern.values) text += static_cast<char>('0' + value);
      texts.insert(text);
    }
    return texts;
  }

  testing_support::TempDir dir_;
  testing_support::ScopedChdir chdir_;
  PhylogeneticTree tree_;
  AlignmentData data_;
  std::string output_, errors_;
};

TEST_F(SimulationTest, TrackFileOfACertainHistory) {
  // The root never holds the character (p0 = 1); AB always gains it, A always loses it, B keeps it
  // in gene 0 and loses it in gene 2 (theta certain); nothing else can gain. Gene 1 has no sites.
  EvolModel model = Model(3, 1.0, 0.0, 0.0, kCertain, 0.0, 0.0);
  model.xi[kAB] = 1;
  model.phi[kA] = 1;
  model.theta[2] = kCertain;
  ASSERT_EQ(tree_.nodeNames, (std::vector<std::string>{"root", "AB", "CD", "A", "B", "C", "D"}));

  ASSERT_TRUE(Run(model, {3, 0, 2}, 0.0, true));
  EXPECT_EQ(ReadText("run.track.txt"), ReadText(TestData("golden/simulation_track.txt")));
  // Not on a terminal: the first progress line and the last, each a line of its own.
  EXPECT_EQ(output_, "   running the simulation ...\n      gene 1/3: site 1/3\n      gene 3/3: site 2/2\n\n");
  EXPECT_EQ(Patterns(), (std::set<std::string>{"0100", "0000"}));
  EXPECT_EQ(data_.genes[0].filteredSites, 3U);
  EXPECT_EQ(data_.genes[1].allSites, 0U);
  EXPECT_EQ(data_.genes[2].filteredSites, 2U);
}

TEST_F(SimulationTest, SiteTrackOfACertainHistory) {
  // The history of TrackFileOfACertainHistory, site by site.
  EvolModel model = Model(3, 1.0, 0.0, 0.0, kCertain, 0.0, 0.0);
  model.xi[kAB] = 1;
  model.phi[kA] = 1;
  model.theta[2] = kCertain;
  ASSERT_TRUE(Run(model, {3, 0, 2}, 0.0, true, false, true));
  EXPECT_EQ(ReadText("run.site_track.tsv"), ReadText(TestData("golden/simulation_site_track.txt")));
}

// Drawn at random, the site track lists the sites as the pattern files count them: gene by gene,
// pattern by pattern, numbered within the gene; each row's leaves show its pattern where it is
// known, and the rows of a pattern are as many as its count. Sites the filter removed are left out.
TEST_F(SimulationTest, SiteTrackFollowsThePatternFiles) {
  EvolModel model = Model(2, 0.4, 0.6, 0.1, 0.8, 0.5, 0.2);
  data_.ukfFilter = true;
  data_.ukfThreshold = 0.5;  // two unknowns of four remove a site
  ASSERT_TRUE(Run(model, {300, 200}, 0.2, true, false, true));
  ASSERT_LT(data_.filteredSites, data_.allSites);
  const std::string text = ReadText("run.site_track.tsv");
  std::vector<std::vector<std::string>> rows;
  std::size_t at = text.find('\n') + 1;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    std::vector<std::string> cells;
    std::string line = text.substr(at, end - at), cell;
    for (char c : line + "\t") {
      if (c == '\t') {
        cells.push_back(cell);
        cell.clear();
      } else {
        cell += c;
      }
    }
    rows.push_back(cells);
    at = end + 1;
  }
  ASSERT_EQ(rows.size(), data_.filteredSites);
  std::size_t r = 0;
  for (std::uint32_t g = 0; g < 2; ++g) {
    // The counts file's order: the gene's entries by pattern.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;
    for (std::uint32_t e = 0; e < data_.genes[g].entryCount; ++e) {
      entries.emplace_back(data_.genes[g].patternIndices[e], data_.genes[g].counts[e]);
    }
    std::sort(entries.begin(), entries.end());
    std::uint32_t number = 0;
    for (const auto& entry : entries) {
      for (std::uint32_t c = 0; c < entry.second; ++c, ++r) {
        SCOPED_TRACE(r);
        const std::vector<std::string>& row = rows[r];
        ASSERT_EQ(row.size(), 3 + tree_.nodeCount);
        EXPECT_EQ(row[0], std::to_string(++number));
        EXPECT_EQ(row[1], data_.genes[g].geneName);
        EXPECT_EQ(row[2], std::to_string(entry.first + 1));
        for (std::uint32_t j = 0; j < tree_.leafCount; ++j) {
          const std::uint8_t value = data_.patterns[entry.first].values[j];
          const std::string& history = row[3 + tree_.leafNodes[j]];
          if (value != 2) {
            EXPECT_EQ(history == "gain" || history == "kept", value == 1) << history;
          }
        }
      }
    }
  }
}

// The exact chance of every pattern of the four leaves at one site (index: the sum of value_j 3^j,
// leaf A first) by summing over every joint state of the seven nodes, both values of the site's gain
// decision and every set of hidden leaves; a rate that varies from site to site (shape 2: density
// 4 r e^(-2r)) is integrated out by the trapezoid rule. With `cut`, a rate of shape 1 takes the
// two categories of the exponential's medians-of-halves: its quartiles -ln(3/4) and -ln(1/4),
// scaled to mean 1.
std::vector<double> PatternChances(const EvolModel& m, const PhylogeneticTree& tree, double unknownFraction,
                                   bool cut = false) {
  const auto rates = [cut](double shape) {
    std::vector<std::pair<double, double>> grid{{1.0, 1.0}};  // rate and weight
    if (shape == 0) return grid;
    if (cut) {
      EXPECT_EQ(shape, 1);
      const double low = -std::log(0.75), high = -std::log(0.25), scale = 2 / (low + high);
      return std::vector<std::pair<double, double>>{{low * scale, 0.5}, {high * scale, 0.5}};
    }
    EXPECT_EQ(shape, 2);
    grid.clear();
    for (double r = 0.01; r < 30; r += 0.01) grid.push_back({r, 0.01 * 4 * r * std::exp(-2 * r)});
    return grid;
  };
  std::vector<double> chances(81, 0.0);
  for (const auto& [rl, lossWeight] : rates(m.llambda)) {
    for (const auto& [rg, gainWeight] : rates(m.glambda)) {
      for (int gains = 0; gains < 2; ++gains) {
        for (unsigned states = 0; states < (1U << tree.nodeCount); ++states) {
          const auto holds = [states](std::uint32_t v) { return ((states >> v) & 1U) != 0; };
          double probability = lossWeight * gainWeight * (gains ? 1 - m.nu : m.nu) * (holds(0) ? 1 - m.p0 : m.p0);
          for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
            const double t = tree.branchLength[v];
            const double present = holds(tree.parent[v]) ? (1 - m.phi[v]) * std::exp(-rl * m.theta[0] * t)
                                                          : m.xi[v] * (1 - std::exp(-gains * rg * m.eta[0] * t));
            probability *= holds(v) ? present : 1 - present;
          }
          for (unsigned hidden = 0; hidden < 16; ++hidden) {
            double p = probability;
            std::size_t index = 0;
            for (std::uint32_t j = 0, power = 1; j < 4; ++j, power *= 3) {
              const bool hide = (hidden >> j) & 1U;
              p *= hide ? unknownFraction : 1 - unknownFraction;
              index += power * (hide ? 2 : holds(tree.leafNodes[j]));
            }
            chances[index] += p;
          }
        }
      }
    }
  }
  return chances;
}

TEST_F(SimulationTest, PatternsComeAsOftenAsTheModelSays) {
  // Without loss or gain every leaf shows the root's state.
  const EvolModel keep = Model(1, 1.0, 0.0, 0.0, kCertain, 0.0, 0.0);
  EvolModel rootPresent = keep;
  rootPresent.p0 = 0;
  // A root that never holds the character, and gains certain wherever they are allowed.
  const EvolModel gainsEverywhere = Model(1, 1.0, 0.0, 0.0, kCertain, 1.0, 0.0);
  EvolModel noGainSites = gainsEverywhere, halfGainSites = gainsEverywhere;
  noGainSites.nu = 1;
  halfGainSites.nu = 0.5;
  EvolModel closedBranch = Model(1, 1.0, 0.0, 0.0, 20.0, 0.5, 0.0);
  closedBranch.xi[kAB] = closedBranch.xi[kA] = 0;
  // Both presence and absence common, and then the loss or the gain rate drawn per site.
  EvolModel general = Model(1, 0.4, 5.0, 0.1, 20.0, 0.5, 0.25);
  general.phi[kA] = 0.3;
  general.xi[kB] = 0.9;
  EvolModel lossVaries = general, gainVaries = general, lossCut = general, gainCut = general;
  lossVaries.llambda = 2;
  gainVaries.glambda = 2;
  lossCut.llambda = 1;
  gainCut.glambda = 1;
  const struct {
    const char* name;
    EvolModel model;
    double unknownFraction;
    std::uint16_t lossCategories = 0, gainCategories = 0;
  } cases[] = {
      {"p0 = 1: the root is always absent", keep, 0.0},
      {"p0 = 0: the root is present", rootPresent, 0.0},
      {"nu = 1: no site ever gains", noGainSites, 0.0},
      {"a fraction of unknowns of 1 hides every value", gainsEverywhere, 1.0},
      {"nu = 0.5: one gain decision per site, so all or nothing", halfGainSites, 0.0},
      {"xi = 0 closes the branch to gains", closedBranch, 0.0},
      {"a general model", general, 0.1},
      {"loss rates that vary", lossVaries, 0.0},
      {"gain rates that vary", gainVaries, 0.0},
      // As the fit cuts the gamma: 2 loss categories; 3 gain categories, the first never gaining.
      {"loss rates of two categories", lossCut, 0.0, 2, 3},
      {"gain rates of two categories", gainCut, 0.0, 2, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uint32_t sites = 20000;
    ASSERT_TRUE(Run(c.model, {sites}, c.unknownFraction, false, false, false, c.lossCategories, c.gainCategories));
    ASSERT_EQ(data_.filteredSites, sites);
    std::vector<double> seen(81, 0.0);
    const Gene& gene = data_.genes[0];
    for (std::uint32_t e = 0; e < gene.entryCount; ++e) {
      const std::vector<std::uint8_t>& values = data_.patterns[gene.patternIndices[e]].values;
      seen[values[0] + 3 * values[1] + 9 * values[2] + 27 * values[3]] += gene.counts[e];
    }
    // Five binomial standard errors: a pattern that cannot occur never does.
    const std::vector<double> chances = PatternChances(c.model, tree_, c.unknownFraction, c.lossCategories > 0);
    for (std::size_t i = 0; i < chances.size(); ++i) {
      EXPECT_NEAR(seen[i], sites * chances[i], 5 * std::sqrt(sites * chances[i] * (1 - chances[i])) + 1e-9)
          << "pattern " << i % 3 << i / 3 % 3 << i / 9 % 3 << i / 27;
    }
  }
}

TEST_F(SimulationTest, ConditionedOnPresenceEverySiteShowsTheCharacter) {
  // The root absent with 0.9 and no loss: a site shows the character at a leaf only through a
  // gain, which a third of the sites never get. Redrawn, every site has a present leaf, and those
  // that show none at the leaves are all that is missing.
  ASSERT_TRUE(Run(Model(2, 0.9, 0.0, 0.0, 1.0, 0.5, 0.3), {300, 200}, 0.1, false, true));
  EXPECT_EQ(data_.filteredSites, 500U);
  for (const std::string& pattern : Patterns()) EXPECT_NE(pattern.find('1'), std::string::npos) << pattern;
  // Never showing it: the redrawing stops with an error instead of drawing for ever.
  EXPECT_FALSE(Run(Model(1, 1.0, 0.0, 0.0, 1.0, 0.5, 1.0), {1}, 0.0, false, true));
  EXPECT_EQ(errors_,
            "Error:VORN:EvolModel:Simulate: 1000000 sites in a row show the character at no leaf: the model almost "
            "never makes a site that conditioning on presence keeps\n");
}

}  // namespace
}  // namespace vorn
