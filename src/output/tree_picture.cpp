// The tree picture, PREFIX.tree.svg.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/fit.h"
#include "output/ancestral_report.h"
#include "output/results.h"
#include "output/run_report.h"

namespace vorn {
namespace {

// Text for XML: the five reserved characters as entities; control characters and bytes that are
// not UTF-8 (names come from the user's files in whatever encoding) as '?', which no parser rejects.
std::string Escaped(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    for (std::size_t k = 1; k < length; ++k) {
      if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) >> 6) != 2) length = 0;
    }
    if (length == 0 || (c < 0x20 && c != '\t')) {
      out += '?';
      ++i;
      continue;
    }
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out.append(text, i, length);
    }
    i += length;
  }
  return out;
}

// Few losses pale, many dark: a sequential scale that stays visible on white at its pale end and
// reads in grey and to the common colour blindnesses, as it changes in lightness throughout.
constexpr int kStops = 5;
const unsigned char kLossColours[kStops][3] = {
    {253, 204, 138}, {252, 141, 89}, {227, 74, 51}, {179, 0, 0}, {90, 0, 0}};

std::string LossColour(double share) {
  share = std::min(std::max(share, 0.0), 1.0);
  const double at = share * (kStops - 1);
  const int i = std::min(static_cast<int>(at), kStops - 2);
  const double w = at - i;
  char colour[8];
  std::snprintf(colour, sizeof colour, "#%02x%02x%02x",
                static_cast<unsigned>(std::lround(kLossColours[i][0] * (1 - w) + kLossColours[i + 1][0] * w)),
                static_cast<unsigned>(std::lround(kLossColours[i][1] * (1 - w) + kLossColours[i + 1][1] * w)),
                static_cast<unsigned>(std::lround(kLossColours[i][2] * (1 - w) + kLossColours[i + 1][2] * w)));
  return colour;
}

// An expected count on a branch: one decimal while it is small enough to need it.
std::string Count(double value) {
  char text[32];
  std::snprintf(text, sizeof text, value < 99.95 ? "%.1f" : "%.0f", value);
  return text;
}

// A step of 1, 2 or 5 times a power of ten that cuts `span` into about `parts` pieces.
double NiceStep(double span, int parts) {
  const double raw = span / parts;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double factor : {1.0, 2.0, 5.0}) {
    if (raw <= factor * power) return factor * power;
  }
  return 10 * power;
}

// Where everything goes: sizes that suit the number of leaves, each node's place, and the time
// scale (the tree's unit, 1000 My, per pixel).
struct Layout {
  Layout(const PhylogeneticTree& tree, bool withSums);

  bool large;
  double row, font, small;
  double left = 24, top = 56, treeWidth = 720;
  std::vector<double> x, y, depth;
  std::size_t longestName = 0;
  double deepest = 0, scale = 0, treeBottom = 0, width = 0, height = 0;
};

Layout::Layout(const PhylogeneticTree& tree, bool withSums)
    : large(tree.leafCount > 40),
      row(large ? 14 : 24),
      font(large ? 10 : 12),
      small(large ? 8 : 10),
      x(tree.nodeCount, 0),
      y(tree.nodeCount, 0),
      depth(tree.nodeCount, 0) {
  // Leaves in the order of a depth-first walk (first child first), so that no branches cross.
  std::uint32_t rowIndex = 0;
  std::vector<std::uint32_t> stack{0};
  while (!stack.empty()) {
    const std::uint32_t v = stack.back();
    stack.pop_back();
    if (v != 0) depth[v] = depth[tree.parent[v]] + tree.branchLength[v];
    if (tree.IsLeaf(v)) {
      y[v] = top + row * (rowIndex++ + 0.5);
      longestName = std::max(longestName, tree.nodeNames[v].size());
    } else {
      stack.push_back(tree.secondChild[v]);
      stack.push_back(tree.firstChild[v]);
    }
  }
  for (std::uint32_t v : tree.bottomUpOrder) {
    if (!tree.IsLeaf(v)) y[v] = (y[tree.firstChild[v]] + y[tree.secondChild[v]]) / 2;
  }
  for (std::uint32_t v = 0; v < tree.nodeCount; ++v) deepest = std::max(deepest, depth[v]);
  scale = deepest > 0 ? treeWidth / deepest : 0;
  for (std::uint32_t v = 0; v < tree.nodeCount; ++v) x[v] = left + depth[v] * scale;
  treeBottom = top + row * tree.leafCount;
  width = left + treeWidth + 8 + font * 0.62 * static_cast<double>(std::min<std::size_t>(longestName, 60)) +
          (withSums ? small * 0.6 * 14 : 0) + 24;
  height = treeBottom + (withSums ? (large ? 150 : 130) : 80);
}

