#pragma once
// The Monte Carlo model: paths and per-path discount factors come from the caller's py_state
// (`advance`, `get_value`); the curves answer when it has no answer.

#include "core/errors.h"
#include "ledger/mod.h"
#include "market/dataset.h"
#include "mc/curve_lookup.h"
#include "timetable/mod.h"
#include "walk/event_model.h"

namespace kestro {

class MonteCarloModel final : public EventModel {
 public:
  MonteCarloModel(const McSettings& settings, PyObject* py_state, size_t unit_count)
      : settings_(settings), py_state_(py_state), curves_(settings.assets, unit_count) {}

  uint64_t path_count() const override { return settings_.paths; }
  int64_t start_time() const override { return settings_.pricing_ts; }
  uint32_t flags() const override { return settings_.flags; }
  std::string_view missing_time_text() const override { return "missing time"; }

  /// At a later time, multiplies the discount vector by what `advance(x)` returns (an array or
  /// a number), or resets it to the curve's factor when it returns neither.
  Result<void, EvaluationError> update_discount(int64_t t, bool later, PathArray& discount) override;
  /// `get_value(name)` × multiplier when that is a float64 array, the curve forward otherwise.
  Result<PathArray, EvaluationError> asset_amount(const AssetRef& asset, int64_t t, PathArray multiplier) override;

 private:
  // A path array from py_state must have one entry or one per path.
  Result<void, EvaluationError> check_paths(size_t length, std::string_view call) const;

  const McSettings& settings_;
  PyObject* py_state_;  // borrowed for the call
  CurveLookup curves_;
};

/// PATHS must leave room for the walk's arrays of one double per path and the ledger's for
/// `table` (its tracks, and its rows when FLAGS keeps choices or cashflows).
Result<void, EvaluationError> check_mc_settings(const McSettings& settings, const Timetable& table);

/// The price: the mean of track 0 over the paths.
Result<double, EvaluationError> read_mc_price(const Ledger& ledger);

}  // namespace kestro
