// The starts of a screened search and what the ranks of one fit tell each other about them, when
// every rank climbs its own share of the starts alone: after the screening, where each start
// stands; at the end, all that the report, the history and results.json take from each start; and
// the best start's state, so that every rank goes on from it as one process would.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "data/diagnostics.h"
#include "estimation/em.h"
#include "estimation/history_sink.h"

namespace vorn {

class EStepCommunicator;

// One start of the search. The rank that climbs it fills every field; on the others it holds the
// start as it was begun until the exchanges fill in what the owner found.
struct Candidate {
  std::unique_ptr<EM> em;
  RecordedHistory history;
  bool skipped = false;
  bool ended = false;
  bool continued = false;
  double screened = 0;  // the log-likelihood at the end of the screening
  std::vector<WarningCapture::Held> warnings;  // given in start order once the starts have run
};

// The rank that climbs start `start` of `starts` in a search spread over `ranks` ranks. The two
// kinds of random start (odd and even, see DrawSpreadStart) are dealt out in turn, the even ones
// first: the starts that go on are mostly of the kind real data favour, and dealt out plainly
// (start i on rank i mod 2) they would all be climbed on by one rank while the other waits.
std::uint32_t OwnerOfStart(std::uint32_t start, std::uint32_t starts, std::uint32_t ranks);

// Every rank learns of every start whether it was skipped, whether it ended, its log-likelihood
// and where the screening left it. False when a rank's message cannot be read (a fault of ours).
bool ShareScreening(EStepCommunicator& ranks, std::vector<Candidate>& candidates);
// Every rank receives each start's course, its warnings, its ending and its summary: the lines of
// the history are appended, so every start's course must come from one rank only.
bool ShareEndings(EStepCommunicator& ranks, std::vector<Candidate>& candidates);
// The state of the best start (its model, flags, rate categories, sums and convergence measures)
// from the rank that climbed it to every other.
bool ShareBestState(EStepCommunicator& ranks, std::uint32_t owner, EM& best);

}  // namespace vorn
