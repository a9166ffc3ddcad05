#include "support/input_template.h"

#include <sstream>

#include "driver/run_program.h"
#include "input/input_reader.h"
#include "numerics/run_seed.h"

namespace vorn {
namespace testing_support {

std::string ControlText(const std::map<int, std::string>& replacements) {
  std::vector<std::string> lines;
  std::istringstream file(ReadText(TestData("control_template.txt")));
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  for (const auto& [line, text] : replacements) {
    if (line > static_cast<int>(lines.size())) lines.resize(line);
    lines[line - 1] = text;
  }
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

const char* const kFourLeafPhyl =
    "7 Nodes (ID name age):\n1: 'root' 100\n2: 'AB' 40\n3: 'CD' 60\n4: 'A' 0\n5: 'B' 0\n6: 'C' 0\n7: 'D' 0\n\n"
    "Edges (ID from to):\n1: 1 2\n2: 1 3\n3: 2 4\n4: 2 5\n5: 3 6\n6: 3 7\n";

PhylogeneticTree FourLeafTree() {
  PhylogeneticTree tree;
  tree.treeName = "four";
  FilePtr file = StreamOf(kFourLeafPhyl);
  tree.ReadPhyl(file.get());
  return tree;
}

std::string DataSummary(const AlignmentData& data) {
  std::string text;
  for (const Pattern& pattern : data.patterns) {
    for (std::uint8_t value : pattern.values) text += static_cast<char>('0' + value);
    text += " ";
  }
  for (const Gene& gene : data.genes) {
    text += "| " + gene.geneName;
    for (std::uint32_t e = 0; e < gene.entryCount; ++e) {
      text += " " + std::to_string(gene.patternIndices[e]) + ":" + std::to_string(gene.counts[e]);
    }
    text += " (" + std::to_string(gene.filteredSites) + "/" + std::to_string(gene.allSites) + ") ";
  }
  return text + "| " + std::to_string(data.filteredSites) + "/" + std::to_string(data.allSites);
}

void WriteFourLeafRun(const std::string& control) {
  WriteText("tree.phyl", kFourLeafPhyl);
  WriteText("data.wp.txt", "0 1 1 0\n1 1 2 1\n0 0 0 1\n");
  WriteText("data.ngp.txt", "g1 5 0 2\ng2 1 1 1\n");
  WriteText("run.txt", control);
}

RunOutcome RunVorn(std::vector<const char*> args) {
  args.insert(args.begin(), "vorn");
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int status = RunProgram(static_cast<int>(args.size()), args.data());
  std::string err = testing::internal::GetCapturedStderr();
  return {status, testing::internal::GetCapturedStdout(), err};
}

bool ControlFileTest::Read(const std::string& text) {
  tree_ = PhylogeneticTree();
  data_ = AlignmentData();
  control_ = ControlFile();
  SetRunSeed(3);
  WriteText("run.txt", text);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const bool ok = LoadRun(tree_, data_, control_, "run.txt", "run");
  errors_ = testing::internal::GetCapturedStderr();
  output_ = testing::internal::GetCapturedStdout();
  return ok;
}

}  // namespace testing_support
}  // namespace vorn
