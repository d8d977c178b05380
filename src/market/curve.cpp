#include "market/curve.h"

#include <algorithm>
#include <cmath>

#include "time_units.h"

namespace kestro {

namespace {

CurveError out_of_range(double x) { return CurveError{CurveError::OutOfRange{x}}; }

}  // namespace

double year_fraction(int64_t t_ms, int64_t pricing_ms) {
  int64_t diff = 0;
  if (__builtin_sub_overflow(t_ms, pricing_ms, &diff)) {
    return (static_cast<double>(t_ms) - static_cast<double>(pricing_ms)) / kMsPerYear;
  }
  return static_cast<double>(diff) / kMsPerYear;
}

CurveError AssetCurve::not_rising() {
  return CurveError{CurveError::Builder{"Values in the x axis need to be strictly monotonic rising"}};
}

Result<AssetCurve, CurveError> AssetCurve::build(std::string_view kind, std::vector<double> times,
                                                 std::vector<double> values, bool is_base) {
  KESTRO_CHECK(!times.empty() && times.size() == values.size(), "curve rows of equal, non-zero length");
  AssetCurve curve;
  curve.is_base_ = is_base;
  curve.x_ = std::move(times);
  curve.y_ = std::move(values);
  const bool zero_rates = kind == "ZERO_RATES";
  for (size_t i = 0; i < curve.y_.size(); ++i) {
    curve.y_[i] = zero_rates ? curve.x_[i] * curve.y_[i] : std::log(curve.y_[i]);
  }
  const size_t n = curve.x_.size();
  if (n >= 2) {
    for (size_t i = 0; i + 1 < n; ++i) {
      // Written so that NaN times fail too.
      if (!(curve.x_[i + 1] > curve.x_[i])) return std::unexpected(not_rising());
    }
    curve.slope_ = static_cast<double>(n - 1) / (curve.x_[n - 1] - curve.x_[0]);
  }
  return curve;
}

Result<double, CurveError> AssetCurve::stored_value(double x) const {
  const double t0 = x_[0], y0 = y_[0];
  if (t0 > 0 && x <= t0) return x * y0 / t0;  // through the origin: worth 1 at the pricing time
  const size_t n = x_.size();
  if (n < 2 || !(x >= t0 && x <= x_[n - 1])) return std::unexpected(out_of_range(x));

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

void AssetTable::insert(std::string name, AssetCurve curve) {
  curves_.insert_or_assign(std::move(name), std::move(curve));
  base_curve_ = find(base_);  // rehashing keeps element addresses; a replaced base is re-found
}

const AssetCurve* AssetTable::find(std::string_view name) const {
  auto it = curves_.find(name);
  return it == curves_.end() ? nullptr : &it->second;
}

Result<double, CurveError> AssetTable::discount_factor(double x) const {
  if (base_curve_ == nullptr) return std::unexpected(CurveError{CurveError::AssetNotFound{base_}});
  auto y = base_curve_->stored_value(x);
  if (!y) return std::unexpected(CurveError{CurveError::ValueFailure{"discount factor", x, std::move(y).error()}});
  return std::exp(-*y);
}

Result<double, CurveError> AssetTable::asset_value(std::string_view name, double x) const {
  const AssetCurve* curve = find(name);
  if (curve == nullptr) return std::unexpected(CurveError{CurveError::AssetNotFound{std::string(name)}});
  return asset_value(*curve, x);
}

Result<double, CurveError> AssetTable::asset_value(const AssetCurve& curve, double x) {
  if (curve.is_base()) return 1.0;
  auto y = curve.stored_value(x);
  if (!y) return std::unexpected(std::move(y).error());
  return std::exp(*y);
}

}  // namespace kestro
