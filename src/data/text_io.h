// Line and token reading shared by every text reader, and the number parsing they agree on.
#pragma once
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

// Token separators of every text form the program reads. A carriage return counts as white
// space, so files saved with DOS line ends read like any other.
constexpr std::string_view kTokenSeparators = " ,\t\n\r";

// Reads one line without its line feed. Returns false only at the end of the file with nothing
// read, so a last line without a line feed is still delivered. With a limit, stops at limit + 1
// characters and reports the line as too long through *tooLong (the rest of the line is skipped).
bool ReadLine(std::FILE* file, std::string& line);
bool ReadLine(std::FILE* file, std::string& line, std::size_t limit, bool* tooLong);

// Skips a UTF-8 byte-order mark at the current position (the start of a file), which editors on
// some systems put before the first line; anything else stays to be read.
void SkipByteOrderMark(std::FILE* file);

// Splits at any of kTokenSeparators; empty tokens are dropped.
std::vector<std::string_view> Tokenize(std::string_view line);

// What makes a name unfit for the outputs, which hold names in lines, in tab-separated columns,
// in JSON and in XML: "a tab", "a line feed", "a carriage return", "a control character" or "a
// byte that is not UTF-8"; nullptr for a fit name.
const char* NameFault(std::string_view name);
// The name with its control characters and stray bytes as \t, \n, \r and \xHH, for a message.
std::string EscapedName(std::string_view name);

// Whole-token number parsing: false unless the token is exactly one number of that kind.
bool ParseUnsigned(std::string_view token, unsigned long long max, unsigned long long* value);
bool ParseInt(std::string_view token, long long* value);
bool ParseDouble(std::string_view token, double* value);

}  // namespace vorn
