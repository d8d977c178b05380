#pragma once
// The event graph: what each row will book, left by the forward walk and settled into the
// ledger from the last row to the first.

#include <cstdint>
#include <variant>
#include <vector>

#include "core/errors.h"
#include "core/result.h"
#include "ledger/mod.h"
#include "ledger/path_array.h"

namespace kestro {

class Timetable;

struct EventNode {
  struct Pending {};
  struct Amount { PathArray value; };                  // multiplied by quantity and discount
  struct TrackRef { uint64_t track; };                  // the referenced track's value, as booked by then
  struct Weighted { PathArray value; PathArray weight; };  // a named op: weight blends value in
  using node_type = std::variant<Pending, Amount, TrackRef, Weighted>;
  node_type node;
};

class EventGraph {
 public:
  explicit EventGraph(size_t rows) : nodes_(rows) {}

  void set(size_t row, EventNode node) { nodes_[row] = std::move(node); }

  /// Books every node into `ledger`, last row first; the graph is empty afterwards. The first
  /// error stops it and is returned as it is (no event wrapper).
  Result<void, EvaluationError> settle(const Timetable& table, Ledger& ledger, uint32_t flags);

 private:
  std::vector<EventNode> nodes_;  // one per row, by row index
};

}  // namespace kestro
