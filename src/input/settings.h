// The optional "name: value" settings after the 52 template lines.
#pragma once
#include <cstdio>

namespace vorn {

struct FitSettings;

// Reads the optional settings that follow the 52 template lines, one "name: value" per line, up to
// the end of the file. firstLine is the file line number of the first of them. Blank lines and
// lines starting with "%" are notes; a line that names no known setting gets one warning and is
// ignored, so that old control files with trailing notes keep working. A known setting with a
// value it cannot take is an error (one line, false).
bool ReadSettings(std::FILE* input, unsigned firstLine, FitSettings& settings);

}  // namespace vorn
