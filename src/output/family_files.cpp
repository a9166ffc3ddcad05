// PREFIX.families.tsv and PREFIX.family_events.tsv, streamed site by site from the posteriors of
// a bounded number of distinct entries at a time.
#include "output/family_files.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>

#include "data/alignment_data.h"
#include "data/output_file.h"
#include "data/phylogenetic_tree.h"

namespace vorn {
namespace {

const char kFamiliesSuffix[] = ".families.tsv";
const char kEventsSuffix[] = ".family_events.tsv";
constexpr std::size_t kChunkBytes = std::size_t{32} << 20;
constexpr std::size_t kMostChunkEntries = 65536;

bool OpenTable(OutputFile& file) {
  if (file.Open()) return true;
  std::fprintf(stderr, "Error:VORN:WriteOutput: The file %s cannot be opened\n", file.name().c_str());
  return false;
}

// Walks the data's sites in the order of the rows: a table's rows that stayed in the data, or
// gene by gene each entry's sites, numbered within the gene.
class SiteCursor {
 public:
  explicit SiteCursor(const AlignmentData& data) : data_(&data), table_(!data.tableSites.empty()) {
    if (!table_) OrderEntries();
    Settle();
  }

  bool Done() const { return table_ ? row_ >= data_->tableSites.size() : gene_ >= data_->geneCount; }
  EntryRef Entry() const { return {gene_, table_ ? entry_ : order_[entry_]}; }
  std::uint32_t Pattern() const { return data_->genes[gene_].patternIndices[Entry().entry]; }
  // The row's id: a table row's name or its number among the table's sites; a pattern file's
  // site's number within its gene.
  void PrintId(std::FILE* file) const {
    if (table_ && !data_->siteNames.empty()) {
      std::fputs(data_->siteNames[row_].c_str(), file);
    } else {
      std::fprintf(file, "%llu", static_cast<unsigned long long>(table_ ? row_ + 1 : number_));
    }
  }
  void Advance() {
    if (table_) {
      ++row_;
    } else {
      ++number_;
      ++copy_;
    }
    Settle();
  }

 private:
  // Moves to the next site that exists, from where the cursor stands.
  void Settle() {
    if (table_) {
      while (row_ < data_->tableSites.size() && data_->tableSites[row_].pattern == kNoPattern) ++row_;
      if (row_ == data_->tableSites.size()) return;
      const SiteRecord& site = data_->tableSites[row_];
      gene_ = site.gene;
      const std::vector<std::uint32_t>& patterns = data_->genes[gene_].patternIndices;
      // A table's entries are in pattern order.
      entry_ = static_cast<std::uint32_t>(std::lower_bound(patterns.begin(), patterns.end(), site.pattern) -
                                          patterns.begin());
      return;
    }
    while (gene_ < data_->geneCount) {
      const Gene& gene = data_->genes[gene_];
      if (entry_ < gene.entryCount && copy_ < gene.counts[order_[entry_]]) return;
      if (entry_ < gene.entryCount) {
        ++entry_;
        copy_ = 0;
        continue;
      }
      ++gene_;
      entry_ = 0;
      copy_ = 0;
      number_ = 1;
      OrderEntries();
    }
  }

  // A simulated gene keeps its entries in the order drawn; the pattern files list them in
  // pattern order, and so do the rows.
  void OrderEntries() {
    order_.clear();
    if (gene_ >= data_->geneCount) return;
    const Gene& gene = data_->genes[gene_];
    for (std::uint32_t e = 0; e < gene.entryCount; ++e) order_.push_back(e);
    std::sort(order_.begin(), order_.end(),
              [&gene](std::uint32_t a, std::uint32_t b) { return gene.patternIndices[a] < gene.patternIndices[b]; });
  }

