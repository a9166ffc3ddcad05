// The data a fit reads: the distinct leaf patterns of every gene with their site counts, and the
// readers of the pattern and pattern-count files.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

namespace vorn {

// The values of one site over the leaves, in the tree's leaf order: 0 absent, 1 present, 2 unknown.
class Pattern {
 public:
  virtual ~Pattern() = default;
  std::vector<std::uint8_t> values;
};

// The distinct patterns that occur in one gene with their numbers of sites, in order of first
// occurrence. No entry has a count of 0; filteredSites is the sum of counts.
class Gene {
 public:
  virtual ~Gene() = default;
  void AppendEntry(std::uint32_t patternIndex, std::uint32_t count);

  std::uint32_t entryCount = 0;
  std::vector<std::uint32_t> patternIndices;
  std::vector<std::uint32_t> counts;
  std::uint32_t filteredSites = 0;
  std::uint32_t allSites = 0;
  std::string geneName;
};

// A pattern index that stands for none: a site the filter removed.
constexpr std::uint32_t kNoPattern = 0xffffffffU;

// A site as it was read or drawn: its gene and its pattern, kNoPattern when it left the data.
struct SiteRecord {
  std::uint32_t gene, pattern;
};

// Presence/absence data in compressed form: every distinct pattern once, and per gene the
// patterns it shows with their counts. Filled from the two pattern files or site by site by the
// simulation. Sites removed by the unknown-share filter count in allSites only.
// Invariants: the genes' site totals add up to the data's; every pattern index is below
// patternCount; patterns added by AddSite are pairwise different.
class AlignmentData {
 public:
  virtual ~AlignmentData() = default;

  // Reads the ".wp.txt" and ".ngp.txt" pair for a tree of leafCount leaves. Prints one
  // "Error:VORN:ReadInput: ..." line naming the file and line and returns false on a malformed file.
  bool ReadPatternFiles(std::FILE* patternFile, std::FILE* countsFile, std::uint32_t leafCount);
  // Empties the data for sites added one by one (AddSite), with geneCount unnamed genes; more
  // genes may follow with AddGene.
  void PrepareForSimulation(std::uint32_t leafCount, std::uint32_t geneCount);
  std::uint32_t AddGene(const std::string& name);
  // Returns the site's pattern, or kNoPattern when the filter removed it; with recordSites the
  // site joins tableSites.
  std::uint32_t AddSite(const std::uint8_t* values, std::uint32_t gene);
  // Puts every gene's entries in pattern order, the order the pattern files give them, so that
  // sums over entries come out as they would from the pair of files.
  void OrderEntriesByPattern();
  bool PassesFilter(const std::uint8_t* values) const;
  // Sampling that sees only characters present somewhere: every site at which no leaf shows the
  // character (only absences and unknowns) leaves the data, counted like the sites the unknown-share
  // filter removes. Returns the number of sites dropped.
  std::uint32_t DropSitesWithoutPresence();
  void NameGenes();
  void WritePatternFiles(std::FILE* patternFile, std::FILE* countsFile) const;

  std::uint8_t Value(std::uint32_t pattern, std::uint32_t position) const {
    return patterns[pattern].values[position];
  }

  std::uint32_t geneCount = 0;
  std::uint32_t patternCount = 0;
  std::uint32_t leafCount = 0;
  std::uint32_t nodeCount = 0;
  std::uint32_t filteredSites = 0;
  std::uint32_t allSites = 0;
  double ukfThreshold = 0.0;
  std::string patternFileName;
  std::string countsFileName;
  std::vector<Pattern> patterns;
  std::vector<Gene> genes;
  bool ukfFilter = false;
  // The sites of a table in the table's order, for the files that answer per site (a table's
  // sites are held as it is read in any case); siteNames, the rows' names when its first column
  // names them. Empty for pattern files and simulations, whose sites are those of the entries.
  bool recordSites = false;
  std::vector<SiteRecord> tableSites;
  std::vector<std::string> siteNames;
  // Per pattern of a pattern file, its number among the file's patterns (1 for the first), which
  // the filter makes differ from the index + 1; empty for other data.
  std::vector<std::uint32_t> patternNumbers;

 private:
  // The two files of ReadPatternFiles: the patterns that pass the filter, with the pattern of every
  // line; then a gene per line of counts.
  bool ReadPatternLines(std::FILE* patternFile, std::vector<std::uint32_t>* lineToPattern);
  bool ReadCountLines(std::FILE* countsFile, const std::vector<std::uint32_t>& lineToPattern);

  void Clear(std::uint32_t newLeafCount);

  // Lookups that keep AddSite linear in the number of sites: pattern bytes to pattern index, and
  // per gene, pattern index to entry index.
  std::unordered_map<std::string, std::uint32_t> patternLookup_;
  std::vector<std::unordered_map<std::uint32_t, std::uint32_t>> entryLookup_;
};

std::uint32_t CountPresent(const std::uint8_t* values, std::uint32_t length);
std::uint32_t CountAbsent(const std::uint8_t* values, std::uint32_t length);
std::uint32_t CountUnknown(const std::uint8_t* values, std::uint32_t length);

}  // namespace vorn
