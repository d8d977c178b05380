#include "fd/engine.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "core/memory_limit.h"
#include "core/numbers.h"
#include "core/time_units.h"
#include "interop/signal_check.h"
#include "timetable/mod.h"

namespace kestro {

namespace {

constexpr double kSkipYears = 1e-10;  // a roll-back shorter than this does nothing
// Node-steps a grid may take, counted per track (each a few passes over one node of one
// track's array): about two minutes.
constexpr double kMaxNodeSteps = 1e10;
// Steps are whole milliseconds in a signed 64-bit integer: below 2^63.
constexpr double kMaxStepMs = 9223372036854775808.0;
// Node arrays a step holds besides the tracks: x, M and T (three each), T's factors (two), the product.
constexpr double kArraysPerNode = 10;
// Estimated cost of a step for the pacing of the signal checks, generous: the operators'
// curve lookups, then per node the operators and each track's product and solve.
constexpr uint64_t kStepNs = 500;
constexpr uint64_t kNodeStepNs = 20;

// TIMESTEP in whole milliseconds: truncated toward zero, saturating, NaN as 0.
int64_t step_ms(double timestep) {
  const double ms = timestep * kMsPerYear;
  if (std::isnan(ms)) return 0;
  if (ms >= 9.223372036854775807e18) return std::numeric_limits<int64_t>::max();
  if (ms <= -9.223372036854775808e18) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(ms);
}

int64_t minus_saturating(int64_t a, int64_t b) {
  int64_t out = 0;
  return __builtin_sub_overflow(a, b, &out) ? std::numeric_limits<int64_t>::min() : out;
}

class BackwardWalk {
 public:
  BackwardWalk(const Timetable& table, const FdSettings& settings, FdModel& model, FdGrid& grid)
      : table_(table), settings_(settings), model_(model), grid_(grid), nodes_(grid.x.size()) {
    m_.resize(nodes_);
    t_.resize(nodes_);
    product_ = PathArray::uninitialized(nodes_);
  }

  Result<void, EvaluationError> run(int64_t dt) {
    int64_t lattice = minus_saturating(grid_.now, dt);
    for (size_t row = table_.num_rows(); row-- > 0;) {
      const std::optional<int64_t> e = table_.time(row);
      if (!e) return std::unexpected(at_event(row, EvaluationError::message("No event time")));
      for (; lattice > *e; lattice = minus_saturating(lattice, dt)) KESTRO_RETURN_IF_ERROR(roll_back(lattice));
      KESTRO_RETURN_IF_ERROR(roll_back(*e));
      if (auto applied = apply_event(row, *e); !applied) return std::unexpected(at_event(row, std::move(applied).error()));
      // The event may have put a kink into the values; the steps that follow start damped.
      damped_left_ = settings_.damping_steps;
    }
    for (; lattice > settings_.pricing_ts; lattice = minus_saturating(lattice, dt)) {
      KESTRO_RETURN_IF_ERROR(roll_back(lattice));
    }
    return roll_back(settings_.pricing_ts);
  }

 private:
  EvaluationError at_event(size_t row, EvaluationError cause) const {
    return EvaluationError::at_event(table_.describe(row), std::move(cause));
  }

  // One step of every track from the current time down to `target`: Crank-Nicolson, or, within
  // DAMPING_STEPS steps after an event, two implicit Euler half steps (Rannacher's start), which
  // smooth a payoff's kink where Crank-Nicolson would leave it oscillating.
  Result<void, EvaluationError> roll_back(int64_t target) {
    if (year_fraction(grid_.now, target) < kSkipYears) return {};
    const bool damped = damped_left_ > 0;
    // Two half steps are two solves per track, a Crank-Nicolson step one fused pass and a solve.
    const uint64_t passes = damped ? 2 : 1;
    KESTRO_RETURN_IF_ERROR(pacer_.step(kStepNs + passes * kNodeStepNs * nodes_ * (grid_.ledger.values().size() + 1)));
    KESTRO_ASSIGN_OR_RETURN(const bool changed, model_.explicit_operator(grid_.now, target, grid_.x, grid_.dx, m_));
    if (changed) {
      implicit_from_explicit(m_, t_);
      factor_tridiagonal(t_, factors_);
    }
    for (auto& [track, values] : grid_.ledger.values()) {
      if (damped) {
        implicit_half_steps(t_, factors_, values.data(), product_.data());
      } else {
        crank_nicolson_step(m_, t_, factors_, values.data(), product_.data());
      }
      std::swap(values, product_);  // the old array becomes the next product's storage
    }
    if (damped) --damped_left_;
    grid_.now = target;
    return {};
  }

