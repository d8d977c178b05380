#pragma once
// The Hull-White grid: x is the mean-reverting factor of the short rate r = x + φ(t), with φ
// fitted to the base currency's discount curve; assets stay at their forwards.

#include "fd/engine.h"

namespace kestro {

class HullWhiteModel final : public FdModel {
 public:
  explicit HullWhiteModel(const FdHullWhiteSettings& settings) : settings_(settings) {}

  Result<double, CurveError> centre() const override { return 0.0; }
  /// Rebuilt every step: φ moves with the step's earlier end.
  Result<bool, EvaluationError> explicit_operator(int64_t t_hi, int64_t t_lo, std::span<const double> x, double dx,
                                             TridiagonalOperator& m) override;
  /// q times the asset's forward at t, on every node.
  Result<PathArray, CurveError> asset_value(std::string_view name, int64_t t, double q,
                                            std::span<const double> x) override;

 private:
  const FdHullWhiteSettings& settings_;
};

/// VOL and MEANREV must be finite and not negative.
Result<void, EvaluationError> check_hullwhite_settings(const FdHullWhiteSettings& settings);

}  // namespace kestro
