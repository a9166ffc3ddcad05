// PREFIX.uncertainty.tsv and the report's line about the standard errors.
#include "output/uncertainty_table.h"

#include "data/alignment_data.h"
#include "data/output_file.h"
#include "data/phylogenetic_tree.h"
#include "estimation/fit.h"
#include "estimation/uncertainty.h"
#include "output/run_report.h"

namespace vorn {
namespace {

const char kSuffix[] = ".uncertainty.tsv";

bool OpenTable(OutputFile& file) {
  if (file.Open()) return true;
  std::fprintf(stderr, "Error:VORN:WriteOutput: The file %s cannot be opened\n", file.name().c_str());
  return false;
}

}  // namespace

void WriteUncertaintyTable(std::FILE* file, const FitReport& report) {
  std::fprintf(file, "parameter\tindex\tname\tvalue\tscale\tse\tci_low\tci_high\tdetermined\treason\n");
  for (const ParameterUncertainty& u : report.uncertainty->parameters) {
    const Extent extent = Family(u.family).extent;
    std::fprintf(file, "%s\t", FamilyName(u.family));
    if (extent == Extent::kModel) {
      std::fprintf(file, "NA\tNA\t");
    } else {
      const std::string& name =
          extent == Extent::kGene ? report.data.genes[u.index].geneName : report.tree.nodeNames[u.index];
      std::fprintf(file, "%u\t%s\t", static_cast<unsigned>(u.index), name.c_str());
    }
    std::fprintf(file, "%.17g\t%s\t", u.value, Family(u.family).rate ? "log" : "logit");
    if (u.determined) {
      std::fprintf(file, "%.17g\t%.17g\t%.17g\ttrue\t\n", u.se, u.ciLow, u.ciHigh);
    } else {
      std::fprintf(file, "NA\tNA\tNA\tfalse\t%s\n", u.reason.c_str());
    }
  }
}

void WriteUncertaintyLine(std::FILE* file, const FitReport& report) {
  const Uncertainty& u = *report.uncertainty;
  const std::size_t count = u.parameters.size();
  std::fprintf(file, "\nstandard errors: %u of %u estimates determined (%s observed information; flat below %g of "
               "its largest eigenvalue); 95 %% intervals in the uncertainty table\n",
               static_cast<unsigned>(count - u.Undetermined()), static_cast<unsigned>(count),
               u.approximation.c_str(), u.flatShare);
}

bool CanWriteUncertainty(const std::string& projectName) {
  OutputFile table(projectName + kSuffix, "WriteOutput");
  return OpenTable(table);
}

bool WriteUncertainty(const FitReport& report, const std::string& projectName) {
  OutputFile table(projectName + kSuffix, "WriteOutput");
  if (!OpenTable(table)) return false;
  WriteUncertaintyTable(table.get(), report);
  return table.Commit();
}

}  // namespace vorn
