// Lines 34-52 of the control file: the control settings and how the estimated parameters start.
#include "input/section_readers.h"

#include <algorithm>
#include <string_view>

#include "data/diagnostics.h"
#include "input/input_reader.h"

namespace vorn {
namespace control_file {

namespace {

bool ReadCategoryCount(const TemplateReader& in, int count, std::uint16_t* categories) {
  const std::uint32_t most = std::min(ActiveInputLimits().maxCategories, kMaxCategories);
  if (static_cast<std::uint32_t>(count) > most) {
    std::fprintf(stderr, "Error:VORN:ReadInput: At most %d categories are possible in %s\n", static_cast<int>(most),
                 in.item());
    return false;
  }
  *categories = static_cast<std::uint16_t>(count);
  return true;
}

}  // namespace

bool ReadControlSection(TemplateReader& in, ControlFile& control) {
  FitSettings& fit = control.fit;
  const EvolModel& model = control.model;
  if (!in.Next(34) || !in.Next(35)) return false;

  // A shape of 0 not estimated means no variation: one loss category, or the zero-rate gain
  // category and one other, whatever the file asks.
  int asked = 0;
  if (!in.Next(36) || !in.ReadInt("# categories (loss distribution): ", &asked)) return false;
  int count = 1;
  if (fit.flags.llambda || model.llambda != 0) count = asked > 1 ? asked : 4;
  if (!ReadCategoryCount(in, count, &fit.lossCategories)) return false;

  if (!in.Next(37) || !in.ReadInt("# categories (gain distribution): ", &asked)) return false;
  count = 2;
  if (fit.flags.glambda || model.glambda != 0) {
    if (asked == 1) {
      Warn("single-gain-category", "ReadInput",
           "Gain rate variation cannot be described with a single category -> setting two categories");
      count = 2;
    } else {
      count = asked > 1 ? asked : 5;
    }
  }
  if (!ReadCategoryCount(in, count, &fit.gainCategories)) return false;

  // A negative tolerance is never met: the fit, or its inner Newton steps, would always run to
  // their limit.
  if (!in.Next(38) || !in.ReadDouble("likelihood tolerance: ", &fit.likelihoodTolerance) ||
      !CheckRange(fit.likelihoodTolerance, Range::kNonNegative, in.item())) {
    return false;
  }
  if (!in.Next(39) || !in.ReadDouble("parameter tolerance: ", &fit.parameterTolerance) ||
      !CheckRange(fit.parameterTolerance, Range::kNonNegative, in.item())) {
    return false;
  }
  if (!in.Next(40) || !in.ReadDouble("internal tolerance: ", &fit.internalTolerance) ||
      !CheckRange(fit.internalTolerance, Range::kNonNegative, in.item())) {
    return false;
  }

  int iterations = 0;
  if (!in.Next(41) || !in.ReadInt("maximum # iterations: ", &iterations)) return false;
  if (!CheckRange(iterations, Range::kNonNegative, in.item())) return false;
  fit.maxIterations = static_cast<std::uint32_t>(iterations);

  std::string word;
  if (!in.Next(42) || !in.ReadWord("ancestral reconstruction: ", &word)) return false;
  if (Keyword(word, "on")) {
    control.reconstruction = ReconstructionMode::kOn;
  } else if (Keyword(word, "of")) {
    control.reconstruction = ReconstructionMode::kOff;
  } else if (Keyword(word, "de")) {
    control.reconstruction = ReconstructionMode::kDetailed;
  } else {
    PrintUnrecognized(word, "control parameters -> ancestral reconstruction\n");
    return false;
  }
  return true;
}

namespace {

// The optional number after the mode word of an initialization line: *present is false when
// there is none (a "%" counts as none); a token that is not a number is an error.
bool OptionalNumber(const std::string_view* token, const char* where, bool* present, double* value) {
  *present = token && !EndsList(*token);
  return !*present || ParseNumber(*token, where, value);
}

// "<name>: <mode> <number>" for p0, nu and the lambdas. The random mode's number is a lower end
// of a uniform draw (p0, nu: used when >= 0) or a mean (the lambdas: used when > 0); the fixed
// mode's number is the starting value, stored only when the parameter is estimated.
struct ScalarInitLine {
  int line;
  const char* literal;
  const char* unrecognizedTail;
  const char* observedKeyword;  // nullptr: the line has no observed mode
  const char* randKeyword;
  const char* fixKeyword;
  bool randIsLowerEnd;
  Range range;
  std::string& mode;
  double& randNumber;
  bool estimated;
  double& value;
};

bool ReadScalarInitLine(TemplateReader& in, const ScalarInitLine& p) {
  std::vector<std::string_view> words;
  if (!in.Next(p.line) || !in.ReadWords(p.literal, "%s %lg", &words)) return false;
  const std::string_view word = words[0];
  const std::string_view* numberToken = words.size() > 1 ? &words[1] : nullptr;
  bool present = false;
  double number = 0;
  if (p.observedKeyword && Keyword(word, p.observedKeyword)) {
    p.mode = "observed";
  } else if (Keyword(word, p.randKeyword)) {
    p.mode = "rand";
    if (!OptionalNumber(numberToken, in.item(), &present, &number)) return false;
    if (present && p.randIsLowerEnd && number >= 0) {
      if (!CheckRange(number, Range::kProbability, in.item())) return false;
      p.randNumber = number;
    } else if (present && !p.randIsLowerEnd && number > 0) {
      p.randNumber = number;
    }
  } else if (Keyword(word, p.fixKeyword)) {
    p.mode = "fixed";
    if (!OptionalNumber(numberToken, in.item(), &present, &number)) return false;
    if (!present) return in.MissingValue();
    if (!CheckRange(number, p.range, in.item())) return false;
    if (p.estimated) p.value = number;
  } else {
    PrintUnrecognized(word, p.unrecognizedTail);
    return false;
  }
  return true;
}

// theta (line 46) and eta (line 48): a random mean, a value list or one value for every gene.
bool ReadGeneInitLine(TemplateReader& in, int line, const char* name, const char* unrecognizedTail,
                      std::string& mode, double& mean, std::vector<double>& values,
                      const std::vector<std::uint8_t>& estimated) {
  std::string_view word;
  if (!in.Next(line) || !in.Token(1, &word)) return false;
  if (Keyword(word, "ran")) {
    mode = "rand";
    bool present = false;
    double number = 0;
    const std::string_view token = in.HasToken(2) ? in.TokenAt(2) : std::string_view();
    if (!OptionalNumber(in.HasToken(2) ? &token : nullptr, in.item(), &present, &number)) return false;
    if (present && number > 0) mean = number;
  } else if (Keyword(word, "fix")) {
    mode = "fixed";
    const std::string tail = std::string("initialization parameters -> ") + name + ": fixed";
    std::string_view token;
    if (!FirstListToken(in, tail, &token) || !ReadValueList(in, 0, Range::kNonNegative, tail, values, &estimated)) {
      return false;
    }
  } else if (Keyword(word, "con")) {
    mode = "fixed";
    std::string_view token;
    double value = 0;
    if (!in.Token(2, &token) || !ParseValue(token, Range::kNonNegative, in.item(), &value)) return false;
    for (std::size_t g = 0; g < values.size(); ++g) {
      if (estimated[g]) values[g] = value;
    }
  } else {
    PrintUnrecognized(word, unrecognizedTail);
    return false;
  }
  return true;
}

// phi (line 47) and xi (line 49): from the Dollo reconstruction or a value list, node 0 first.
bool ReadNodeInitLine(TemplateReader& in, int line, const char* name, const char* unrecognizedTail,
                      std::string& mode, std::vector<double>& values, const std::vector<std::uint8_t>& estimated) {
  std::string_view word;
  if (!in.Next(line) || !in.Token(1, &word)) return false;
  if (Keyword(word, "dol")) {
    mode = "dollo";
  } else if (Keyword(word, "fix")) {
    mode = "fixed";
    const std::string tail = std::string("initialization parameters -> ") + name + ": fixed";
    std::string_view token;
    if (!FirstListToken(in, tail, &token) ||
        !ReadValueList(in, 1, Range::kProbability, tail, values, &estimated)) {
      return false;
    }
    values[0] = 0;
  } else {
    PrintUnrecognized(word, unrecognizedTail);
    return false;
  }
  return true;
}

}  // namespace

bool ReadInitializationSection(TemplateReader& in, ControlFile& control) {
  InitializationSettings& init = control.fit.initialization;
  EvolModel& model = control.model;
  const EstimationFlags& flags = control.fit.flags;
  if (!in.Next(43) || !in.Next(44)) return false;
  return ReadScalarInitLine(in, {45, "p0: ", "initialization parameters -> p0\n", "observed", "rand", "fix", true,
                                 Range::kProbability, init.p0Mode, init.p0Lower, flags.p0, model.p0}) &&
         ReadGeneInitLine(in, 46, "theta", "initialization parameters -> theta\n", init.thetaMode, init.thetaMean,
                          model.theta, flags.theta) &&
         ReadNodeInitLine(in, 47, "phi", "initialization parameters -> phi\n", init.phiMode, model.phi, flags.phi) &&
         ReadGeneInitLine(in, 48, "eta", "initialization parameters -> eta\n", init.etaMode, init.etaMean, model.eta,
                          flags.eta) &&
         ReadNodeInitLine(in, 49, "xi", "initialization parameters -> xi\n", init.xiMode, model.xi, flags.xi) &&
         ReadScalarInitLine(in, {50, "nu: ", "initialization parameters -> nu\n", "obs", "ran", "fix", true,
                                 Range::kProbability, init.nuMode, init.nuLower, flags.nu, model.nu}) &&
         ReadScalarInitLine(in, {51, "l-lambda: ", "initialization parameters -> l-lambda\n", nullptr, "rand",
                                 "fixed", false, Range::kNonNegative, init.llambdaMode, init.llambdaMean,
                                 flags.llambda, model.llambda}) &&
         ReadScalarInitLine(in, {52, "g-lambda: ", "initialization parameters -> g-lambda\n", nullptr, "rand",
                                 "fixed", false, Range::kNonNegative, init.glambdaMode, init.glambdaMean,
                                 flags.glambda, model.glambda});
}

}  // namespace control_file
}  // namespace vorn
