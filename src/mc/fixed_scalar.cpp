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
    if (!have_discount || *t != last_time) {  // the same time gives the same factor
      auto y = base->stored_value(year_fraction(*t, settings.pricing_ts));
      if (!y) return std::nullopt;
      discount = std::exp(-*y);
      last_time = *t;
      have_discount = true;
    }
    auto unit = table.unit(row);
    if (!unit || *unit == nullptr) return std::nullopt;
    const UnitSlot& slot = slots[static_cast<size_t>(*unit - units.data())];
    if (slot.is_track) {
      kinds[row] = Row::TrackRef;
      amounts[row] = static_cast<double>(slot.track);
      continue;
    }
    auto op = table.op(row);
    if (!op || (*op)->kind == Op::Kind::Named) return std::nullopt;
    double value = 1.0;
    if (!slot.curve->is_base()) {
      auto y = slot.curve->stored_value(year_fraction(*t, settings.pricing_ts));
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
    auto track = table.track(row);
    if (!track) return std::nullopt;
    double value = amounts[row];
    if (kinds[row] == Row::TrackRef) {
      const auto referenced = static_cast<size_t>(value);
      if (!booked[referenced]) return std::nullopt;
      value = tracks[referenced];
    }
    auto op = table.op(row);
    if (!op) return std::nullopt;
    double& into = tracks[*track];
    switch ((*op)->kind) {
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
    booked[*track] = 1;
  }
  if (tracks.empty() || !booked[0]) return std::nullopt;
  return tracks[0];
}

}  // namespace kestro
