#include "ledger/depgraph.h"

#include "core/overloaded.h"
#include "interop/signal_check.h"
#include "timetable/mod.h"

namespace kestro {

Result<void, EvaluationError> EventGraph::settle(const Timetable& table, Ledger& ledger, uint32_t flags) {
  std::vector<EventNode> nodes = std::exchange(nodes_, {});
  SignalPacer pacer;
  const uint64_t booking_ns = 200 + 8 * ledger.path_count();  // estimated, generously: a few passes over the paths
  for (size_t row = nodes.size(); row-- > 0;) {
    KESTRO_RETURN_IF_ERROR(pacer.step(booking_ns));
    EventNode::node_type& node = nodes[row].node;
    if (std::holds_alternative<EventNode::Pending>(node)) continue;
    KESTRO_ASSIGN_OR_RETURN(const uint64_t track, table.track(row));
    auto booked = std::visit(
        Overloaded{
            [](EventNode::Pending&) -> Result<void, EvaluationError> { return {}; },
            [&](EventNode::Amount& amount) -> Result<void, EvaluationError> {
              KESTRO_ASSIGN_OR_RETURN(const Op* op, table.op(row));
              return ledger.book(*op, track, std::move(amount.value), row, flags);
            },
            [&](EventNode::TrackRef& ref) -> Result<void, EvaluationError> {
              KESTRO_ASSIGN_OR_RETURN(const PathArray* referenced, ledger.find_track(ref.track));
              // A copy: the row may book into the very track it refers to.
              PathArray value = referenced->clone();
              KESTRO_ASSIGN_OR_RETURN(const Op* op, table.op(row));
              return ledger.book(*op, track, std::move(value), row, flags);
            },
            [&](EventNode::Weighted& weighted) -> Result<void, EvaluationError> {
              return ledger.book_weighted(track, std::move(weighted.value), weighted.weight, row, flags);
            },
        },
        node);
    KESTRO_RETURN_IF_ERROR(booked);
    node = EventNode::Pending{};  // release what the booking did not keep
  }
  return {};
}

}  // namespace kestro
