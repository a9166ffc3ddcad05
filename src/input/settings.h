// The optional "name: value" settings after the 52 template lines.
#pragma once
#include <cstdio>
#include <vector>

namespace vorn {

struct ControlFile;
struct ReaderSettings;

// The lines that PrescanReaderSettings took reader settings from; done is false when the control
// file could not be read twice (a stream that cannot seek), and then no reader setting applies.
struct PrescannedSettings {
  bool done = false;
  std::vector<unsigned> lines;
};

// The settings that say how the tree and the table are to be read stand after line 52, but those
// files are read on lines 3 and 8: so before the template is read, every line after line 52 that
// names a reader setting is taken, and the stream is put back where it was. A value the setting
// cannot take is an error (one line, false).
bool PrescanReaderSettings(std::FILE* input, ReaderSettings& reader, PrescannedSettings& prescanned);

// Reads the optional settings that follow the 52 template lines, one "name: value" per line, up to
// the end of the file. firstLine is the file line number of the first of them. Blank lines and
// lines starting with "%" are notes; a line that names no known setting gets one warning and is
// ignored, so that old control files with trailing notes keep working. A known setting with a
// value it cannot take is an error (one line, false). The reader settings were taken by the
// prescan; a line it took that turns out to be one of the template's (a list went on over more
// lines) is an error too.
bool ReadSettings(std::FILE* input, unsigned firstLine, ControlFile& control, const PrescannedSettings& prescanned);

}  // namespace vorn
