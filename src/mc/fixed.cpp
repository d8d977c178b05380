#include "mc/fixed.h"

namespace kestro {

Result<void, EvaluationError> FixedModel::update_discount(int64_t t, bool /*later*/, PathArray& discount) {
  // Recomputed for every row, also at an unchanged time: nothing accumulates between rows.
  KESTRO_ASSIGN_OR_RETURN(const double df, settings_.assets.discount_factor(year_fraction(t, settings_.pricing_ts)));
  discount = PathArray::scalar(df);
  return {};
}

Result<PathArray, EvaluationError> FixedModel::asset_amount(const AssetRef& asset, int64_t t, PathArray multiplier) {
  KESTRO_ASSIGN_OR_RETURN(const double value, curves_.asset_value(asset, year_fraction(t, settings_.pricing_ts)));
  return scaled(std::move(multiplier), value);
}

Result<double, EvaluationError> read_fixed_price(const Ledger& ledger) {
  KESTRO_ASSIGN_OR_RETURN(const PathArray* values, ledger.find_track(0));
  KESTRO_CHECK(values->size() == 1, "one path");
  return (*values)[0];
}

}  // namespace kestro