  Result<void, EvaluationError> apply_event(size_t row, int64_t t) {
    KESTRO_ASSIGN_OR_RETURN(const Unit* unit, table_.unit(row));
    if (unit == nullptr) return std::unexpected(EvaluationError::EventSpecs{"Missing Unit Name"});
    const double q = table_.quantity(row);
    PathArray value;
    switch (unit->kind) {
      case Unit::Kind::Track: {
        KESTRO_ASSIGN_OR_RETURN(const PathArray* referenced, grid_.ledger.find_track(unit->track));
        value = scaled(referenced->clone(), q);
        break;
      }
      case Unit::Kind::Asset: {
        KESTRO_ASSIGN_OR_RETURN(value, model_.asset_value(unit->name, t, q, grid_.x));
        break;
      }
      case Unit::Kind::Unknown:
        return std::unexpected(EvaluationError::EventSpecs{"Unknown Unit"});
      case Unit::Kind::Snapper:
        return std::unexpected(EvaluationError::FeatureNotImplemented{"Snapper in FD: " + unit->name});
      case Unit::Kind::Snap:
        return std::unexpected(EvaluationError::FeatureNotImplemented{"Snap in FD: " + unit->name});
      case Unit::Kind::Phrase:
        return std::unexpected(EvaluationError::FeatureNotImplemented{"Phrase in FD: " + unit->name});
    }
    KESTRO_ASSIGN_OR_RETURN(const uint64_t track, table_.track(row));
    KESTRO_ASSIGN_OR_RETURN(const Op* op, table_.op(row));
    return grid_.ledger.book(*op, track, std::move(value), row, settings_.flags);
  }