// The branches: a vertical line joins each inner node's children, a horizontal one leads to
// every node from its parent's time.
void WriteBranches(std::FILE* file, const PhylogeneticTree& tree, const Layout& at,
                   const std::optional<Reconstruction>& sums, double mostLosses) {
  std::fprintf(file, "<g stroke-linecap=\"square\">\n");
  for (std::uint32_t v = 0; v < tree.nodeCount; ++v) {
    if (tree.IsLeaf(v)) continue;
    std::fprintf(file, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#444\" stroke-width=\"1.2\"/>\n",
                 at.x[v], at.y[tree.firstChild[v]], at.x[v], at.y[tree.secondChild[v]]);
  }
  for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
    const std::string colour = sums ? LossColour(mostLosses > 0 ? sums->losses[v] / mostLosses : 0) : "#444";
    std::fprintf(file, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" stroke-width=\"%s\"/>\n",
                 at.x[tree.parent[v]], at.y[v], at.x[v], at.y[v], colour.c_str(), sums ? (at.large ? "3" : "4") : "1.2");
  }
  std::fprintf(file, "</g>\n");
}

// Names of the leaves, numbers of the inner nodes (as in the report), gains and losses above
// each branch that is long enough to hold them; a leaf's go after its name otherwise, and an
// inner branch too short keeps only its colour (the table has its numbers). Texts that may
// cross a line get a white halo.
void WriteLabels(std::FILE* file, const PhylogeneticTree& tree, const Layout& at,
                 const std::optional<Reconstruction>& sums) {
  const char* const halo = "stroke=\"white\" stroke-width=\"3\" paint-order=\"stroke\"";
  std::fprintf(file, "<g font-size=\"%.0f\">\n", at.font);
  for (std::uint32_t v = 0; v < tree.nodeCount; ++v) {
    std::string events;
    bool onBranch = false;
    if (sums && v != 0) {
      events = "<tspan fill=\"#1a7a35\">+" + Count(sums->gains[v]) + "</tspan> <tspan fill=\"#b30000\">\u2212" +
               Count(sums->losses[v]) + "</tspan>";
      const double textWidth = 0.6 * at.small * static_cast<double>(Count(sums->gains[v]).size() +
                                                                   Count(sums->losses[v]).size() + 3);
      const bool fits = at.x[v] - at.x[tree.parent[v]] >= textWidth + 4;
      // A small tree has room to the left of a short branch, over its parent's line.
      onBranch = fits || (!at.large && !tree.IsLeaf(v));
      if (onBranch) {
        std::fprintf(file, "<text x=\"%.1f\" y=\"%.1f\" font-size=\"%.0f\" text-anchor=\"%s\" %s>%s</text>\n",
                     fits ? (at.x[tree.parent[v]] + at.x[v]) / 2 : at.x[v] - 2, at.y[v] - (at.large ? 2.5 : 4),
                     at.small, fits ? "middle" : "end", halo, events.c_str());
      }
    }
    if (tree.IsLeaf(v)) {
      std::fprintf(file, "<text x=\"%.1f\" y=\"%.1f\">%s", at.x[v] + 6, at.y[v] + at.font * 0.35,
                   Escaped(tree.nodeNames[v]).c_str());
      if (!events.empty() && !onBranch) {
        std::fprintf(file, " <tspan font-size=\"%.0f\">%s</tspan>", at.small, events.c_str());
      }
      std::fprintf(file, "</text>\n");
    } else {
      std::fprintf(file, "<text x=\"%.1f\" y=\"%.1f\" font-size=\"%.0f\" fill=\"#555\" text-anchor=\"end\" %s>%u</text>\n",
                   at.x[v] - 3, at.y[v] + at.small + 1, at.small, halo, static_cast<unsigned>(v));
    }
  }
  std::fprintf(file, "</g>\n");
}

// Ticks in NiceStep's steps cut the span into about six parts; far more means a span that the
// step cannot resolve (one too large for its doubles to move), where ticks would never end.
constexpr int kMaxTicks = 100;

