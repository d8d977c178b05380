#include "market/curve.h"

#include <algorithm>
#include <cmath>

#include "core/time_units.h"

namespace kestro {

namespace {

CurveError out_of_range(double x) { return CurveError{CurveError::OutOfRange{x}}; }

}  // namespace

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
  if (std::optional<double> y = interpolate(x)) return *y;
  return std::unexpected(out_of_range(x));
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
