#pragma once
// Forward and discount curves. Every curve stores y(x) over year fractions x from the pricing
// time: x·r for zero rates, ln F for forwards; queries interpolate y linearly.

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/errors.h"
#include "core/result.h"
#include "core/time_units.h"
#include "timetable/expression.h"  // NameMap

namespace kestro {

/// Year fraction of `t_ms` from `pricing_ms` (365-day years); exact in double even when the
/// difference overflows 64 bits.
inline double year_fraction(int64_t t_ms, int64_t pricing_ms) {
  int64_t diff = 0;
  if (__builtin_sub_overflow(t_ms, pricing_ms, &diff)) {
    return (static_cast<double>(t_ms) - static_cast<double>(pricing_ms)) / kMsPerYear;
  }
  return static_cast<double>(diff) / kMsPerYear;
}

class AssetCurve {
 public:
  /// Builds the curve of one asset from its times (years) and values. `kind` must be
  /// "ZERO_RATES" or "FORWARDS" (checked by the dataset reader); `times` and `values` have the
  /// same, non-zero length; the curve keeps their storage. Fails with the Builder error
  /// (`not_rising`) when the times do not strictly rise.
  static Result<AssetCurve, CurveError> build(std::string_view kind, std::vector<double> times,
                                              std::vector<double> values, bool is_base);
  /// The Builder error of times that do not strictly rise.
  static CurveError not_rising();

  /// y(x): the line through the origin and the first point up to a positive first time, then
  /// linear interpolation; OutOfRange beyond the last time, below a first time <= 0, or for NaN.
  Result<double, CurveError> stored_value(double x) const;
  /// stored_value without the error, for hot loops that hand a failure to the checked path.
  std::optional<double> interpolate(double x) const;

  bool is_base() const { return is_base_; }

 private:
  AssetCurve() = default;
  bool is_base_ = false;
  std::vector<double> x_;  // times in years, strictly rising
  std::vector<double> y_;  // stored values
  double slope_ = 0.0;     // (n - 1) / (x_last - x_first): turns x into a segment guess
};

inline std::optional<double> AssetCurve::interpolate(double x) const {
  const double t0 = x_[0], y0 = y_[0];
  if (t0 > 0 && x <= t0) return x * y0 / t0;  // through the origin: worth 1 at the pricing time
  const size_t n = x_.size();
  if (n < 2 || !(x >= t0 && x <= x_[n - 1])) return std::nullopt;

  // Largest i <= n-2 with x_i <= x: an O(1) guess from even spacing, bisection when it misses.
  size_t i;
  if (x <= t0) {
    i = 0;
  } else if (x >= x_[n - 1]) {
    i = n - 2;
  } else {
    const double guess = (x - t0) * slope_;  // compared first: a cast of inf or NaN is undefined
    i = guess < static_cast<double>(n - 2) ? static_cast<size_t>(guess) : n - 2;
    if (!(x_[i] <= x && x < x_[i + 1])) {
      const auto first = x_[i] > x ? x_.begin() : x_.begin() + static_cast<ptrdiff_t>(i) + 1;
      const auto last = x_[i] > x ? x_.begin() + static_cast<ptrdiff_t>(i) + 1 : x_.end() - 1;
      i = static_cast<size_t>(std::upper_bound(first, last, x) - x_.begin()) - 1;
    }
  }
  return (x - x_[i]) * ((y_[i + 1] - y_[i]) / (x_[i + 1] - x_[i])) + y_[i];
}

class AssetTable {
 public:
  explicit AssetTable(std::string base) : base_(std::move(base)) {}
  // A copy caches its own base curve, not the original's (a move keeps the map's nodes).
  AssetTable(const AssetTable& other) : base_(other.base_), curves_(other.curves_), base_curve_(find(base_)) {}
  AssetTable& operator=(const AssetTable& other) { return *this = AssetTable(other); }
  AssetTable(AssetTable&&) = default;
  AssetTable& operator=(AssetTable&&) = default;

  void insert(std::string name, AssetCurve curve);
  const std::string& base() const { return base_; }
  /// The curve named `name`, or nullptr.
  const AssetCurve* find(std::string_view name) const;

  /// exp(-y(x)) of the base currency; its absence is AssetNotFound(base), a failing y(x) is
  /// wrapped in ValueFailure("discount factor", x, ...).
  Result<double, CurveError> discount_factor(double x) const;
  /// 1 for the base currency, exp(y(x)) for an asset; AssetNotFound(name) for an unknown name.
  Result<double, CurveError> asset_value(std::string_view name, double x) const;
  /// asset_value of a curve already looked up.
  static Result<double, CurveError> asset_value(const AssetCurve& curve, double x);

 private:
  std::string base_;
  NameMap<AssetCurve> curves_;
  const AssetCurve* base_curve_ = nullptr;  // cached: every discount factor needs it
};

}  // namespace kestro