// The time axis: ages before the deepest leaf, in millions of years (the tree's unit is 1000).
// A tree that is no time tree gets its lengths in the file's own unit instead.
void WriteAxis(std::FILE* file, const FitReport& report, const Layout& at) {
  const PhylogeneticTree& tree = report.tree;
  const bool times = report.Ultrametric();
  const double perUnit = times || tree.fileUnit <= 0 ? 1000 : 1000 / tree.fileUnit;
  const double axis = at.treeBottom + 18;
  std::fprintf(file, "<g font-size=\"%.0f\" fill=\"#333\">\n", at.small);
  std::fprintf(file, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#333\"/>\n", at.left, axis,
               at.left + at.treeWidth, axis);
  const double span = at.deepest * perUnit;
  if (at.deepest > 0 && std::isfinite(span)) {
    const double step = NiceStep(span, 6);
    int ticks = 0;
    for (double age = 0; age <= span * (1 + 1e-9) && ticks < kMaxTicks; age += step, ++ticks) {
      const double x = at.left + at.treeWidth - age / perUnit * at.scale;
      std::fprintf(file, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#333\"/>\n", x, axis, x,
                   axis + 4);
      std::fprintf(file, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%g</text>\n", x, axis + 6 + at.small, age);
    }
  }
  std::string axisName = times ? "million years ago" : "branch length before the deepest leaf, in the unit of the tree "
                                                         "file (not times: the leaves do not line up)";
  if (!tree.unitSetting.empty()) axisName += " (tree unit: " + tree.unitSetting + ")";
  std::fprintf(file, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n", at.left + at.treeWidth / 2,
               axis + 10 + 2 * at.small, Escaped(axisName).c_str());
  std::fprintf(file, "</g>\n");
}

void WriteLegend(std::FILE* file, const Layout& at, const std::optional<Reconstruction>& sums, double mostLosses,
                 std::uint32_t geneCount) {
  const double legend = at.treeBottom + 18 + 50, left = at.left;
  std::fprintf(file, "<g font-size=\"12\">\n");
  if (sums) {
    std::fprintf(file, "<defs><linearGradient id=\"losses\">");
    for (int i = 0; i < kStops; ++i) {
      std::fprintf(file, "<stop offset=\"%g\" stop-color=\"%s\"/>", i / static_cast<double>(kStops - 1),
                   LossColour(i / static_cast<double>(kStops - 1)).c_str());
    }
    std::fprintf(file, "</linearGradient></defs>\n");
    std::fprintf(file,
                 "<text x=\"%.0f\" y=\"%.1f\">On each branch: <tspan fill=\"#1a7a35\">+expected gains</tspan> "
                 "<tspan fill=\"#b30000\">\u2212expected losses</tspan>, summed over %u genes; "
                 "inner nodes are numbered as in the report.</text>\n",
                 left, legend, static_cast<unsigned>(geneCount));
    std::fprintf(file, "<rect x=\"%.0f\" y=\"%.1f\" width=\"200\" height=\"10\" fill=\"url(#losses)\"/>\n", left,
                 legend + 12);
    std::fprintf(file, "<text x=\"%.0f\" y=\"%.1f\" font-size=\"10\">0</text>\n", left, legend + 34);
    std::fprintf(file, "<text x=\"%.0f\" y=\"%.1f\" font-size=\"10\" text-anchor=\"end\">%s</text>\n", left + 200,
                 legend + 34, Count(mostLosses).c_str());
    std::fprintf(file, "<text x=\"%.0f\" y=\"%.1f\">colour: expected losses on the branch</text>\n", left + 212,
                 legend + 21);
    if (at.large) {
      std::fprintf(file,
                   "<text x=\"%.0f\" y=\"%.1f\">Numbers of inner branches too short to hold them are in the branch "
                   "table, the run's branches.tsv.</text>\n",
                   left, legend + 54);
    }
  } else {
    std::fprintf(file,
                 "<text x=\"%.0f\" y=\"%.1f\">Inner nodes are numbered as in the report. Gains and losses are shown "
                 "with ancestral reconstruction on (line 42 of the control file).</text>\n",
                 left, legend);
  }
  std::fprintf(file, "</g>\n");
}

}  // namespace

// A rectangular cladogram drawn to time: the root at the left, every leaf in its own row and
// every node at its distance from the root, a time axis in millions of years before the leaves.
// Each branch shows the expected gains and losses summed over genes and is coloured by its losses.
void WriteTreePicture(std::FILE* file, const FitReport& report, const std::string& title) {
  const PhylogeneticTree& tree = report.tree;
  std::optional<Reconstruction> sums;
  if (report.Reconstructed()) sums.emplace(tree, report.data, report.ancestral);
  const Layout at(tree, sums.has_value());
  double mostLosses = 0;
  if (sums) {
    for (std::uint32_t v = 1; v < tree.nodeCount; ++v) mostLosses = std::max(mostLosses, sums->losses[v]);
  }
  const double width = std::max(at.width, 560.0);
  std::fprintf(file,
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\" "
               "font-family=\"Helvetica, Arial, sans-serif\">\n"
               "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
               width, at.height, width, at.height);
  std::fprintf(file, "<text x=\"%.0f\" y=\"28\" font-size=\"16\" font-weight=\"bold\">%s</text>\n", at.left,
               Escaped(title).c_str());
  WriteBranches(file, tree, at, sums, mostLosses);
  WriteLabels(file, tree, at, sums);
  WriteAxis(file, report, at);
  WriteLegend(file, at, sums, mostLosses, report.data.geneCount);
  std::fprintf(file, "</svg>\n");
}

}  // namespace vorn
