// Reading of the settings after line 52.
#include "input/settings.h"

#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

#include "data/text_io.h"
#include "estimation/fit_settings.h"
#include "input/input_reader.h"

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

// One setting: its name as written (lower case, single blanks) and how it takes its value; false
// after printing what it expected.
struct Setting {
  const char* name;
  bool (*read)(std::string_view value, unsigned line, FitSettings& settings);
};

bool Refuse(unsigned line, const char* name, const char* expected, std::string_view value) {
  std::fprintf(stderr, "Error:VORN:ReadInput: Line %u: the setting '%s' takes %s, not '%.*s'\n", line, name,
               expected, static_cast<int>(value.size()), value.data());
  return false;
}

bool ReadOptimizer(std::string_view value, unsigned line, FitSettings& settings) {
  const std::string word = Lower(value);
  if (word == "em") {
    settings.optimizer = Optimizer::kEm;
  } else if (word == "fast") {
    settings.optimizer = Optimizer::kFast;
  } else {
    return Refuse(line, "optimizer", "em or fast", value);
  }
  return true;
}

bool ReadStarts(std::string_view value, unsigned line, FitSettings& settings) {
  unsigned long long starts = 0;
  if (!ParseUnsigned(value, kMaxStarts, &starts) || starts == 0) {
    return Refuse(line, "starts", "a whole number from 1 to 1000", value);
  }
  settings.starts = static_cast<std::uint32_t>(starts);
  return true;
}

bool ReadSearch(std::string_view value, unsigned line, FitSettings& settings) {
  const std::string word = Lower(value);
  if (word == "each") {
    settings.search = Search::kEach;
  } else if (word == "screen") {
    settings.search = Search::kScreen;
  } else {
    return Refuse(line, "search", "each or screen", value);
  }
  return true;
}

bool ReadConditionOnPresence(std::string_view value, unsigned line, FitSettings& settings) {
  const std::string word = Lower(value);
  if (word == "on") {
    settings.conditionOnPresence = true;
  } else if (word == "off") {
    settings.conditionOnPresence = false;
  } else {
    return Refuse(line, "condition on presence", "on or off", value);
  }
  return true;
}

const Setting kSettings[] = {
    {"optimizer", ReadOptimizer},
    {"starts", ReadStarts},
    {"search", ReadSearch},
    {"condition on presence", ReadConditionOnPresence},
};

}  // namespace

bool ReadSettings(std::FILE* input, unsigned firstLine, FitSettings& settings) {
  std::string line;
  bool tooLong = false;
  for (unsigned number = firstLine; ReadLine(input, line, kMaxInputLineLength, &tooLong); ++number) {
    if (tooLong) {
      std::fprintf(stderr, "Error:VORN:ReadInput: Line %u of the input file is longer than %u characters\n", number,
                   static_cast<unsigned>(kMaxInputLineLength));
      return false;
    }
    const std::string_view text = Trim(line);
    if (text.empty() || text.front() == '%') continue;
    const std::size_t colon = text.find(':');
    const Setting* setting = nullptr;
    if (colon != std::string_view::npos) {
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
        if (name == s.name) setting = &s;
      }
    }
    if (!setting) {
      std::fprintf(stderr, "Warning:VORN:ReadInput: Line %u ('%.*s') is not a setting; it is ignored\n", number,
                   static_cast<int>(text.size()), text.data());
      continue;
    }
    if (!setting->read(Trim(text.substr(colon + 1)), number, settings)) return false;
  }
  return true;
}

}  // namespace vorn