  const AlignmentData* data_;
  bool table_;
  std::size_t row_ = 0;
  std::uint32_t gene_ = 0, entry_ = 0, copy_ = 0;  // entry_: a table's entry, or a rank in order_
  std::uint64_t number_ = 1;
  std::vector<std::uint32_t> order_;
};

// A chance as printed: sums of posteriors can pass 1 by a rounding error, which no reader expects.
double Chance(double p) { return std::min(p, 1.0); }

// One site's rows from its entry's posteriors t ([v * 4 + 2 a + b]).
void WriteSite(std::FILE* families, std::FILE* events, const SiteCursor& site, const PhylogeneticTree& tree,
               const AlignmentData& data, double threshold, const double* t, double noGain) {
  const std::string& gene = data.genes[site.Entry().gene].geneName;
  const std::uint32_t pattern = site.Pattern();
  const std::uint32_t r1 = tree.firstChild[0];
  double gains = 0, losses = 0;
  std::uint32_t topGain = 1, topLoss = 1;
  for (std::uint32_t v = 1; v < tree.nodeCount; ++v) {
    const double gain = t[v * 4 + 1], loss = t[v * 4 + 2];
    gains += gain;
    losses += loss;
    if (gain > t[topGain * 4 + 1]) topGain = v;
    if (loss > t[topLoss * 4 + 2]) topLoss = v;
    if (gain >= threshold || loss >= threshold) {
      site.PrintId(events);
      std::fprintf(events, "\t%s\t%u\t%s\t%.17g\t%.17g\t%.17g\t%.17g\n", gene.c_str(), static_cast<unsigned>(v),
                   tree.nodeNames[v].c_str(), Chance(t[v * 4 + 2] + t[v * 4 + 3]), Chance(gain + t[v * 4 + 3]),
                   Chance(gain), Chance(loss));
    }
  }
  site.PrintId(families);
  std::fprintf(families, "\t%s\t%u\t%.17g\t%.17g\t%.17g\t%s\t%.17g\t%s\t%.17g\t%.17g\n", gene.c_str(),
               static_cast<unsigned>(data.patternNumbers.empty() ? pattern + 1 : data.patternNumbers[pattern]),
               Chance(t[r1 * 4 + 2] + t[r1 * 4 + 3]), gains, losses, tree.nodeNames[topGain].c_str(),
               Chance(t[topGain * 4 + 1]), tree.nodeNames[topLoss].c_str(), Chance(t[topLoss * 4 + 2]), noGain);
}

}  // namespace

std::size_t FamilyChunkEntries(std::uint32_t nodeCount) {
  const std::size_t perEntry = static_cast<std::size_t>(nodeCount) * 4 * sizeof(double);
  return std::max<std::size_t>(1, std::min(kMostChunkEntries, kChunkBytes / perEntry));
}

void WriteFamilyTables(std::FILE* families, std::FILE* events, const PhylogeneticTree& tree,
                       const AlignmentData& data, double threshold, const EntryPosteriorSource& source,
                       std::size_t chunkEntries) {
  std::fprintf(families, "id\tgene\tpattern\tp_present_root\texpected_gains\texpected_losses\tmax_gain_node\t"
                         "p_max_gain\tmax_loss_node\tp_max_loss\tp_no_gain\n");
  std::fprintf(events, "id\tgene\tnode\tname\tp_present_parent\tp_present\tp_gain\tp_loss\n");
  std::unordered_map<std::uint64_t, std::uint32_t> slotOf;
  std::vector<EntryRef> entries;
  EntryPosteriors posteriors;
  // A chunk runs from one site up to the first whose entry would be one too many; its sites are
  // walked twice, to list its entries and to write their rows.
  for (SiteCursor start(data); !start.Done();) {
    slotOf.clear();
    entries.clear();
    SiteCursor end = start;
    std::uint64_t sites = 0;
    for (; !end.Done(); end.Advance(), ++sites) {
      const EntryRef entry = end.Entry();
      const std::uint64_t key = static_cast<std::uint64_t>(entry.gene) << 32 | entry.entry;
      if (slotOf.count(key)) continue;
      if (entries.size() == chunkEntries) break;
      slotOf.emplace(key, static_cast<std::uint32_t>(entries.size()));
      entries.push_back(entry);
    }
    source(entries, &posteriors);
    const std::size_t stride = static_cast<std::size_t>(tree.nodeCount) * 4;
    for (std::uint64_t s = 0; s < sites; ++s, start.Advance()) {
      const EntryRef entry = start.Entry();
      const std::uint32_t slot = slotOf[static_cast<std::uint64_t>(entry.gene) << 32 | entry.entry];
      WriteSite(families, events, start, tree, data, threshold, &posteriors.transitions[slot * stride],
                posteriors.noGain[slot]);
    }
  }
}

bool CanWriteFamilyFiles(const std::string& projectName) {
  OutputFile families(projectName + kFamiliesSuffix, "WriteOutput");
  OutputFile events(projectName + kEventsSuffix, "WriteOutput");
  return OpenTable(families) && OpenTable(events);
}

bool WriteFamilyFiles(const PhylogeneticTree& tree, const AlignmentData& data, double threshold,
                      const EntryPosteriorSource& source, const std::string& projectName) {
  OutputFile families(projectName + kFamiliesSuffix, "WriteOutput");
  OutputFile events(projectName + kEventsSuffix, "WriteOutput");
  if (!OpenTable(families) || !OpenTable(events)) return false;
  WriteFamilyTables(families.get(), events.get(), tree, data, threshold, source, FamilyChunkEntries(tree.nodeCount));
  if (!families.Commit()) return false;
  if (events.Commit()) return true;
  // The two answer together: a families table without its events would be read as one with none.
  std::remove(families.name().c_str());
  return false;
}

}  // namespace vorn
