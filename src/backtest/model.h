#pragma once
// The backtest: the timetable run once against historical values, undiscounted, recording
// its cashflows.

#include "core/flags.h"
#include "hist/tsdata.h"
#include "walk/event_model.h"

namespace kestro {

class BacktestModel final : public EventModel {
 public:
  explicit BacktestModel(const HistSeries& series) : series_(series) {}

  uint64_t path_count() const override { return 1; }
  int64_t start_time() const override { return 0; }
  uint32_t flags() const override { return kFlagCashflow; }
  std::string_view missing_time_text() const override { return "No event time"; }

  /// Nothing is discounted: the discount vector stays [1.0].
  Result<void, EvaluationError> update_discount(int64_t, bool, PathArray&) override { return {}; }
  Result<PathArray, EvaluationError> asset_amount(const AssetRef& asset, int64_t t, PathArray multiplier) override {
    KESTRO_ASSIGN_OR_RETURN(const double value, series_.value(asset.name, t));
    return scaled(std::move(multiplier), value);
  }

 private:
  const HistSeries& series_;
};

}  // namespace kestro
