#pragma once
// What the forward walk asks of a path-wise model (Monte Carlo, fixed, backtest).

#include <cstdint>
#include <limits>
#include <string_view>

#include "core/errors.h"
#include "core/result.h"
#include "ledger/path_array.h"

namespace kestro {

/// An asset named by a row's unit (`unit` is its index in the unit dictionary, so a model can
/// remember per unit what it looked up) or by an expression input or named op (kNoUnit).
struct AssetRef {
  static constexpr size_t kNoUnit = std::numeric_limits<size_t>::max();
  std::string_view name;
  size_t unit = kNoUnit;
};

class EventModel {
 public:
  virtual ~EventModel() = default;

  virtual uint64_t path_count() const = 0;
  virtual int64_t start_time() const = 0;
  virtual uint32_t flags() const = 0;
  /// The text of the event error for a row without a time.
  virtual std::string_view missing_time_text() const = 0;

  /// Moves the model to time `t` (later: t is after the current time); may replace the
  /// discount vector.
  virtual Result<void, EvaluationError> update_discount(int64_t t, bool later, PathArray& discount) = 0;
  /// The asset's value at `t` on every path, times `multiplier`.
  virtual Result<PathArray, EvaluationError> asset_amount(const AssetRef& asset, int64_t t, PathArray multiplier) = 0;
};

}  // namespace kestro
