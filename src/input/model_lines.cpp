// Lines 14-33 of the control file: the model's draws, and its parameters, fixed or estimated.
#include "input/section_readers.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <string_view>

#include "data/phylogenetic_tree.h"
#include "data/text_io.h"
#include "estimation/evol_model.h"
#include "input/input_reader.h"

namespace vorn {
namespace control_file {

bool ReadDrawParameters(TemplateReader& in, DrawParameters& draws) {
  double value[2] = {0, 0};
  // Lower ends of uniform draws and the parent weights of the tree-correlated ones must stay in
  // [0, 1], or the drawn probabilities leave it.
  auto lowerEnd = [&in](double read, double* lower) {
    if (!(read > 0)) return true;
    if (!CheckRange(read, Range::kProbability, in.item())) return false;
    *lower = read;
    return true;
  };
  auto weightAndMean = [&in, &value](double* weight, double* mean) {
    if (value[0] >= 0) {
      if (!CheckRange(value[0], Range::kProbability, in.item())) return false;
      *weight = value[0];
    }
    if (value[1] > 0) *mean = value[1];
    return true;
  };

  if (!in.Next(14) || !in.ReadDouble("p0: ", value) || !lowerEnd(value[0], &draws.p0Lower)) return false;
  if (!in.Next(15) || !in.ReadDouble("theta: ", value)) return false;
  if (value[0] > 0) draws.thetaMean = value[0];
  if (!in.Next(16) || !in.ReadDoubles("phi: ", value, 2) || !weightAndMean(&draws.phiWeight, &draws.phiMean)) {
    return false;
  }
  if (!in.Next(17) || !in.ReadDouble("eta: ", value)) return false;
  if (value[0] > 0) draws.etaMean = value[0];
  if (!in.Next(18) || !in.ReadDoubles("xi: ", value, 2) || !weightAndMean(&draws.xiWeight, &draws.xiMean)) {
    return false;
  }
  if (!in.Next(19) || !in.ReadDouble("nu: ", value) || !lowerEnd(value[0], &draws.nuLower)) return false;
  if (!in.Next(20) || !in.ReadDouble("l-lambda: ", value)) return false;
  if (value[0] > 0) draws.llambdaMean = value[0];
  if (!in.Next(21) || !in.ReadDouble("g-lambda: ", value)) return false;
  if (value[0] > 0) draws.glambdaMean = value[0];
  return true;
}

namespace {

// Index-value pairs after the mode word of a "mix" line, each fixing one entry. They go on over
// further file lines and end at a "%" where an index would be; an index and its value share a line.
bool ReadPairs(TemplateReader& in, std::uint32_t checkedFrom, Range range, const std::string& tail,
               std::vector<double>& values, std::vector<std::uint8_t>& estimated) {
  std::size_t at = 2;
  if (!in.HasToken(at)) {
    std::fprintf(stderr, "Error:VORN:ReadInput: A numerical value is expected after %s\n", tail.c_str());
    return false;
  }
  for (;;) {
    while (!in.HasToken(at)) {
      if (!in.Continue()) return false;
      at = 0;
    }
    const std::string_view indexToken = in.TokenAt(at++);
    if (EndsList(indexToken)) return true;
    long long index = 0;
    if (!ParseInt(indexToken, &index)) {
      std::fprintf(stderr, "Error:VORN:ReadInput: %.*s is not an index in %s\n", static_cast<int>(indexToken.size()),
                   indexToken.data(), tail.c_str());
      return false;
    }
    if (index < 0 || index >= static_cast<long long>(values.size())) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Index %lld out of range in %s\n", index, tail.c_str());
      return false;
    }
    if (!in.HasToken(at) || EndsList(in.TokenAt(at))) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Uncomplete pair found in %s\n", tail.c_str());
      return false;
    }
    double value = 0;
    if (!ParseNumber(in.TokenAt(at++), tail, &value)) return false;
    if (index >= checkedFrom && !CheckRange(value, range, tail)) return false;
    values[index] = value;
    estimated[index] = 0;
  }
}

// The model line of a parameter with one entry per gene (theta, eta) or per node (phi, xi). The
// root (node entry 0) has no branch: it is never estimated and ends at 0 whatever the line says.
struct EntryLine {
  int line;
  const char* name;
  const char* unrecognizedTail;
  bool perNode;
  Range range;
  std::vector<double>& values;
  std::vector<std::uint8_t>& estimated;
  std::function<void()> draw;
};

bool ReadEntryLine(TemplateReader& in, const EntryLine& p, bool simulate) {
  std::string_view mode;
  if (!in.Next(p.line) || !in.Token(1, &mode)) return false;
  const std::uint32_t first = p.perNode ? 1 : 0;
  const std::string section = std::string("model parameters -> ") + p.name;
  if (Keyword(mode, "est")) {
    p.estimated.assign(p.values.size(), 1);
    if (simulate) p.draw();
  } else if (Keyword(mode, "fix")) {
    p.estimated.assign(p.values.size(), 0);
    const std::string tail = section + ": fixed";
    std::string_view token;
    if (!FirstListToken(in, tail, &token)) return false;
    if (Keyword(token, "rand")) {
      p.draw();
    } else if (!ReadValueList(in, first, p.range, tail, p.values, nullptr)) {
      return false;
    }
  } else if (Keyword(mode, "con")) {
    p.estimated.assign(p.values.size(), 0);
    std::string_view token;
    double value = 0;
    if (!in.Token(2, &token) || !ParseValue(token, p.range, section, &value)) return false;
    std::fill(p.values.begin() + first, p.values.end(), value);
  } else if (Keyword(mode, "mix")) {
    p.estimated.assign(p.values.size(), 1);
    // A simulation reads every entry, also those the pairs leave to the estimation.
    if (simulate) p.draw();
    if (!ReadPairs(in, first, p.range, section + ": mixed", p.values, p.estimated)) return false;
  } else {
    PrintUnrecognized(mode, p.unrecognizedTail);
    return false;
  }
  if (p.perNode) {
    p.values[0] = 0;
    p.estimated[0] = 0;
  }
  return true;
}

// "est" estimates (drawn when simulating); "fix" takes "inf" (no rate variation, stored as 0),
// "rand" or a shape.
bool ReadLambdaLine(TemplateReader& in, int line, const char* unrecognizedTail, bool& estimated, double& value,
                    double mean, double minimum, void (EvolModel::*drawInto)(double, double), EvolModel& model,
                    bool simulate) {
  // A mean hundreds of times below the minimum underflows the truncated exponential's formula.
  auto draw = [&] {
    (model.*drawInto)(mean, minimum);
    if (std::isfinite(value)) return true;
    std::fprintf(stderr, "Error:VORN:ReadInput: The draw with mean %lg and minimum %lg gives no finite value in %s\n",
                 mean, minimum, in.item());
    return false;
  };
  std::string_view mode;
  if (!in.Next(line) || !in.Token(1, &mode)) return false;
  if (Keyword(mode, "est")) {
    estimated = true;
    return !simulate || draw();
  }
  if (!Keyword(mode, "fix")) {
    PrintUnrecognized(mode, unrecognizedTail);
    return false;
  }
  estimated = false;
  std::string_view token;
  if (!in.Token(2, &token)) return false;
  if (token == "inf") {
    value = 0;
    return true;
  }
  if (token == "rand") return draw();
  return ParseValue(token, Range::kNonNegative, in.item(), &value);
}

// p0 (line 24) and nu (line 29): "est" (drawn when simulating), or "fix" with a probability or
// "rand" for a draw.
bool ReadProbabilityLine(TemplateReader& in, int line, const char* where, bool simulate,
                         const std::function<void()>& draw, double* value, bool* estimated) {
  std::string_view mode;
  if (!in.Next(line) || !in.Token(1, &mode)) return false;
  if (Keyword(mode, "est")) {
    *estimated = true;
    if (simulate) draw();
    return true;
  }
  if (!Keyword(mode, "fix")) {
    PrintUnrecognized(mode, where);
    return false;
  }
  *estimated = false;
  std::string_view token;
  if (!in.Token(2, &token)) return false;
  if (Keyword(token, "rand")) {
    draw();
    return true;
  }
  return ParseValue(token, Range::kProbability, in.item(), value);
}

}  // namespace

