// The screened starts' exchange between ranks, as bytes.
#include "estimation/start_exchange.h"

#include <string>

#include "estimation/byte_record.h"
#include "estimation/e_step_communicator.h"

namespace vorn {
namespace {

void WriteModel(ByteWriter& out, const EvolModel& model) {
  out.Double(model.p0);
  out.Doubles(model.theta);
  out.Doubles(model.phi);
  out.Doubles(model.eta);
  out.Doubles(model.xi);
  out.Double(model.nu);
  out.Double(model.llambda);
  out.Double(model.glambda);
  out.U32(model.geneCount);
  out.U32(model.nodeCount);
}

void ReadModel(ByteReader& in, EvolModel& model) {
  model.p0 = in.Double();
  model.theta = in.Doubles();
  model.phi = in.Doubles();
  model.eta = in.Doubles();
  model.xi = in.Doubles();
  model.nu = in.Double();
  model.llambda = in.Double();
  model.glambda = in.Double();
  model.geneCount = in.U32();
  model.nodeCount = in.U32();
}

void WriteCategories(ByteWriter& out, const RateCategories& categories) {
  out.U32(categories.count);
  out.Doubles(categories.rates);
  out.Doubles(categories.weights);
  out.Doubles(categories.percentiles);
}

void ReadCategories(ByteReader& in, RateCategories& categories) {
  categories.count = static_cast<std::uint16_t>(in.U32());
  categories.rates = in.Doubles();
  categories.weights = in.Doubles();
  categories.percentiles = in.Doubles();
}

// What a start's line, its outcome and the warnings about it read from the EM.
void WriteSummary(ByteWriter& out, const EM& em) {
  out.Double(em.logLikelihood);
  out.U32(em.iterations);
  out.U64(em.eSteps);
  out.Bool(em.converged);
  out.Bool(em.hitLimit);
  out.I32(em.unconverged);
  out.Bool(em.optimality.passed);
  out.Double(em.optimality.largest);
  out.Double(em.optimality.threshold);
  out.I32(em.optimality.family);
  out.U32(em.optimality.index);
  out.I32(em.unmet.kind);
  out.I32(em.unmet.family);
  out.Double(em.unmet.value);
  out.Double(em.unmet.threshold);
}

void ReadSummary(ByteReader& in, EM& em) {
  em.logLikelihood = in.Double();
  em.iterations = in.U32();
  em.eSteps = in.U64();
  em.converged = in.Bool();
  em.hitLimit = in.Bool();
  em.unconverged = static_cast<ParameterFamily>(in.I32());
  em.optimality.passed = in.Bool();
  em.optimality.largest = in.Double();
  em.optimality.threshold = in.Double();
  em.optimality.family = static_cast<ParameterFamily>(in.I32());
  em.optimality.index = in.U32();
  em.unmet.kind = static_cast<UnmetCriterion::Kind>(in.I32());
  em.unmet.family = static_cast<ParameterFamily>(in.I32());
  em.unmet.value = in.Double();
  em.unmet.threshold = in.Double();
}

void WriteHistory(ByteWriter& out, const RecordedHistory& history) {
  out.U64(history.lines.size());
  for (const RecordedHistory::Line& line : history.lines) {
    out.U8(static_cast<std::uint8_t>(line.kind));
    out.I32(line.family);
    WriteModel(out, line.model);
    out.Double(line.logLikelihood);
    out.U32(line.iteration);
  }
}

void AppendHistory(ByteReader& in, RecordedHistory& history) {
  const std::uint64_t count = in.U64();
  for (std::uint64_t i = 0; i < count && !in.failed; ++i) {
    RecordedHistory::Line line;
    line.kind = static_cast<RecordedHistory::Kind>(in.U8());
    line.family = static_cast<ParameterFamily>(in.I32());
    ReadModel(in, line.model);
    line.logLikelihood = in.Double();
    line.iteration = in.U32();
    history.lines.push_back(std::move(line));
  }
}

void WriteWarnings(ByteWriter& out, const std::vector<WarningCapture::Held>& warnings) {
  out.U64(warnings.size());
  for (const WarningCapture::Held& held : warnings) {
    out.Text(held.code);
    out.Text(held.module);
    out.Text(held.printed);
    out.Text(held.text);
  }
}

void AppendWarnings(ByteReader& in, std::vector<WarningCapture::Held>& warnings) {
  const std::uint64_t count = in.U64();
  for (std::uint64_t i = 0; i < count && !in.failed; ++i) {
    WarningCapture::Held held;
    held.code = in.Text();
    held.module = in.Text();
    held.printed = in.Text();
    held.text = in.Text();
    warnings.push_back(std::move(held));
  }
}

// Each rank's records of its own starts, each headed by the start's index; `write` gives one
// start's record and `read` takes in one of another rank's.
template <typename Write, typename Read>
bool ExchangeStarts(EStepCommunicator& ranks, std::vector<Candidate>& candidates, const Write& write,
                    const Read& read) {
  const std::uint32_t n = static_cast<std::uint32_t>(candidates.size());
  ByteWriter out;
  for (std::uint32_t i = 0; i < n; ++i) {
    if (OwnerOfStart(i, n, ranks.Size()) != ranks.Rank()) continue;
    out.U32(i);
    write(out, candidates[i]);
  }
  const std::vector<std::string> parts = ranks.AllGatherBytes(out.bytes);
  for (std::uint32_t r = 0; r < parts.size(); ++r) {
    if (r == ranks.Rank()) continue;
    ByteReader in(parts[r]);
    while (!in.AtEnd() && !in.failed) {
      const std::uint32_t i = in.U32();
      // Only the owner speaks of a start, and a start that ran here is not another rank's.
      if (in.failed || i >= n || OwnerOfStart(i, n, ranks.Size()) != r || !candidates[i].history.lines.empty()) {
        return false;
      }
      read(in, candidates[i]);
    }
    if (in.failed) return false;
  }
  return true;
}

}  // namespace

std::uint32_t OwnerOfStart(std::uint32_t start, std::uint32_t starts, std::uint32_t ranks) {
  const std::uint32_t evens = (starts + 1) / 2;
  const std::uint32_t dealt = start % 2 == 0 ? start / 2 : evens + start / 2;
  return dealt % ranks;
}

bool ShareScreening(EStepCommunicator& ranks, std::vector<Candidate>& candidates) {
  return ExchangeStarts(
      ranks, candidates,
      [](ByteWriter& out, const Candidate& c) {
        out.Bool(c.skipped);
        out.Bool(c.ended);
        out.Double(c.screened);
        out.Double(c.em->logLikelihood);
      },
      [](ByteReader& in, Candidate& c) {
        c.skipped = in.Bool();
        c.ended = in.Bool();
        c.screened = in.Double();
        c.em->logLikelihood = in.Double();
      });
}

bool ShareEndings(EStepCommunicator& ranks, std::vector<Candidate>& candidates) {
  return ExchangeStarts(
      ranks, candidates,
      [](ByteWriter& out, const Candidate& c) {
        out.Bool(c.skipped);
        out.Bool(c.ended);
        out.Bool(c.continued);
        out.Double(c.screened);
        WriteSummary(out, *c.em);
        WriteHistory(out, c.history);
        WriteWarnings(out, c.warnings);
      },
      [](ByteReader& in, Candidate& c) {
        c.skipped = in.Bool();
        c.ended = in.Bool();
        c.continued = in.Bool();
        c.screened = in.Double();
        ReadSummary(in, *c.em);
        AppendHistory(in, c.history);
        AppendWarnings(in, c.warnings);
      });
}

bool ShareBestState(EStepCommunicator& ranks, std::uint32_t owner, EM& best) {
  ByteWriter out;
  if (ranks.Rank() == owner) {
    WriteModel(out, best.model);
    const EstimationFlags& flags = best.flags;
    out.Bool(flags.p0);
    out.Bytes(flags.theta);
    out.Bytes(flags.phi);
    out.Bytes(flags.eta);
    out.Bytes(flags.xi);
    out.Bool(flags.nu);
    out.Bool(flags.llambda);
    out.Bool(flags.glambda);
    WriteCategories(out, best.lossCategories);
    WriteCategories(out, best.gainCategories);
    const PosteriorSums& sums = best.eStep.Sums();
    out.U32(sums.geneCount);
    out.U32(sums.nodeCount);
    out.U32(sums.gainCount);
    out.U32(sums.lossCount);
    out.U32(sums.pairCount);
    out.Doubles(sums.transitions);
    out.Doubles(sums.categories);
    out.Double(sums.unobservedSites);
    for (double entry : best.monitor.entries) out.Double(entry);
  }
  const std::vector<std::string> parts = ranks.AllGatherBytes(out.bytes);
  if (ranks.Rank() == owner) return true;
  ByteReader in(parts[owner]);
  ReadModel(in, best.model);
  EstimationFlags& flags = best.flags;
  flags.p0 = in.Bool();
  flags.theta = in.Bytes();
  flags.phi = in.Bytes();
  flags.eta = in.Bytes();
  flags.xi = in.Bytes();
  flags.nu = in.Bool();
  flags.llambda = in.Bool();
  flags.glambda = in.Bool();
  ReadCategories(in, best.lossCategories);
  ReadCategories(in, best.gainCategories);
  PosteriorSums& sums = best.eStep.Sums();
  sums.geneCount = in.U32();
  sums.nodeCount = in.U32();
  sums.gainCount = in.U32();
  sums.lossCount = in.U32();
  sums.pairCount = in.U32();
  sums.transitions = in.Doubles();
  sums.categories = in.Doubles();
  sums.unobservedSites = in.Double();
  for (double& entry : best.monitor.entries) entry = in.Double();
  return !in.failed && in.AtEnd();
}

}  // namespace vorn
