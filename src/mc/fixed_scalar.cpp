#include "mc/fixed_scalar.h"

#include <cmath>
#include <vector>

#include "market/curve.h"

namespace kestro {

namespace {

enum class Row : uint8_t { Amount, TrackRef };

// What a unit dictionary value resolves to, looked up once.
struct UnitSlot {
  const AssetCurve* curve = nullptr;  // Asset units
  uint64_t track = 0;                 // Track units
  bool is_track = false;
};

}  // namespace

std::optional<double> fixed_price_scalar(const Timetable& table, const FixedSettings& settings) {
  if (settings.flags != 0) return std::nullopt;
  const std::vector<Unit>& units = table.units();
  const std::vector<Op>& ops = table.ops();
  std::vector<UnitSlot> slots(units.size());
  for (size_t u = 0; u < units.size(); ++u) {
    switch (units[u].kind) {
      case Unit::Kind::Asset:
        slots[u].curve = settings.assets.find(units[u].name);
        if (slots[u].curve == nullptr) return std::nullopt;
        break;
      case Unit::Kind::Track:
        slots[u] = {nullptr, units[u].track, true};
        break;
      default:
        return std::nullopt;  // expressions and unknown units take the general walk
    }
  }
  const AssetCurve* base = settings.assets.find(settings.assets.base());
  if (base == nullptr) return std::nullopt;

  const size_t rows = table.num_rows();
  std::vector<double> amounts(rows);
  std::vector<Row> kinds(rows);
  int64_t now = settings.pricing_ts, last_time = 0;
  double discount = 0.0;
  bool have_discount = false;
  for (size_t row = 0; row < rows; ++row) {
    const std::optional<int64_t> t = table.time(row);
    if (!t || *t < now) return std::nullopt;
    now = *t;
    const double x = year_fraction(*t, settings.pricing_ts);
    if (!have_discount || *t != last_time) {  // the same time gives the same factor
      std::optional<double> y = base->interpolate(x);
      if (!y) return std::nullopt;
      discount = std::exp(-*y);
      last_time = *t;
      have_discount = true;
    }
    const int64_t unit = table.unit_key(row);
    if (unit < 0) return std::nullopt;
    const UnitSlot& slot = slots[static_cast<size_t>(unit)];
    if (slot.is_track) {
      kinds[row] = Row::TrackRef;
      amounts[row] = static_cast<double>(slot.track);
      continue;
    }
    const int64_t op = table.op_key(row);  // a null op fails when booked: the general walk says so
    if (op < 0 || ops[static_cast<size_t>(op)].kind == Op::Kind::Named) return std::nullopt;
    double value = 1.0;
    if (!slot.curve->is_base()) {
      std::optional<double> y = slot.curve->interpolate(x);
      if (!y) return std::nullopt;
      value = std::exp(*y);
    }
    kinds[row] = Row::Amount;
    amounts[row] = (discount * table.quantity(row)) * value;  // the multiplier first, as the walk forms it
  }

  // Booked last row first, as the ledger books them; a track enters at zero.
  std::vector<double> tracks(table.num_tracks(), 0.0);
  std::vector<uint8_t> booked(table.num_tracks(), 0);
  for (size_t row = rows; row-- > 0;) {
    const int64_t track = table.track_key(row);
    if (track < 0) return std::nullopt;
    double value = amounts[row];
    if (kinds[row] == Row::TrackRef) {
      const auto referenced = static_cast<size_t>(value);
      if (!booked[referenced]) return std::nullopt;
      value = tracks[referenced];
    }
    const int64_t op = table.op_key(row);
    if (op < 0) return std::nullopt;
    double& into = tracks[static_cast<size_t>(track)];
    switch (ops[static_cast<size_t>(op)].kind) {
      case Op::Kind::Add:
        into += value;
        break;
      case Op::Kind::Max:
        if (std::isnan(into) || value > into) into = value;
        break;
      case Op::Kind::Min:
        if (std::isnan(into) || value < into) into = value;
        break;
      default:
        return std::nullopt;
    }
    booked[static_cast<size_t>(track)] = 1;
  }
  if (tracks.empty() || !booked[0]) return std::nullopt;
  return tracks[0];
}

}  // namespace kestro
