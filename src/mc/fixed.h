#pragma once
// The fixed model: one path, assets worth their curve forwards, every payment discounted with
// the base currency's discount factor at its own time.

#include "core/errors.h"
#include "ledger/mod.h"
#include "market/dataset.h"
#include "mc/curve_lookup.h"
#include "walk/event_model.h"

namespace kestro {

class FixedModel final : public EventModel {
 public:
  FixedModel(const FixedSettings& settings, size_t unit_count)
      : settings_(settings), curves_(settings.assets, unit_count) {}

  uint64_t path_count() const override { return 1; }
  int64_t start_time() const override { return settings_.pricing_ts; }
  uint32_t flags() const override { return settings_.flags; }
  std::string_view missing_time_text() const override { return "No event time"; }

  Result<void, EvaluationError> update_discount(int64_t t, bool later, PathArray& discount) override;
  Result<PathArray, EvaluationError> asset_amount(const AssetRef& asset, int64_t t, PathArray multiplier) override;

 private:
  const FixedSettings& settings_;
  CurveLookup curves_;
};

/// The price: track 0's single value.
Result<double, EvaluationError> read_fixed_price(const Ledger& ledger);

}  // namespace kestro
