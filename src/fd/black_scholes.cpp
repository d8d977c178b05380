#include "fd/black_scholes.h"

#include <cmath>


namespace kestro {

namespace {

Result<const AssetCurve*, CurveError> curve_of(const AssetTable& assets, const std::string& name) {
  const AssetCurve* curve = assets.find(name);
  if (curve == nullptr) return std::unexpected(CurveError{CurveError::AssetNotFound{name}});
  return curve;
}

}  // namespace

Result<double, CurveError> BlackScholesModel::centre() const {
  KESTRO_ASSIGN_OR_RETURN(const double s0, settings_.fd.assets.asset_value(settings_.asset, 0.0));
  return std::log(s0);
}

// Crank-Nicolson on the descending grid of V_t + ½σ²V_xx + (μ − ½σ²)V_x − rV = 0, x = ln S:
// central differences inside; at the edges V_xx = 0 and V_x one-sided toward the interior.
Result<bool, EvaluationError> BlackScholesModel::explicit_operator(int64_t t_hi, int64_t t_lo, std::span<const double>,
                                                                   double dx, TridiagonalOperator& m) {
  const FdSettings& fd = settings_.fd;
  const double dt = year_fraction(t_hi, t_lo);
  KESTRO_ASSIGN_OR_RETURN(const AssetCurve* base, curve_of(fd.assets, fd.assets.base()));
  KESTRO_ASSIGN_OR_RETURN(const double r, average_rate(*base, "discount", t_hi, t_lo, fd.pricing_ts));
  KESTRO_ASSIGN_OR_RETURN(const AssetCurve* asset, curve_of(fd.assets, settings_.asset));
  KESTRO_ASSIGN_OR_RETURN(const double mu, average_rate(*asset, settings_.asset, t_hi, t_lo, fd.pricing_ts));
  const StepKey key{dt, r, mu};
  if (last_step_ == key) return false;

  const double sigma2 = settings_.vol * settings_.vol;
  const double d = sigma2 * (0.25 * dt) / (dx * dx);
  const double w = (mu - sigma2 * 0.5) * (0.25 * dt) / dx;
  const size_t n = m.size();
  auto not_finite = [&](std::string_view term, double value) {
    return std::unexpected(step_not_finite(t_hi, t_lo, fd.pricing_ts, term, value));
  };
  if (!std::isfinite(r)) return not_finite("the discount curve's average rate", r);
  if (!std::isfinite(mu)) return not_finite("the average rate of " + settings_.asset + "'s curve", mu);
  if (!std::isfinite(d)) return not_finite("VOL^2 * dt / (4 * dx^2) with dx = MAX_X / N_X", d);
  if (!std::isfinite(w)) return not_finite("(mu - VOL^2 / 2) * dt / (4 * dx) with dx = MAX_X / N_X", w);
  std::fill(m.lower.begin(), m.lower.end(), -d - w);
  std::fill(m.diag.begin(), m.diag.end(), (2 * d - 1) + dt * 0.5 * r);
  std::fill(m.upper.begin(), m.upper.end(), w - d);
  m.diag[0] = (-1 - 2 * w) + dt * 0.5 * r;
  m.upper[0] = 2 * w;
  m.lower[n - 1] = -2 * w;
  m.diag[n - 1] = dt * 0.5 * r + (2 * w - 1);
  if (const auto entry = non_finite_edge_entry(m)) return not_finite("a coefficient of the step", *entry);
  last_step_ = key;
  return true;
}

Result<PathArray, CurveError> BlackScholesModel::asset_value(std::string_view name, int64_t t, double q,
                                                             std::span<const double> x) {
  if (name == settings_.asset) {
    if (spot_.size() != x.size()) {
      spot_.resize(x.size());
      for (size_t i = 0; i < x.size(); ++i) spot_[i] = std::exp(x[i]);
    }
    PathArray values = PathArray::uninitialized(x.size());
    for (size_t i = 0; i < x.size(); ++i) values[i] = q * spot_[i];
    return values;
  }
  return forward_asset_value(settings_.fd, name, t, q);
}

Result<void, EvaluationError> check_blackscholes_settings(const FdBlackScholesSettings& settings) {
  return check_vol(settings.vol);
}

}  // namespace kestro
