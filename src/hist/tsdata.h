#pragma once
// Historical values of assets for the backtests: what asset A was worth at time t.

#include <cstdint>
#include <string>
#include <string_view>

#include "core/errors.h"
#include "core/result.h"

namespace kestro {

class HistSeries {
 public:
  virtual ~HistSeries() = default;
  /// The value of `name` at `t_ms` (ms since 1970-01-01 UTC); the base currency is always 1.
  virtual Result<double, EvaluationError> value(std::string_view name, int64_t t_ms) const = 0;
};

/// Every asset but the base currency is worth `constant` at every time in the calendar range.
class ConstantSeries final : public HistSeries {
 public:
  ConstantSeries(std::string base, double constant) : base_(std::move(base)), constant_(constant) {}
  Result<double, EvaluationError> value(std::string_view name, int64_t t_ms) const override;

 private:
  std::string base_;
  double constant_;
};

/// Asks `source.get_value(name, t_ms)`; the base currency is never asked.
class PySeries final : public HistSeries {
 public:
  PySeries(std::string base, PyObject* source) : base_(std::move(base)), source_(source) {}
  Result<double, EvaluationError> value(std::string_view name, int64_t t_ms) const override;

 private:
  std::string base_;
  PyObject* source_;  // borrowed: the caller's py_state, alive for the whole call
};

}  // namespace kestro
