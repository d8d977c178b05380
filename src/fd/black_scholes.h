#pragma once
// The Black-Scholes grid: x = ln S of one asset with constant volatility, drifting at its
// forward curve's rate, discounted at the base currency's rate.

#include <optional>
#include <vector>

#include "fd/engine.h"

namespace kestro {

class BlackScholesModel final : public FdModel {
 public:
  explicit BlackScholesModel(const FdBlackScholesSettings& settings) : settings_(settings) {}

  /// ln S0, the asset's value at the pricing time.
  Result<double, CurveError> centre() const override;
  Result<bool, EvaluationError> explicit_operator(int64_t t_hi, int64_t t_lo, std::span<const double> x, double dx,
                                             TridiagonalOperator& m) override;
  /// q·S per node for the modelled asset; q times the forward at t for any other.
  Result<PathArray, CurveError> asset_value(std::string_view name, int64_t t, double q,
                                            std::span<const double> x) override;

 private:
  // M depends on a step only through Δt, r and μ: the last step's, to keep an equal operator.
  struct StepKey {
    double dt, r, mu;
    bool operator==(const StepKey&) const = default;
  };

  const FdBlackScholesSettings& settings_;
  std::optional<StepKey> last_step_;
  std::vector<double> spot_;  // S = exp(x) per node, computed on first use
};

/// VOL must be finite and not negative.
Result<void, EvaluationError> check_blackscholes_settings(const FdBlackScholesSettings& settings);

}  // namespace kestro
