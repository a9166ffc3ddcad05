// The results for scripts and viewers, beside the report.
#pragma once
#include <cstdio>
#include <string>

namespace vorn {

struct FitReport;
struct RunFacts;

// The results of an estimation for scripts and viewers, beside the report: PREFIX.results.json,
// PREFIX.branches.tsv, PREFIX.tree.nwk and PREFIX.tree.svg, each complete or not at all. False,
// after its message, when one cannot be written.
bool WriteResults(const FitReport& report, const RunFacts& facts, const std::string& projectName);
// Whether WriteResults could create its files now (checked before the fit, as the report is).
bool CanWriteResults(const std::string& projectName);

// The writers of the four files. Every number is written to 17 significant digits (the JSON
// library writes the shortest text that reads back to the same double).
void WriteResultsJson(std::FILE* file, const FitReport& report, const RunFacts& facts);
void WriteBranchTable(std::FILE* file, const FitReport& report);
void WriteAnnotatedNewick(std::FILE* file, const FitReport& report);
void WriteTreePicture(std::FILE* file, const FitReport& report, const std::string& title);

// An estimated value that sits on (or within a millionth of) a bound of its range: a rate within a
// relative 1e-6, a probability within 1e-6.
bool AtBound(double value, double lower, double upper, bool rate);

}  // namespace vorn
