#include "fd/hull_white.h"

#include <cmath>

#include "numbers.h"

namespace kestro {

// Crank-Nicolson on the descending grid of V_t + ½σ²V_xx − a·x·V_x − (x + φ)V = 0: central
// differences inside; at the edges V_xx = 0 and V_x one-sided toward the interior.
Result<bool, CurveError> HullWhiteModel::explicit_operator(int64_t t_hi, int64_t t_lo, std::span<const double> x,
                                                           double dx, TridiagonalOperator& m) {
  const FdSettings& fd = settings_.fd;
  const double dt = year_fraction(t_hi, t_lo);
  const double b = year_fraction(t_lo, fd.pricing_ts);
  const AssetCurve* base = fd.assets.find(fd.assets.base());
  if (base == nullptr) return std::unexpected(CurveError{CurveError::AssetNotFound{fd.assets.base()}});
  KESTRO_ASSIGN_OR_RETURN(const double rate, average_rate(*base, "discount", t_hi, t_lo, fd.pricing_ts));

  // φ = r̄ + σ²(1 − e^{−ab})²/(2a²): the step's average forward plus the convexity at its
  // earlier end. Without mean reversion (a = 0) the term is its limit σ²b²/2.
  const double a = settings_.mean_reversion;
  const double sigma2 = settings_.vol * settings_.vol;
  const double phi = a != 0.0 ? sigma2 / ((a + a) * a) * (1 - std::exp(-a * b)) * (1 - std::exp(-a * b)) + rate
                              : sigma2 * b * b * 0.5 + rate;
  const double dc = sigma2 * (0.25 * dt) / (dx * dx);
  const double drift = a * 0.25 * dt;
  const size_t n = m.size();
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
  return true;
}

Result<PathArray, CurveError> HullWhiteModel::asset_value(std::string_view name, int64_t t, double q,
                                                          std::span<const double>) {
  KESTRO_ASSIGN_OR_RETURN(const double value,
                          settings_.fd.assets.asset_value(name, year_fraction(t, settings_.fd.pricing_ts)));
  return PathArray::scalar(q * value);
}

Result<void, EvaluationError> check_hullwhite_settings(const FdHullWhiteSettings& settings) {
  KESTRO_RETURN_IF_ERROR(check_vol(settings.vol));
  if (!std::isfinite(settings.mean_reversion)) {
    return std::unexpected(EvaluationError::message("MEANREV must be finite, got " + format_double(settings.mean_reversion)));
  }
  return {};
}

}  // namespace kestro
