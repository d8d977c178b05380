#pragma once
// The finite-difference engine: the timetable walked backward on a one-dimensional grid with
// Crank-Nicolson steps (optionally damped after each event date), each row booked straight into
// a ledger with one path per node.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/errors.h"
#include "core/result.h"
#include "fd/tridiagonal.h"
#include "ledger/mod.h"
#include "market/curve.h"
#include "market/dataset.h"

namespace kestro {

class Timetable;

/// What a model variant supplies to the engine.
class FdModel {
 public:
  virtual ~FdModel() = default;
  /// The grid's centre: added to every node coordinate.
  virtual Result<double, CurveError> centre() const = 0;
  /// Fills `m` (sized to the nodes) with the explicit operator of the step from t_hi down to
  /// t_lo. False when `m` already holds it: the step's coefficients equal the previous step's.
  /// Fails with a curve error, or with `step_not_finite` when a coefficient overflows.
  virtual Result<bool, EvaluationError> explicit_operator(int64_t t_hi, int64_t t_lo, std::span<const double> x,
                                                          double dx, TridiagonalOperator& m) = 0;
  /// q times the asset's value at `t`: one value per node, or one value for all.
  virtual Result<PathArray, CurveError> asset_value(std::string_view name, int64_t t, double q,
                                                    std::span<const double> x) = 0;
};

/// (y(a) − y(b)) / (a − b) over the step's year fractions a (t_hi) and b (t_lo); failures are
/// wrapped as RateFailure naming the curve `name`.
Result<double, CurveError> average_rate(const AssetCurve& curve, std::string_view name, int64_t t_hi, int64_t t_lo,
                                        int64_t pricing_ts);

/// q times the forward of asset `name` at `t`, one value for every node: what a variant answers
/// for an asset it does not model.
Result<PathArray, CurveError> forward_asset_value(const FdSettings& settings, std::string_view name, int64_t t,
                                                  double q);

/// The settings a grid needs beyond what the dataset reader checks: N_X ≥ 1, a positive finite
/// MAX_X whose node spacing MAX_X / N_X has a normal square, a TIMESTEP of at least 1 ms and
/// below 2^63 ms, and a grid that fits this machine with the ledger's arrays for `table` (its
/// tracks, and its rows when FLAGS keeps choices or cashflows).
Result<void, EvaluationError> check_fd_settings(const FdSettings& settings, const Timetable& table);

/// A model's VOL must be finite and not negative.
Result<void, EvaluationError> check_vol(double vol);

struct FdGrid {
  Ledger ledger;           // one path per node; its track arrays are the grid values
  std::vector<double> x;   // node coordinates, descending, centre at node N_X
  double dx;               // node spacing
  int64_t now;             // ms; only decreases
};

/// Walks `table` backward from its last row to PRICING_TS, rolling every track back between
/// events and booking each row at its time. The first DAMPING_STEPS steps after each event are
/// taken as two implicit Euler half steps each, the others as Crank-Nicolson steps. Refuses,
/// before the first step, a walk of more than 1e10 node steps, counting every step once per node
/// and per track the rows book, and a damped step twice.
Result<FdGrid, EvaluationError> calculate(const Timetable& table, const FdSettings& settings, FdModel& model);

/// Track 0's value at the centre node; one that is not finite is an error.
Result<double, EvaluationError> read_price(const FdGrid& grid, const FdSettings& settings);

/// "The grid cannot step from <t_lo> to <t_hi> years: <term> is <value>", the times in years
/// from PRICING_TS: a model's refusal of a step whose coefficients overflow.
EvaluationError step_not_finite(int64_t t_hi, int64_t t_lo, int64_t pricing_ts, std::string_view term, double value);

}  // namespace kestro