  const Timetable& table_;
  const FdSettings& settings_;
  FdModel& model_;
  FdGrid& grid_;
  const size_t nodes_;
  // Workspaces, sized once: every step rebuilds M and T in place.
  TridiagonalOperator m_, t_;
  ThomasFactors factors_;
  PathArray product_;
  SignalPacer pacer_;
  uint32_t damped_left_ = 0;  // steps still to take as implicit half steps
};

// The tracks the rows book, each rolled back on its own array at every step.
size_t booked_tracks(const Timetable& table) {
  std::vector<bool> booked(table.num_tracks());
  size_t count = 0;
  for (size_t row = 0; row < table.num_rows(); ++row) {
    const auto track = table.track(row);
    if (track && *track < booked.size() && !booked[*track]) {
      booked[*track] = true;
      ++count;
    }
  }
  return count;
}

// The times the damping restarts at most: one per run of rows of equal time in table order.
size_t event_dates(const Timetable& table) {
  size_t runs = 0;
  std::optional<int64_t> previous;
  for (size_t row = 0; row < table.num_rows(); ++row) {
    const std::optional<int64_t> t = table.time(row);
    if (row == 0 || t != previous) ++runs;
    previous = t;
  }
  return runs;
}

// The earliest time the walk reaches: PRICING_TS or an earlier row.
int64_t earliest_time(const Timetable& table, int64_t pricing_ts) {
  int64_t lowest = pricing_ts;
  for (size_t row = 0; row < table.num_rows(); ++row) {
    if (auto t = table.time(row)) lowest = std::min(lowest, *t);
  }
  return lowest;
}

}  // namespace

Result<double, CurveError> average_rate(const AssetCurve& curve, std::string_view name, int64_t t_hi, int64_t t_lo,
                                        int64_t pricing_ts) {
  const double a = year_fraction(t_hi, pricing_ts);
  const double b = year_fraction(t_lo, pricing_ts);
  auto failure = [&](CurveError inner) {
    return std::unexpected(CurveError{CurveError::RateFailure{std::string(name), b, a, std::move(inner)}});
  };
  if (a == b) return failure(CurveError{CurveError::DivideByZero{}});
  auto ya = curve.stored_value(a);
  if (!ya) return failure(std::move(ya).error());
  auto yb = curve.stored_value(b);
  if (!yb) return failure(std::move(yb).error());
  return (*ya - *yb) / (a - b);
}

Result<PathArray, CurveError> forward_asset_value(const FdSettings& settings, std::string_view name, int64_t t,
                                                  double q) {
  KESTRO_ASSIGN_OR_RETURN(const double value, settings.assets.asset_value(name, year_fraction(t, settings.pricing_ts)));
  return PathArray::scalar(q * value);
}

Result<void, EvaluationError> check_fd_settings(const FdSettings& settings, const Timetable& table) {
  auto refuse = [](std::string text) { return std::unexpected(EvaluationError::message(std::move(text))); };
  if (settings.n_x == 0) return refuse("N_X must be at least 1: the grid needs a node on each side of its centre");
  if (!(settings.max_x > 0.0) || !std::isfinite(settings.max_x)) {
    return refuse("MAX_X must be a positive finite number, got " + format_double(settings.max_x));
  }
  // The steps divide by dx²: a square below the normal doubles loses its digits or is 0.
  const double dx = settings.max_x / static_cast<double>(settings.n_x);
  if (!(dx * dx >= std::numeric_limits<double>::min())) {
    return refuse("MAX_X / N_X, the node spacing, must not be below the square root of the smallest normal double, "
                  "got " + format_double(dx));
  }
  // The same rule for every TIMESTEP, infinite or not: its milliseconds, truncated, must be a
  // positive signed 64-bit integer.
  const double ms = settings.timestep * kMsPerYear;
  if (!(ms >= 1.0 && ms < kMaxStepMs)) {
    return refuse("TIMESTEP must be at least one millisecond (" + format_double(1.0 / kMsPerYear) +
                  " years) and below " + std::to_string(static_cast<uint64_t>(kMaxStepMs)) + " milliseconds (" +
                  format_double(kMaxStepMs / kMsPerYear) +
                  " years), got " + format_double(settings.timestep));
  }
  const double nodes = 2.0 * static_cast<double>(settings.n_x) + 1.0;
  // The arrays of a step, and the ledger's: a track at least, each further track one more.
  const double arrays = kArraysPerNode + std::max(1.0, ledger_arrays(table.num_rows(), table.num_tracks(), settings.flags));
  return check_fits_in_memory(nodes * sizeof(double) * arrays, "A grid of " + format_double(nodes) + " nodes (N_X = " +
                                                                   std::to_string(settings.n_x) + ", " +
                                                                   format_double(arrays) + " node arrays)");
}

Result<void, EvaluationError> check_vol(double vol) {
  if (std::isfinite(vol) && vol >= 0) return {};
  return std::unexpected(EvaluationError::message("VOL must be finite and not negative, got " + format_double(vol)));
}

Result<FdGrid, EvaluationError> calculate(const Timetable& table, const FdSettings& settings, FdModel& model) {
  if (table.num_rows() == 0) {
    return std::unexpected(EvaluationError::message(
        "The finite-difference grid needs at least one event: its walk starts at the last event's time"));
  }
  const size_t last = table.num_rows() - 1;
  const std::optional<int64_t> start = table.time(last);
  if (!start) {
    return std::unexpected(EvaluationError::AtEvent{table.describe(last), "No event time"});
  }
  const int64_t dt = step_ms(settings.timestep);
  const size_t nodes = 2 * settings.n_x + 1;
  // Refuse a walk that would run for hours before it starts: every step rolls each track's array,
  // and a damped step (two half steps) costs about two. At most DAMPING_STEPS steps after each
  // event date are damped, and never more steps than the walk takes.
  const double span = static_cast<double>(*start) - static_cast<double>(earliest_time(table, settings.pricing_ts));
  const double plain_steps = span / static_cast<double>(dt) + static_cast<double>(table.num_rows()) + 1.0;
  const double damped_steps =
      std::min(plain_steps, static_cast<double>(settings.damping_steps) * static_cast<double>(event_dates(table)));
  const double steps = plain_steps + damped_steps;
  const size_t tracks = std::max<size_t>(1, booked_tracks(table));
  if (steps * static_cast<double>(nodes) * static_cast<double>(tracks) > kMaxNodeSteps) {
    return std::unexpected(EvaluationError::message(
        "The grid would take about " + format_double(std::floor(steps)) + " steps of " + std::to_string(nodes) +
        " nodes on " + std::to_string(tracks) + (tracks == 1 ? " track" : " tracks") + "; at most " +
        format_double(kMaxNodeSteps) + " node steps are allowed: raise TIMESTEP or lower N_X" +
        (settings.damping_steps == 0 ? "" : " or DAMPING_STEPS") + (tracks == 1 ? "" : ", or book fewer tracks")));
  }

  KESTRO_ASSIGN_OR_RETURN(const double centre, model.centre());
  FdGrid grid{Ledger(nodes), std::vector<double>(nodes), settings.max_x / static_cast<double>(settings.n_x), *start};
  const double step = (-settings.max_x - settings.max_x) / static_cast<double>(2 * settings.n_x);
  for (size_t i = 0; i < nodes; ++i) grid.x[i] = static_cast<double>(i) * step + settings.max_x + centre;

  KESTRO_RETURN_IF_ERROR(BackwardWalk(table, settings, model, grid).run(dt));
  return grid;
}

Result<double, EvaluationError> read_price(const FdGrid& grid, const FdSettings& settings) {
  KESTRO_ASSIGN_OR_RETURN(const PathArray* values, grid.ledger.find_track(0));
  const double price = (*values)[settings.n_x];
  // The step operators are finite (the models refuse a step that is not), so what is left is
  // the values themselves: a payment, or its discounting over the steps, beyond the doubles.
  if (!std::isfinite(price)) {
    return std::unexpected(EvaluationError::message(
        "The price at the grid's centre is " + format_double(price) +
        ", not a finite number: the values booked or rolled back on the grid overflowed, or a quantity or an "
        "asset's value is not finite"));
  }
  return price;
}

EvaluationError step_not_finite(int64_t t_hi, int64_t t_lo, int64_t pricing_ts, std::string_view term, double value) {
  return EvaluationError::message("The grid cannot step from " + format_double(year_fraction(t_lo, pricing_ts)) +
                                  " to " + format_double(year_fraction(t_hi, pricing_ts)) + " years: " +
                                  std::string(term) + " is " + format_double(value));
}

}  // namespace kestro
