// Many starts screened, the best climbed on.
#include "estimation/screened_search.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <exception>
#include <functional>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "data/alignment_data.h"
#include "data/diagnostics.h"
#include "data/phylogenetic_tree.h"
#include "data/progress.h"
#include "estimation/e_step_communicator.h"
#include "estimation/em.h"
#include "estimation/fit.h"
#include "estimation/history_sink.h"
#include "estimation/start_exchange.h"
#include "estimation/worker_pool.h"

namespace vorn {
namespace {

// Below this many node updates per E-step (entries x category pairs x nodes) a start keeps one
// thread busy for only milliseconds per E-step, too little to share: the threads take starts of
// their own instead. plants30 (7,063 patterns, 20 pairs, 59 nodes) has 8 million.
constexpr double kSideBySideWork = 3e7;
// How much finer the likelihood tolerance of the starts that climb on is.
constexpr double kPolish = 10;

// job(i) with candidate i's warnings held for it.
void Holding(Candidate& c, const std::function<void()>& job) {
  WarningCapture capture;
  job();
  c.warnings.insert(c.warnings.end(), capture.held.begin(), capture.held.end());
}

// Runs job(i) for every i in `which`, on up to `workers` threads; the jobs are independent, so
// the order they run in changes nothing. An exception of a job is thrown again here.
void RunSideBySide(const std::vector<std::uint32_t>& which, std::uint32_t workers,
                   const std::function<void(std::uint32_t)>& job) {
  workers = std::min<std::uint32_t>(workers, static_cast<std::uint32_t>(which.size()));
  if (workers <= 1) {
    for (std::uint32_t i : which) job(i);
    return;
  }
  std::atomic<std::size_t> next{0};
  std::exception_ptr failure;
  std::mutex failureLock;
  auto work = [&]() {
    for (std::size_t k; (k = next++) < which.size();) {
      try {
        job(which[k]);
      } catch (...) {
        const std::lock_guard<std::mutex> hold(failureLock);
        if (!failure) failure = std::current_exception();
        next = which.size();
      }
    }
  };
  std::vector<std::thread> threads;
  for (std::uint32_t t = 1; t < workers; ++t) threads.emplace_back(work);
  work();
  for (std::thread& thread : threads) thread.join();
  if (failure) std::rethrow_exception(failure);
}

double EStepWork(const FitSettings& settings, const PhylogeneticTree& tree, const AlignmentData& data) {
  double entries = 0;
  for (const Gene& gene : data.genes) entries += static_cast<double>(gene.patternIndices.size());
  return entries * settings.lossCategories * settings.gainCategories * tree.nodeCount;
}

void PrintStart(std::uint32_t start, const Candidate& c) {
  const EM& em = *c.em;
  if (c.skipped) {
    em.PrintStartLine(start, nullptr);
  } else if (!c.continued) {
    em.PrintStartLine(start, "screened out");
  } else {
    em.PrintStartLine(start, em.optimality.passed ? "optimality check passed" : "optimality check failed");
  }
}

// In start order: each start's warnings, its line, its course into the history and its outcome;
// then the best start, how many reached it, and the warnings of the starts not kept. The best
// start's index.
std::uint32_t Conclude(const FitSettings& settings, std::vector<Candidate>& candidates, std::size_t continued,
                       HistorySink& history, FitResult* result, std::uint64_t* totalESteps) {
  const std::uint32_t n = static_cast<std::uint32_t>(candidates.size());
  std::uint32_t bestIndex = n;
  *totalESteps = 0;
  result->starts.clear();
  for (std::uint32_t i = 0; i < n; ++i) {
    Candidate& c = candidates[i];
    Release(c.warnings);
    PrintStart(i, c);
    c.history.ReplayInto(history);
    StartOutcome outcome = c.em->Outcome();
    outcome.skipped = c.skipped;
    outcome.continued = c.continued;
    result->starts.push_back(outcome);
    if (c.skipped) continue;
    *totalESteps += c.em->eSteps;
    if (c.continued && (bestIndex == n || c.em->logLikelihood > candidates[bestIndex].em->logLikelihood)) bestIndex = i;
  }
  const double top = candidates[bestIndex].em->logLikelihood;
  std::uint32_t atBest = 0;
  double second = -std::numeric_limits<double>::infinity();
  for (std::uint32_t i = 0; i < n; ++i) {
    const Candidate& c = candidates[i];
    if (c.skipped || !c.continued) continue;
    if (top - c.em->logLikelihood <= kSameMaximum) {
      ++atBest;
    } else {
      second = std::max(second, c.em->logLikelihood);
    }
  }
  std::printf("best start: log-likelihood %.6f (start %u); starts at best: %u of %u climbed to their end\n", top,
              static_cast<unsigned>(bestIndex + 1), static_cast<unsigned>(atBest), static_cast<unsigned>(continued));
  if (atBest == 1 && continued > 1) {
    Warn("one-start-at-best", "EM:Run",
         "Only one start reached the best log-likelihood (%.6f); the next best ended at %.6f: the fit may not have "
         "found the maximum, try more starts",
         top, second);
  }
  for (std::uint32_t i = 0; i < n; ++i) {
    const EM& em = *candidates[i].em;
    if (i == bestIndex || !candidates[i].continued || !em.hitLimit) continue;
    Warn("start-iteration-limit", "EM:Run",
         "Start %u, which was not kept, reached the iteration limit (%u) at log-likelihood %.6f",
         static_cast<unsigned>(i + 1), static_cast<unsigned>(settings.maxIterations), em.logLikelihood);
  }
  result->startsAtBest = atBest;
  return bestIndex;
}

// Which starts this process climbs, and how. Without ranks, or with an E-step too large for a
// start alone, every start is this process's.
struct SearchPlan {
  bool spread = false;      // the starts are dealt out over the ranks, each climbed by one rank alone
  bool sideBySide = false;  // this rank's starts climb side by side on its threads
  std::vector<std::uint32_t> mine;
  std::vector<std::uint8_t> owned;  // per start
  std::uint32_t Mine() const { return static_cast<std::uint32_t>(mine.size()); }
  bool Owns(std::uint32_t start) const { return owned[start] != 0; }
};

SearchPlan PlanSearch(const FitSettings& settings, bool small) {
  // A small E-step shared among ranks would spend more on the exchange than on the work: each rank
  // climbs its own share of the starts alone instead, and the ranks tell each other what they found.
  const EStepCommunicator* ranks = settings.communicator;
  SearchPlan plan;
  plan.spread = ranks != nullptr && ranks->Size() > 1 && settings.starts > 1 && small;
  plan.owned.assign(settings.starts, 0);
  for (std::uint32_t i = 0; i < settings.starts; ++i) {
    if (plan.spread && OwnerOfStart(i, settings.starts, ranks->Size()) != ranks->Rank()) continue;
    plan.mine.push_back(i);
    plan.owned[i] = 1;
  }
  // Ranks that share each E-step must meet in the same E-steps in the same order, which starts on
  // threads side by side would not keep; the order of the starts changes no result.
  plan.sideBySide = EffectiveThreadCount(settings.threadCount) > 1 && plan.Mine() > 1 && small &&
                    (ranks == nullptr || plan.spread);
  return plan;
}

// Every rank takes the best start's state from the rank that climbed it; what follows the fit
// (the reconstruction, the uncertainty) shares its E-steps among the ranks again.
void TakeUpBest(EStepCommunicator& ranks, std::uint32_t starts, std::uint32_t bestIndex, EM& em) {
  [[maybe_unused]] const bool shared = ShareBestState(ranks, OwnerOfStart(bestIndex, starts, ranks.Size()), em);
  assert(shared);
  em.settings.communicator = &ranks;
  EStepOptions options = em.eStep.Options();
  options.communicator = &ranks;
  em.eStep.SetOptions(options);
}

// The `keep` starts highest after the screening so far, best first, ties to the earlier start.
std::vector<std::uint32_t> MostPromising(const std::vector<Candidate>& candidates, std::size_t keep) {
  std::vector<std::uint32_t> ranked;
  for (std::uint32_t i = 0; i < candidates.size(); ++i) {
    if (!candidates[i].skipped) ranked.push_back(i);
  }
  std::stable_sort(ranked.begin(), ranked.end(), [&](std::uint32_t a, std::uint32_t b) {
    return candidates[a].screened > candidates[b].screened;
  });
  ranked.resize(std::min(ranked.size(), keep));
  return ranked;
}

// Where an E-step is large (the E-step is shared, never the starts), the screening is most of a
// fit's cost: 8 starts of 20 iterations were a third of the 1,000-leaf set's E-steps. There every
// start climbs half the screening first, and only the better half of them (at least as many as go
// on after it; ties to the earlier start) the rest. A start that climbs on only gains, so those cut
// early stay behind those that went on. Never under spread starts, which are small by definition.
void ScreenTheBetterHalf(std::vector<Candidate>& candidates, const AlignmentData& data, const PhylogeneticTree& tree) {
  const std::uint32_t n = static_cast<std::uint32_t>(candidates.size());
  std::vector<std::uint32_t> ranked = MostPromising(candidates, std::max(ContinuedStarts(n), (n + 1) / 2));
  std::sort(ranked.begin(), ranked.end());
  for (std::uint32_t i : ranked) {
    Candidate& c = candidates[i];
    if (c.ended) continue;
    Holding(c, [&]() { c.ended = c.em->Climb(data, tree, c.history, kScreenIterations); });
    c.screened = c.em->logLikelihood;
  }
}

}  // namespace

std::uint32_t ContinuedStarts(std::uint32_t n) { return std::min(n, std::max<std::uint32_t>(2, (n + 3) / 4)); }

bool ScreenedSearch(const FitSettings& settings, const EvolModel& given, const PhylogeneticTree& tree,
                    const AlignmentData& data, HistorySink& history, std::unique_ptr<EM>* best, FitResult* result) {
  if (!SitesToFitFrom(data, settings.conditionOnPresence)) return false;
  const std::uint32_t n = settings.starts;
  const std::uint32_t threads = EffectiveThreadCount(settings.threadCount);
  EStepCommunicator* const ranks = settings.communicator;
  const bool small = EStepWork(settings, tree, data) < kSideBySideWork;
  const SearchPlan plan = PlanSearch(settings, small);
  const std::uint32_t workers = plan.sideBySide ? std::min<std::uint32_t>(threads, plan.Mine()) : 1;
  const std::uint32_t threadsPerStart = plan.sideBySide ? std::max<std::uint32_t>(1, threads / workers) : threads;
  FitSettings startSettings = settings;
  if (plan.spread) startSettings.communicator = nullptr;

  // The starting points come one after another from the run's generators, in start order, on
  // every rank: a rank draws the others' starts too, so that its own come out as one process
  // would draw them.
  std::vector<Candidate> candidates(n);
  for (std::uint32_t i = 0; i < n; ++i) {
    Candidate& c = candidates[i];
    c.em = std::make_unique<EM>();
    c.em->Configure(startSettings, given, tree);
    EStepOptions options = c.em->eStep.Options();
    options.threadCount = threadsPerStart;
    c.em->eStep.SetOptions(options);
    c.em->quiet = true;
    if (!c.em->BeginStart(i, true, data, tree)) return false;
  }

  ShowProgress("\r   screening %u starts          ", static_cast<unsigned>(n));
  RunSideBySide(plan.mine, workers, [&](std::uint32_t i) {
    Candidate& c = candidates[i];
    Holding(c, [&]() {
      c.skipped = !c.em->FirstEStep(data, tree, c.history);
      if (!c.skipped) c.ended = c.em->Climb(data, tree, c.history, small ? kScreenIterations : kScreenIterations / 2);
    });
    c.screened = c.em->logLikelihood;
  });
  if (plan.spread) {
    [[maybe_unused]] const bool shared = ShareScreening(*ranks, candidates);
    assert(shared);
  }
  if (candidates[0].skipped) {
    EndProgress();
    candidates[0].em->PrintImpossibleStart();
    return false;
  }
  if (!small) ScreenTheBetterHalf(candidates, data, tree);

  // The most promising go on.
  const std::vector<std::uint32_t> ranked = MostPromising(candidates, ContinuedStarts(n));
  std::vector<std::uint32_t> going;
  for (std::uint32_t i : ranked) {
    candidates[i].continued = true;
    // A continued start stays on the rank that screened it, with its optimizer's memory.
    if (!candidates[i].ended && plan.Owns(i)) going.push_back(i);
  }
  std::sort(going.begin(), going.end());
  ShowProgress("\r   climbing the best %u of %u starts          ", static_cast<unsigned>(ranked.size()),
               static_cast<unsigned>(n));
  // Starts on the flat ridges of real data stop up to a log unit apart at the likelihood
  // tolerance: those that go on climb to a tenth of it, and are judged by the given one after.
  RunSideBySide(going, plan.sideBySide ? std::min<std::uint32_t>(threads, static_cast<std::uint32_t>(going.size())) : 1,
                [&](std::uint32_t i) {
                  Candidate& c = candidates[i];
                  EM& em = *c.em;
                  em.settings.likelihoodTolerance = settings.likelihoodTolerance / kPolish;
                  Holding(c, [&]() {
                    c.ended = em.Climb(data, tree, c.history, std::numeric_limits<std::uint32_t>::max());
                  });
                  em.settings.likelihoodTolerance = settings.likelihoodTolerance;
                  em.optimality = em.CheckOptimality(data, tree);
                });
  EndProgress();
  std::printf("\n");
  if (plan.spread) {
    [[maybe_unused]] const bool shared = ShareEndings(*ranks, candidates);
    assert(shared);
  }

  std::uint64_t totalESteps = 0;
  const std::uint32_t bestIndex = Conclude(settings, candidates, ranked.size(), history, result, &totalESteps);
  if (plan.spread) TakeUpBest(*ranks, n, bestIndex, *candidates[bestIndex].em);
  *best = std::move(candidates[bestIndex].em);
  if ((*best)->hitLimit) (*best)->PrintIterationLimit((*best)->unconverged);
  (*best)->quiet = false;
  const std::uint32_t atBest = result->startsAtBest;
  (*best)->Finish(data, tree, totalESteps, result);
  result->startsAtBest = atBest;
  return true;
}

}  // namespace vorn
