#pragma once
// The Black-Scholes grid: x = ln S of one asset with constant volatility, drifting at its
// forward curve's rate, discounted at the base currency's rate.

#include "fd/engine.h"

namespace kestro {

class BlackScholesModel final : public FdModel {
 public:
  explicit BlackScholesModel(const FdBlackScholesSettings& settings) : settings_(settings) {}

  /// ln S0, the asset's value at the pricing time.
  Result<double, CurveError> centre() const override;
  Result<void, CurveError> explicit_operator(int64_t t_hi, int64_t t_lo, std::span<const double> x, double dx,
                                             TridiagonalOperator& m) const override;
  /// q·S per node for the modelled asset; q times the forward at t for any other.
  Result<PathArray, CurveError> asset_value(std::string_view name, int64_t t, double q,
                                            std::span<const double> x) const override;

 private:
  const FdBlackScholesSettings& settings_;
};

/// VOL must be finite and not negative.
Result<void, EvaluationError> check_blackscholes_settings(const FdBlackScholesSettings& settings);

}  // namespace kestro
