// Pattern and count files read into genes of distinct patterns.
#include "data/alignment_data.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "data/diagnostics.h"
#include "data/text_io.h"

namespace vorn {
namespace {

constexpr std::uint32_t kNotPassing = std::numeric_limits<std::uint32_t>::max();
constexpr int kShownTokenLength = 32;

std::uint32_t CountValue(const std::uint8_t* values, std::uint32_t length, std::uint8_t value) {
  return static_cast<std::uint32_t>(std::count(values, values + length, value));
}

}  // namespace

void Gene::AppendEntry(std::uint32_t patternIndex, std::uint32_t count) {
  patternIndices.push_back(patternIndex);
  counts.push_back(count);
  ++entryCount;
  filteredSites += count;
}

void AlignmentData::Clear(std::uint32_t newLeafCount) {
  geneCount = 0;
  patternCount = 0;
  leafCount = newLeafCount;
  nodeCount = 2 * newLeafCount - 1;
  filteredSites = 0;
  allSites = 0;
  patterns.clear();
  genes.clear();
  patternLookup_.clear();
  entryLookup_.clear();
  recordSites = false;
  tableSites.clear();
  siteNames.clear();
  patternNumbers.clear();
}

bool AlignmentData::PassesFilter(const std::uint8_t* values) const {
  if (!ukfFilter) return true;
  const std::uint32_t unknown = CountUnknown(values, leafCount);
  return static_cast<double>(unknown) / static_cast<double>(leafCount) < ukfThreshold;
}

std::uint32_t AlignmentData::DropSitesWithoutPresence() {
  std::vector<std::uint32_t> renumbered(patternCount, kNotPassing);
  std::vector<Pattern> kept;
  for (std::uint32_t p = 0; p < patternCount; ++p) {
    if (CountPresent(patterns[p].values.data(), leafCount) == 0) continue;
    renumbered[p] = static_cast<std::uint32_t>(kept.size());
    kept.push_back(std::move(patterns[p]));
  }
  std::uint32_t dropped = 0;
  for (std::uint32_t g = 0; g < geneCount; ++g) {
    Gene& gene = genes[g];
    std::vector<std::uint32_t> indices, counts;
    for (std::uint32_t e = 0; e < gene.entryCount; ++e) {
      if (renumbered[gene.patternIndices[e]] == kNotPassing) {
        dropped += gene.counts[e];
        gene.filteredSites -= gene.counts[e];
        continue;
      }
      indices.push_back(renumbered[gene.patternIndices[e]]);
      counts.push_back(gene.counts[e]);
    }
    gene.patternIndices = std::move(indices);
    gene.counts = std::move(counts);
    gene.entryCount = static_cast<std::uint32_t>(gene.counts.size());
  }
  for (SiteRecord& site : tableSites) site.pattern = site.pattern == kNoPattern ? kNoPattern : renumbered[site.pattern];
  if (!patternNumbers.empty()) {
    std::vector<std::uint32_t> numbers;
    for (std::uint32_t p = 0; p < patternCount; ++p) {
      if (renumbered[p] != kNotPassing) numbers.push_back(patternNumbers[p]);
    }
    patternNumbers = std::move(numbers);
  }
  patterns = std::move(kept);
  patternCount = static_cast<std::uint32_t>(patterns.size());
  filteredSites -= dropped;
  // The lookups of AddSite describe the old numbering; a data set filtered here takes no more sites.
  patternLookup_.clear();
  entryLookup_.clear();
  return dropped;
}

bool AlignmentData::ReadPatternFiles(std::FILE* patternFile, std::FILE* countsFile, std::uint32_t newLeafCount) {
  Clear(newLeafCount);
  // For every pattern line, the index of its pattern among the passing ones, or kNotPassing.
  std::vector<std::uint32_t> lineToPattern;
  return ReadPatternLines(patternFile, &lineToPattern) && ReadCountLines(countsFile, lineToPattern);
}

bool AlignmentData::ReadPatternLines(std::FILE* patternFile, std::vector<std::uint32_t>* lines) {
  std::vector<std::uint32_t>& lineToPattern = *lines;
  std::vector<std::uint8_t> values(leafCount);
  std::string line;
  unsigned lineNumber = 0;
  // Tokens past the ones read are ignored, but a file made for another tree is worth a word: the
  // first such line is shown, with the number of lines like it.
  unsigned firstLongLine = 0, longLines = 0, firstLongCount = 0;
  std::uint32_t patternLines = 0;
  SkipByteOrderMark(patternFile);
  while (ReadLine(patternFile, line)) {
    ++lineNumber;
    const std::vector<std::string_view> tokens = Tokenize(line);
    if (tokens.empty()) continue;
    if (tokens.size() < leafCount) {
      std::fprintf(stderr,
                   "Error:VORN:ReadInput: Pattern file '%s' line %u holds %u values where the tree has %u "
                   "leaves\n",
                   patternFileName.c_str(), lineNumber, static_cast<unsigned>(tokens.size()),
                   static_cast<unsigned>(leafCount));
      return false;
    }
    if (tokens.size() > leafCount && longLines++ == 0) {
      firstLongLine = lineNumber;
      firstLongCount = static_cast<unsigned>(tokens.size());
    }
    for (std::uint32_t j = 0; j < leafCount; ++j) {
      const std::string_view token = tokens[j];
      if (token.size() != 1 || token[0] < '0' || token[0] > '2') {
        std::fprintf(stderr, "Error:VORN:ReadInput: Pattern file '%s' line %u: value '%.*s' is not 0, 1 or 2\n",
                     patternFileName.c_str(), lineNumber,
                     static_cast<int>(std::min<std::size_t>(token.size(), kShownTokenLength)), token.data());
        return false;
      }
      values[j] = static_cast<std::uint8_t>(token[0] - '0');
    }
    ++patternLines;
    if (PassesFilter(values.data())) {
      patternNumbers.push_back(patternLines);
      lineToPattern.push_back(patternCount++);
      patterns.emplace_back();
      patterns.back().values = values;
    } else {
      lineToPattern.push_back(kNotPassing);
    }
  }

  if (longLines > 0) {
    Warn("pattern-line-too-long", "ReadInput",
         "Pattern file '%s' line %u holds %u values where the tree has %u leaves; the extra values are ignored (%u "
         "line(s) in all)",
         patternFileName.c_str(), firstLongLine, firstLongCount, static_cast<unsigned>(leafCount), longLines);
  }
  return true;
}

bool AlignmentData::ReadCountLines(std::FILE* countsFile, const std::vector<std::uint32_t>& lineToPattern) {
  std::string line;
  unsigned lineNumber = 0;
  unsigned firstLongLine = 0, longLines = 0, firstLongCount = 0;
  const std::size_t patternLines = lineToPattern.size();
  std::uint64_t totalSites = 0;
  SkipByteOrderMark(countsFile);
  while (ReadLine(countsFile, line)) {
    ++lineNumber;
    const std::vector<std::string_view> tokens = Tokenize(line);
    if (tokens.empty()) continue;
    if (tokens.size() - 1 < patternLines) {
      std::fprintf(stderr,
                   "Error:VORN:ReadInput: Pattern counts file '%s' line %u holds %u counts where the pattern "
                   "file has %u patterns\n",
                   countsFileName.c_str(), lineNumber, static_cast<unsigned>(tokens.size() - 1),
                   static_cast<unsigned>(patternLines));
      return false;
    }
    if (tokens.size() - 1 > patternLines && longLines++ == 0) {
      firstLongLine = lineNumber;
      firstLongCount = static_cast<unsigned>(tokens.size() - 1);
    }
    genes.emplace_back();
    Gene& gene = genes.back();
    gene.geneName = std::string(tokens[0]);
    for (std::size_t i = 0; i < patternLines; ++i) {
      const std::string_view token = tokens[i + 1];
      unsigned long long count = 0;
      if (!ParseUnsigned(token, std::numeric_limits<std::uint32_t>::max(), &count)) {
        std::fprintf(stderr,
                     "Error:VORN:ReadInput: Pattern counts file '%s' line %u: count '%.*s' is not a "
                     "non-negative integer\n",
                     countsFileName.c_str(), lineNumber,
                     static_cast<int>(std::min<std::size_t>(token.size(), kShownTokenLength)), token.data());
        return false;
      }
      totalSites += count;
      if (totalSites > std::numeric_limits<std::uint32_t>::max()) {
        std::fprintf(stderr, "Error:VORN:ReadInput: Pattern counts file '%s' line %u: more than %u sites in all\n",
                     countsFileName.c_str(), lineNumber, std::numeric_limits<std::uint32_t>::max());
        return false;
      }
      const std::uint32_t c = static_cast<std::uint32_t>(count);
      gene.allSites += c;
      allSites += c;
      if (lineToPattern[i] == kNotPassing) continue;
      filteredSites += c;
      if (c > 0) gene.AppendEntry(lineToPattern[i], c);
    }
  }
  if (longLines > 0) {
    Warn("counts-line-too-long", "ReadInput",
         "Pattern counts file '%s' line %u holds %u counts where the pattern file has %u patterns; the extra counts "
         "are ignored (%u line(s) in all)",
         countsFileName.c_str(), firstLongLine, firstLongCount, static_cast<unsigned>(patternLines), longLines);
  }
  if (genes.empty()) {
    std::fprintf(stderr, "Error:VORN:ReadInput: Pattern counts file '%s' holds no gene line\n",
                 countsFileName.c_str());
    return false;
  }
  geneCount = static_cast<std::uint32_t>(genes.size());
  return true;
}

void AlignmentData::PrepareForSimulation(std::uint32_t newLeafCount, std::uint32_t newGeneCount) {
  Clear(newLeafCount);
  geneCount = newGeneCount;
  genes.resize(newGeneCount);
  entryLookup_.resize(newGeneCount);
}

std::uint32_t AlignmentData::AddGene(const std::string& name) {
  genes.emplace_back();
  genes.back().geneName = name;
  entryLookup_.emplace_back();
  return geneCount++;
}

std::uint32_t AlignmentData::AddSite(const std::uint8_t* values, std::uint32_t gene) {
  Gene& record = genes[gene];
  ++allSites;
  ++record.allSites;
  if (!PassesFilter(values)) {
    if (recordSites) tableSites.push_back({gene, kNoPattern});
    return kNoPattern;
  }
  ++filteredSites;
  const auto inserted =
      patternLookup_.emplace(std::string(reinterpret_cast<const char*>(values), leafCount), patternCount);
  if (inserted.second) {
    patterns.emplace_back();
    patterns.back().values.assign(values, values + leafCount);
    ++patternCount;
  }
  const std::uint32_t patternIndex = inserted.first->second;
  const auto entry = entryLookup_[gene].emplace(patternIndex, record.entryCount);
  if (entry.second) {
    record.AppendEntry(patternIndex, 1);
  } else {
    ++record.counts[entry.first->second];
    ++record.filteredSites;
  }
  if (recordSites) tableSites.push_back({gene, patternIndex});
  return patternIndex;
}

void AlignmentData::OrderEntriesByPattern() {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;
  for (std::uint32_t g = 0; g < geneCount; ++g) {
    Gene& gene = genes[g];
    entries.clear();
    for (std::uint32_t e = 0; e < gene.entryCount; ++e) entries.emplace_back(gene.patternIndices[e], gene.counts[e]);
    std::sort(entries.begin(), entries.end());
    entryLookup_[g].clear();
    for (std::uint32_t e = 0; e < gene.entryCount; ++e) {
      gene.patternIndices[e] = entries[e].first;
      gene.counts[e] = entries[e].second;
      entryLookup_[g].emplace(entries[e].first, e);
    }
  }
}

void AlignmentData::NameGenes() {
  char name[32];
  for (std::uint32_t g = 0; g < geneCount; ++g) {
    std::snprintf(name, sizeof name, "gene_#%u", static_cast<unsigned>(g));
    genes[g].geneName = name;
  }
}

void AlignmentData::WritePatternFiles(std::FILE* patternFile, std::FILE* countsFile) const {
  for (const Pattern& pattern : patterns) {
    for (std::uint8_t value : pattern.values) std::fprintf(patternFile, "%d ", static_cast<int>(value));
    std::fprintf(patternFile, "\n");
  }
  std::vector<std::uint32_t> row(patternCount);
  for (const Gene& gene : genes) {
    std::fill(row.begin(), row.end(), 0U);
    for (std::uint32_t e = 0; e < gene.entryCount; ++e) row[gene.patternIndices[e]] = gene.counts[e];
    std::fprintf(countsFile, "%s ", gene.geneName.c_str());
    for (std::uint32_t count : row) std::fprintf(countsFile, "%u ", static_cast<unsigned>(count));
    std::fprintf(countsFile, "\n");
  }
}

std::uint32_t CountPresent(const std::uint8_t* values, std::uint32_t length) { return CountValue(values, length, 1); }
std::uint32_t CountAbsent(const std::uint8_t* values, std::uint32_t length) { return CountValue(values, length, 0); }
std::uint32_t CountUnknown(const std::uint8_t* values, std::uint32_t length) { return CountValue(values, length, 2); }

}  // namespace vorn
