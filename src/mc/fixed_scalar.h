#pragma once
// The fixed model's common case on plain doubles: a timetable of asset and track units with
// "+", ">" and "<" ops, priced with no statistics. One forward pass computes every row's
// discounted amount, one backward pass books them; nothing is allocated per row, no hash is
// taken and no virtual call is made. The results are the general walk's, bit for bit.

#include <optional>

#include "market/dataset.h"
#include "timetable/mod.h"

namespace kestro {

/// The price, or nullopt when the timetable needs the general walk: expressions, named or null
/// ops, statistics, or any row that fails (the general walk then reports it exactly).
std::optional<double> fixed_price_scalar(const Timetable& table, const FixedSettings& settings);

}  // namespace kestro
