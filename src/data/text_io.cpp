// Line, token and number reading.
#include "data/text_io.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace vorn {

bool ReadLine(std::FILE* file, std::string& line) {
  bool tooLong = false;
  return ReadLine(file, line, std::string::npos, &tooLong);
}

bool ReadLine(std::FILE* file, std::string& line, std::size_t limit, bool* tooLong) {
  line.clear();
  *tooLong = false;
  int c = std::getc(file);
  if (c == EOF) return false;
  while (c != EOF && c != '\n') {
    if (line.size() < limit) {
      line.push_back(static_cast<char>(c));
    } else {
      *tooLong = true;
    }
    c = std::getc(file);
  }
  return true;
}

void SkipByteOrderMark(std::FILE* file) {
  const long start = std::ftell(file);
  const int first = std::getc(file);
  if (first != 0xEF) {
    if (first != EOF) std::ungetc(first, file);
    return;
  }
  if (std::getc(file) == 0xBB && std::getc(file) == 0xBF) return;
  // Another character that begins with the same byte: back to the start, which every file the
  // program reads can seek to.
  if (start >= 0) std::fseek(file, start, SEEK_SET);
}

std::vector<std::string_view> Tokenize(std::string_view line) {
  std::vector<std::string_view> tokens;
  std::size_t start = line.find_first_not_of(kTokenSeparators);
  while (start != std::string_view::npos) {
    std::size_t end = line.find_first_of(kTokenSeparators, start);
    if (end == std::string_view::npos) end = line.size();
    tokens.push_back(line.substr(start, end - start));
    start = line.find_first_not_of(kTokenSeparators, end);
  }
  return tokens;
}

namespace {

// The length of the well-formed UTF-8 sequence at name[at] (1 for ASCII), or 0 for none: no
// overlong forms, no surrogates, nothing past U+10FFFF.
std::size_t Utf8Length(std::string_view name, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(name[i]); };
  const unsigned char b = byte(at);
  if (b < 0x80) return 1;
  std::size_t length = 0;
  unsigned low = 0x80, high = 0xBF;  // the range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3;
    if (b == 0xE0) low = 0xA0;
    if (b == 0xED) high = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > name.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

const char* NameFault(std::string_view name) {
  for (std::size_t at = 0; at < name.size();) {
    const char c = name[at];
    if (c == '\t') return "a tab";
    if (c == '\n') return "a line feed";
    if (c == '\r') return "a carriage return";
    if ((c >= 0 && c < 0x20) || c == 0x7F) return "a control character";
    const std::size_t length = Utf8Length(name, at);
    if (length == 0) return "a byte that is not UTF-8";
    at += length;
  }
  return nullptr;
}

std::string EscapedName(std::string_view name) {
  std::string escaped;
  for (std::size_t at = 0; at < name.size();) {
    const unsigned char c = static_cast<unsigned char>(name[at]);
    const std::size_t length = Utf8Length(name, at);
    if (c == '\t') {
      escaped += "\\t";
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else if (c < 0x20 || c == 0x7F || length == 0) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(c));
      escaped += hex;
    } else {
      escaped.append(name.substr(at, length));
      at += length;
      continue;
    }
    ++at;
  }
  return escaped;
}

bool ParseUnsigned(std::string_view token, unsigned long long max, unsigned long long* value) {
  if (token.empty() || token.size() > 40) return false;
  unsigned long long result = 0;
  std::size_t i = token[0] == '+' ? 1 : 0;
  if (i == token.size()) return false;
  for (; i < token.size(); ++i) {
    if (token[i] < '0' || token[i] > '9') return false;
    const unsigned digit = static_cast<unsigned>(token[i] - '0');
    if (result > (max - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

bool ParseInt(std::string_view token, long long* value) {
  if (token.empty()) return false;
  const bool negative = token[0] == '-';
  if (negative) token.remove_prefix(1);
  unsigned long long magnitude = 0;
  if (!ParseUnsigned(token, 9223372036854775807ULL, &magnitude)) return false;
  *value = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
  return true;
}

bool ParseDouble(std::string_view token, double* value) {
  if (token.empty() || token.size() > 400) return false;
  const std::string text(token);
  char* end = nullptr;
  errno = 0;
  const double result = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) return false;
  // Underflow to a tiny value is fine; "inf", "nan" and overflow are not numbers a file should hold.
  if (!std::isfinite(result)) return false;
  *value = result;
  return true;
}

}  // namespace vorn
