// The estimator's one call and the reconstruction from its result.
#include "estimation/fit.h"

#include "data/alignment_data.h"
#include "data/phylogenetic_tree.h"
#include "estimation/em.h"
#include "estimation/history_sink.h"
#include "estimation/screened_search.h"
#include "estimation/uncertainty.h"

namespace vorn {

Estimator::Estimator(const FitSettings& settings, const PhylogeneticTree& tree, const AlignmentData& data)
    : em_(std::make_unique<EM>()), settings_(settings), tree_(tree), data_(data) {}

Estimator::~Estimator() = default;

bool Estimator::Fit(const EvolModel& given, HistorySink& history, FitResult* result) {
  if (settings_.search == Search::kScreen) return ScreenedSearch(settings_, given, tree_, data_, history, &em_, result);
  em_->Configure(settings_, given, tree_);
  return em_->Run(data_, tree_, history, result);
}

void Estimator::Reconstruct(const FitResult& result, AncestralTables* tables) {
  // The reconstruction counts the observed sites: conditioned on presence, their posteriors are
  // those of an E-step without the unobserved ones.
  if (!em_->conditionOnPresence) {
    EM& em = *em_;
    em.eStep.Sums() = result.sums;
    em.AccumulateAncestral(tables, tree_);
    return;
  }
  em_->model = result.model;
  em_->lossCategories = result.lossCategories;
  em_->gainCategories = result.gainCategories;
  em_->conditionOnPresence = false;
  em_->ComputeExpectations(data_, tree_);
  em_->AccumulateAncestral(tables, tree_);
  em_->conditionOnPresence = true;
}

void Estimator::ComputeEntryPosteriors(const FitResult& result, const std::vector<EntryRef>& entries,
                                       EntryPosteriors* posteriors) {
  em_->eStep.ComputeEntryPosteriors(result.model, result.gainCategories, result.lossCategories, data_, tree_, entries,
                                    posteriors);
}

void Estimator::MeasureUncertainty(const FitResult& result, Uncertainty* uncertainty) {
  em_->lossCategories = result.lossCategories;
  em_->gainCategories = result.gainCategories;
  ComputeUncertainty(*em_, data_, tree_, result, uncertainty);
}

}  // namespace vorn