bool ReadModelSection(TemplateReader& in, const PhylogeneticTree& tree, ControlFile& control,
                      const DrawParameters& draws, bool simulate) {
  EvolModel& model = control.model;
  FitSettings& fit = control.fit;
  EstimationFlags& flags = fit.flags;
  if (!in.Next(22) || !in.Next(23)) return false;

  if (!ReadProbabilityLine(in, 24, " model parameters -> p0\n", simulate, [&] { model.DrawP0(draws.p0Lower); },
                           &model.p0, &flags.p0)) {
    return false;
  }

  const EntryLine lines[] = {
      {25, "theta", " model parameters -> theta\n", false, Range::kNonNegative, model.theta, flags.theta,
       [&] { model.DrawTheta(draws.thetaMean); }},
      {26, "phi", " model parameters -> phi\n", true, Range::kProbability, model.phi, flags.phi,
       [&] { model.DrawPhi(draws.phiWeight, tree, draws.phiMean); }},
      {27, "eta", " model parameters -> eta\n", false, Range::kNonNegative, model.eta, flags.eta,
       [&] { model.DrawEta(draws.etaMean); }},
      {28, "xi", " model parameters -> xi\n", true, Range::kProbability, model.xi, flags.xi,
       [&] { model.DrawXi(draws.xiWeight, tree, draws.xiMean); }},
  };
  for (const EntryLine& line : lines) {
    if (!ReadEntryLine(in, line, simulate)) return false;
  }

  if (!ReadProbabilityLine(in, 29, " model parameters -> nu\n", simulate, [&] { model.DrawNu(draws.nuLower); },
                           &model.nu, &flags.nu)) {
    return false;
  }
  if (flags.nu && in.HasToken(2) && Keyword(in.TokenAt(2), "fix")) fit.nuHeldFixed = true;

  double minimum = 0;
  if (!in.Next(30) || !in.ReadDouble("minimal l-lambda value: ", &minimum)) return false;
  fit.minLLambda = minimum > 0 ? minimum : 0.05;
  if (!in.Next(31) || !in.ReadDouble("minimal g-lambda value: ", &minimum)) return false;
  fit.minGLambda = minimum > 0 ? minimum : 0.06;

  return ReadLambdaLine(in, 32, " model parameters -> l-lambda\n", flags.llambda, model.llambda, draws.llambdaMean,
                        fit.minLLambda, &EvolModel::DrawLLambda, model, simulate) &&
         ReadLambdaLine(in, 33, " model parameters -> g-lambda\n", flags.glambda, model.glambda, draws.glambdaMean,
                        fit.minGLambda, &EvolModel::DrawGLambda, model, simulate);
}

}  // namespace control_file
}  // namespace vorn
