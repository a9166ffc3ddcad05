#include "support/test_support.h"

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace vorn {
namespace testing_support {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vorn_test_XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ScopedChdir::ScopedChdir(const std::string& dir) : previous_(std::filesystem::current_path().string()) {
  std::filesystem::current_path(dir);
}

ScopedChdir::~ScopedChdir() {
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
}

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string ReadText(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

std::vector<std::string> TemporaryFilesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".tmp-") != std::string::npos) names.push_back(name);
  }
  return names;
}

FilePtr StreamOf(const std::string& text) {
  FilePtr file(std::tmpfile());
  if (!file) throw std::runtime_error("tmpfile failed");
  std::fwrite(text.data(), 1, text.size(), file.get());
  std::rewind(file.get());
  return file;
}

std::string Contents(std::FILE* file) {
  std::string text;
  std::rewind(file);
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, got);
  return text;
}

std::string TestData(const std::string& relative) { return std::string(TESTDATA_DIR) + "/" + relative; }

std::vector<std::vector<std::string>> CaseTable(const std::string& name) {
  std::vector<std::vector<std::string>> records;
  std::istringstream lines(ReadText(TestData("cases/" + name)));
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line.compare(i, 3, " | ") == 0) {
        fields.emplace_back();
        i += 2;
      } else if (line[i] == '\\' && i + 1 < line.size()) {
        const char c = line[++i];
        if (c == 'x') {
          fields.back() += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
          i += 2;
        } else {
          fields.back() += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
        }
      } else {
        fields.back() += line[i];
      }
    }
    records.push_back(fields);
  }
  EXPECT_FALSE(records.empty()) << name;
  return records;
}

testing::AssertionResult SameTextAndNumbers(const std::string& actual, const std::string& expected,
                                            double tolerance) {
  const std::regex number("[-+]?([0-9]+[.]?[0-9]*|[.][0-9]+)([eE][-+]?[0-9]+)?");
  auto split = [&number](const std::string& text, std::vector<std::string>& words, std::vector<double>& values) {
    std::size_t at = 0;
    for (std::sregex_iterator it(text.begin(), text.end(), number), end; it != end; ++it) {
      words.push_back(text.substr(at, it->position() - at));
      values.push_back(std::stod(it->str()));
      at = it->position() + it->length();
    }
    words.push_back(text.substr(at));
  };
  std::vector<std::string> actualWords, expectedWords;
  std::vector<double> actualValues, expectedValues;
  split(actual, actualWords, actualValues);
  split(expected, expectedWords, expectedValues);
  if (actualWords != expectedWords) {
    return testing::AssertionFailure() << "texts differ beside their numbers:\n" << actual << "\nexpected:\n" << expected;
  }
  for (std::size_t i = 0; i < actualValues.size(); ++i) {
    const double a = actualValues[i], e = expectedValues[i];
    if (std::abs(a - e) > tolerance * std::max(std::abs(e), 1e-300)) {
      char values[96];
      std::snprintf(values, sizeof values, "%.17g, expected %.17g", a, e);
      return testing::AssertionFailure() << "number " << i + 1 << " (after '" << actualWords[i] << "') is " << values;
    }
  }
  return testing::AssertionSuccess();
}

}  // namespace testing_support
}  // namespace vorn
