// Reading of the settings after line 52.
#include "input/settings.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "data/diagnostics.h"
#include "data/reader_settings.h"
#include "data/text_io.h"
#include "estimation/fit_settings.h"
#include "input/input_reader.h"
#include "input/template_reader.h"

namespace vorn {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

// What a setting's reader may fill.
struct Targets {
  FitSettings* fit;
  ReaderSettings* reader;
  SimulationSettings* simulation;
};

// One setting: its name as written (lower case, single blanks), whether it says how files are
// read (and is taken by the prescan), and how it takes its value; false after printing what it
// expected.
struct Setting {
  const char* name;
  bool reader;
  bool (*read)(std::string_view value, unsigned line, Targets targets);
};

bool Refuse(unsigned line, const char* name, const char* expected, std::string_view value) {
  std::fprintf(stderr, "Error:VORN:ReadInput: Line %u: the setting '%s' takes %s, not '%.*s'\n", line, name,
               expected, static_cast<int>(value.size()), value.data());
  return false;
}

bool ReadOptimizer(std::string_view value, unsigned line, Targets targets) {
  const std::string word = Lower(value);
  if (word == "em") {
    targets.fit->optimizer = Optimizer::kEm;
  } else if (word == "fast") {
    targets.fit->optimizer = Optimizer::kFast;
  } else {
    return Refuse(line, "optimizer", "em or fast", value);
  }
  return true;
}

bool ReadOnOff(std::string_view value, unsigned line, const char* name, bool* target) {
  const std::string word = Lower(value);
  if (word != "on" && word != "off") return Refuse(line, name, "on or off", value);
  *target = word == "on";
  return true;
}

bool ReadStarts(std::string_view value, unsigned line, Targets targets) {
  unsigned long long starts = 0;
  if (!ParseUnsigned(value, kMaxStarts, &starts) || starts == 0) {
    return Refuse(line, "starts", "a whole number from 1 to 1000", value);
  }
  targets.fit->starts = static_cast<std::uint32_t>(starts);
  return true;
}

bool ReadSearch(std::string_view value, unsigned line, Targets targets) {
  const std::string word = Lower(value);
  if (word == "each") {
    targets.fit->search = Search::kEach;
  } else if (word == "screen") {
    targets.fit->search = Search::kScreen;
  } else {
    return Refuse(line, "search", "each or screen", value);
  }
  return true;
}

bool ReadConditionOnPresence(std::string_view value, unsigned line, Targets targets) {
  return ReadOnOff(value, line, "condition on presence", &targets.fit->conditionOnPresence);
}

bool ReadStandardErrors(std::string_view value, unsigned line, Targets targets) {
  return ReadOnOff(value, line, "standard errors", &targets.fit->standardErrors);
}

// The simulation's category counts are those of the fit, known only once lines 36 and 37 are
// read: the reader copies them after the settings (a count of 1 marks the choice here).
bool ReadSimulatedRates(std::string_view value, unsigned line, Targets targets) {
  const std::string word = Lower(value);
  if (word == "gamma") {
    targets.simulation->lossCategories = targets.simulation->gainCategories = 0;
  } else if (word == "categories") {
    targets.simulation->lossCategories = targets.simulation->gainCategories = 1;
  } else {
    return Refuse(line, "simulated rates", "gamma or categories", value);
  }
  return true;
}

bool ReadFamilyPosteriors(std::string_view value, unsigned line, Targets targets) {
  return ReadOnOff(value, line, "family posteriors", &targets.fit->familyPosteriors);
}

bool ReadEventThreshold(std::string_view value, unsigned line, Targets targets) {
  double threshold = 0;
  if (!ParseDouble(value, &threshold) || !(threshold >= 0 && threshold <= 1)) {
    return Refuse(line, "event threshold", "a probability from 0 to 1", value);
  }
  targets.fit->eventThreshold = threshold;
  return true;
}

// "My", "100My", "Gy", a number of millions of years followed by "My", or that number alone.
bool ReadTreeUnit(std::string_view value, unsigned line, Targets targets) {
  const std::string word = Lower(value);
  double millionYears = 0;
  if (word == "gy") {
    millionYears = 1000;
  } else if (word == "my") {
    millionYears = 1;
  } else {
    std::string_view number = value;
    if (word.size() > 2 && word.compare(word.size() - 2, 2, "my") == 0) number.remove_suffix(2);
    if (!ParseDouble(Trim(number), &millionYears) || !(millionYears > 0)) millionYears = 0;
  }
  if (millionYears == 0) {
    return Refuse(line, "tree unit", "My, 100My, Gy or a positive number of millions of years per unit", value);
  }
  targets.reader->treeUnit = std::string(value);
  targets.reader->millionYearsPerUnit = millionYears;
  return true;
}

bool ReadTreeName(std::string_view value, unsigned line, Targets targets) {
  if (value.empty()) return Refuse(line, "tree name", "the name of a tree of a NEXUS file", value);
  targets.reader->treeName = std::string(value);
  return true;
}

// A share of the root's depth: 0.05, or 5 %.
bool ReadUltrametricTolerance(std::string_view value, unsigned line, Targets targets) {
  std::string_view number = value;
  const bool percent = !number.empty() && number.back() == '%';
  if (percent) number.remove_suffix(1);
  double share = 0;
  if (!ParseDouble(Trim(number), &share) || share < 0 || (percent ? share > 100 : share > 1)) {
    return Refuse(line, "ultrametric tolerance", "a share of the root's depth from 0 to 1, or a percentage", value);
  }
  targets.reader->ultrametricTolerance = percent ? share / 100 : share;
  return true;
}

bool ReadInternalLabels(std::string_view value, unsigned line, Targets targets) {
  const std::string word = Lower(value);
  for (InternalLabels mode : {InternalLabels::kAuto, InternalLabels::kNames, InternalLabels::kSupport}) {
    if (word == InternalLabelsName(mode)) {
      targets.reader->internalLabels = mode;
      return true;
    }
  }
  return Refuse(line, "internal labels", "auto, names or support", value);
}

bool ReadGeneColumn(std::string_view value, unsigned line, Targets targets) {
  if (value.empty() || value.size() > kMaxNameLength) {
    return Refuse(line, "gene column", "the name of a column of the table", value);
  }
  targets.reader->geneColumn = std::string(value);
  return true;
}

bool ReadLeavesWithoutData(std::string_view value, unsigned line, Targets targets) {
  const std::string word = Lower(value);
  for (LeavesWithoutData mode : {LeavesWithoutData::kError, LeavesWithoutData::kUnknown, LeavesWithoutData::kPrune}) {
    if (word == LeavesWithoutDataName(mode)) {
      targets.reader->leavesWithoutData = mode;
      return true;
    }
  }
  return Refuse(line, "leaves without data", "error, unknown or prune", value);
}

const Setting kSettings[] = {
    {"optimizer", false, ReadOptimizer},
    {"starts", false, ReadStarts},
    {"search", false, ReadSearch},
    {"condition on presence", false, ReadConditionOnPresence},
    {"standard errors", false, ReadStandardErrors},
    {"simulated rates", false, ReadSimulatedRates},
    {"family posteriors", false, ReadFamilyPosteriors},
    {"event threshold", false, ReadEventThreshold},
    {"tree unit", true, ReadTreeUnit},
    {"tree name", true, ReadTreeName},
    {"ultrametric tolerance", true, ReadUltrametricTolerance},
    {"internal labels", true, ReadInternalLabels},
    {"gene column", true, ReadGeneColumn},
    {"leaves without data", true, ReadLeavesWithoutData},
};

// The setting a line names, and its value; null for a note or a line that names none.
const Setting* SettingOf(std::string_view text, std::string_view* value) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return nullptr;
  // Names compare without case and with any run of blanks as one.
  std::string name;
  for (char c : Lower(Trim(text.substr(0, colon)))) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      if (!name.empty() && name.back() != ' ') name += ' ';
    } else {
      name += c;
    }
  }
  for (const Setting& s : kSettings) {
    if (name == s.name) {
      *value = Trim(text.substr(colon + 1));
      return &s;
    }
  }
  return nullptr;
}

}  // namespace

