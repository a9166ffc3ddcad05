// The standard errors and intervals of a fit, when the settings asked for them:
// PREFIX.uncertainty.tsv (one row per estimated parameter) and the report's line about them.
#pragma once
#include <cstdio>
#include <string>

namespace vorn {

struct FitReport;

// Writes PREFIX.uncertainty.tsv whole or not at all; false after its message.
bool WriteUncertainty(const FitReport& report, const std::string& projectName);
// Whether WriteUncertainty could create its file now (checked before the fit).
bool CanWriteUncertainty(const std::string& projectName);

// The table: a header row, then per estimated parameter its name as the report prints it, its
// number and the gene's or node's name (NA for the model's), its value, the fit's scale (log or
// logit), the standard error there, the 95 % interval on the parameter's scale (NA when not
// determined), whether it is determined and why not.
void WriteUncertaintyTable(std::FILE* file, const FitReport& report);
// The report's one line: how many estimates are determined, and by which approximation.
void WriteUncertaintyLine(std::FILE* file, const FitReport& report);

}  // namespace vorn
