#include "fd/hull_white.h"

#include <cmath>

#include "core/numbers.h"

namespace kestro {

namespace {

// B = (1 − e^{−ab})/a, the factor's weight in the bond price to time b, written b·(e^{−ab} − 1)/(−ab)
// so that it loses no digits for a small a·b, and is b itself at a = 0 or when a·b underflows.
double factor_weight(double a, double b) {
  const double ab = a * b;
  if (ab == 0.0) return b;
  const double e = std::expm1(-ab);
  if (std::isinf(e)) return -e / a;  // e^{−ab} beyond the doubles: so is B
  return b * (e / -ab);
}

}  // namespace

// Crank-Nicolson on the descending grid of V_t + ½σ²V_xx − a·x·V_x − (x + φ)V = 0: central
// differences inside; at the edges V_xx = 0 and V_x one-sided toward the interior.
Result<bool, EvaluationError> HullWhiteModel::explicit_operator(int64_t t_hi, int64_t t_lo,
                                                                std::span<const double> x, double dx,
                                                                TridiagonalOperator& m) {
  const FdSettings& fd = settings_.fd;
  const double dt = year_fraction(t_hi, t_lo);
  const double b = year_fraction(t_lo, fd.pricing_ts);
  const AssetCurve* base = fd.assets.find(fd.assets.base());
  if (base == nullptr) return std::unexpected(CurveError{CurveError::AssetNotFound{fd.assets.base()}});
  KESTRO_ASSIGN_OR_RETURN(const double rate, average_rate(*base, "discount", t_hi, t_lo, fd.pricing_ts));

  // φ = r̄ + σ²B²/2 with B = (1 − e^{−ab})/a: the step's average forward plus the convexity at
  // its earlier end, continuous down to a = 0, where it is σ²b²/2.
  const double a = settings_.mean_reversion;
  const double sigma2 = settings_.vol * settings_.vol;
  const double weight = factor_weight(a, b);
  const double convexity = sigma2 * weight * weight * 0.5;
  const double phi = convexity + rate;
  const double dc = sigma2 * (0.25 * dt) / (dx * dx);
  const double drift = a * 0.25 * dt;
  const size_t n = m.size();
  auto not_finite = [&](std::string_view term, double value) {
    return std::unexpected(step_not_finite(t_hi, t_lo, fd.pricing_ts, term, value));
  };
  if (!std::isfinite(rate)) return not_finite("the discount curve's average rate", rate);
  if (!std::isfinite(convexity)) {
    return not_finite("the convexity VOL^2 * B^2 / 2 with B = (1 - exp(-MEANREV * t)) / MEANREV", convexity);
  }
  if (!std::isfinite(phi)) return not_finite("the short rate's shift (average rate plus convexity)", phi);
  if (!std::isfinite(dc)) return not_finite("VOL^2 * dt / (4 * dx^2) with dx = MAX_X / N_X", dc);
  if (const double w = x[0] * drift / dx; !std::isfinite(w)) {
    return not_finite("MEANREV * dt * MAX_X / (4 * dx) with dx = MAX_X / N_X", w);
  }
  for (size_t i = 0; i < n; ++i) {
    const double r = x[i] + phi;
    const double w = x[i] * drift / dx;
    m.lower[i] = w - dc;
    m.diag[i] = r * (dt * 0.5) + (2 * dc - 1);
    m.upper[i] = -dc - w;
  }
  const double w0 = x[0] * drift / dx;
  m.diag[0] = (x[0] + phi) * (dt * 0.5) + (2 * w0 - 1);
  m.upper[0] = -2 * w0;
  const double wn = x[n - 1] * drift / dx;
  m.lower[n - 1] = 2 * wn;
  m.diag[n - 1] = (dt * 0.5) * (x[n - 1] + phi) + (-1 - 2 * wn);
  if (const auto entry = non_finite_edge_entry(m)) return not_finite("a coefficient of the step", *entry);
  return true;
}

Result<PathArray, CurveError> HullWhiteModel::asset_value(std::string_view name, int64_t t, double q,
                                                          std::span<const double>) {
  return forward_asset_value(settings_.fd, name, t, q);
}

Result<void, EvaluationError> check_hullwhite_settings(const FdHullWhiteSettings& settings) {
  KESTRO_RETURN_IF_ERROR(check_vol(settings.vol));
  // A negative mean reversion drives the factor away from 0 exponentially: no grid of fixed
  // width holds it, and the convexity grows like e^{−2ab}.
  if (!std::isfinite(settings.mean_reversion) || settings.mean_reversion < 0) {
    return std::unexpected(EvaluationError::message("MEANREV must be finite and not negative, got " +
                                                    format_double(settings.mean_reversion)));
  }
  return {};
}

}  // namespace kestro