bool PrescanReaderSettings(std::FILE* input, ReaderSettings& reader, PrescannedSettings& prescanned) {
  prescanned = PrescannedSettings();
  const long start = std::ftell(input);
  if (start < 0) return true;
  std::string line;
  bool tooLong = false, ok = true;
  for (unsigned number = 1; ok && ReadLine(input, line, kMaxInputLineLength, &tooLong); ++number) {
    // Too long a line is the template reader's to refuse, in its place.
    if (number <= control_file::kLastLine || tooLong) continue;
    std::string_view value;
    const Setting* setting = SettingOf(Trim(line), &value);
    if (!setting || !setting->reader) continue;
    ok = setting->read(value, number, Targets{nullptr, &reader, nullptr});
    prescanned.lines.push_back(number);
  }
  std::clearerr(input);
  if (std::fseek(input, start, SEEK_SET) != 0) return true;
  prescanned.done = true;
  return ok;
}

bool ReadSettings(std::FILE* input, unsigned firstLine, ControlFile& control, const PrescannedSettings& prescanned) {
  std::string line;
  bool tooLong = false;
  for (unsigned taken : prescanned.lines) {
    if (taken < firstLine) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Line %u names a setting but is one of the 52 template lines (a "
                   "list goes on over more lines); settings follow the template's last line\n", taken);
      return false;
    }
  }
  // The line of each setting given, by its place in kSettings: a second one would silently win.
  unsigned given[sizeof kSettings / sizeof kSettings[0]] = {};
  for (unsigned number = firstLine; ReadLine(input, line, kMaxInputLineLength, &tooLong); ++number) {
    if (tooLong) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Line %u of the input file is longer than %u characters\n", number,
                   static_cast<unsigned>(kMaxInputLineLength));
      return false;
    }
    const std::string_view text = Trim(line);
    if (text.empty() || text.front() == '%') continue;
    std::string_view value;
    const Setting* setting = SettingOf(text, &value);
    if (!setting) {
      Warn("unknown-setting", "ReadInput", "Line %u ('%.*s') is not a setting; it is ignored", number,
           static_cast<int>(text.size()), text.data());
      continue;
    }
    unsigned& first = given[setting - kSettings];
    if (first != 0) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Line %u gives the setting '%s' again, after line %u; give each "
                   "setting once\n", number, setting->name, first);
      return false;
    }
    first = number;
    if (setting->reader) {
      if (!prescanned.done) {
        std::fprintf(stderr, "Error:VORN:ReadInput: Line %u: the setting '%s' needs a control file that can be read "
                     "twice, not a stream\n", number, setting->name);
        return false;
      }
      continue;  // taken before the tree was read
    }
    if (!setting->read(value, number, Targets{&control.fit, nullptr, &control.simulation})) return false;
  }
  return true;
}

}  // namespace vorn
