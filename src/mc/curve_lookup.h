#pragma once
// Curve lookups by asset name that remember, per unit of the timetable, what they found, so
// rows after the first do no string hashing.

#include <vector>

#include "market/curve.h"
#include "walk/event_model.h"

namespace kestro {

class CurveLookup {
 public:
  CurveLookup(const AssetTable& table, size_t unit_count) : table_(table), by_unit_(unit_count) {}

  /// The asset's value at year fraction x (1 for the base currency), or the curve's error.
  Result<double, CurveError> asset_value(const AssetRef& asset, double x) {
    if (asset.unit >= by_unit_.size()) return table_.asset_value(asset.name, x);
    Slot& slot = by_unit_[asset.unit];
    if (!slot.looked_up) slot = {true, table_.find(asset.name)};
    if (slot.curve == nullptr) return std::unexpected(CurveError{CurveError::AssetNotFound{std::string(asset.name)}});
    return AssetTable::asset_value(*slot.curve, x);
  }

  const AssetTable& table() const { return table_; }

 private:
  struct Slot {
    bool looked_up = false;
    const AssetCurve* curve = nullptr;
  };
  const AssetTable& table_;
  std::vector<Slot> by_unit_;  // by index in the unit dictionary
};

}  // namespace kestro
