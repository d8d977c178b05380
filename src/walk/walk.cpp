#include "walk/walk.h"

#include <algorithm>

#include "core/memory_limit.h"
#include "core/stack_room.h"
#include "interop/signal_check.h"
#include "ledger/depgraph.h"
#include "timetable/mod.h"
#include "walk/callbacks.h"

namespace kestro {

namespace {

// Phrases resolve their inputs before their function runs, so nesting recurses in C++ alone:
// bound it well below what the stack holds.
constexpr size_t kMaxPhraseDepth = 1000;
// A level of nesting takes about a kilobyte of stack, but a thread's stack may be small: stop
// short of its end, with room left for the function called at the deepest level.
constexpr size_t kStackReserve = 64 * 1024;

// Estimated costs for the signal checks' pacing (SignalPacer), generous: a row's or a booking's
// fixed cost and its passes over the paths, and the call of an expression function.
constexpr uint64_t kRowNs = 200;
constexpr uint64_t kPathNs = 8;
constexpr uint64_t kCallNs = 2000;

class Walker {
 public:
  Walker(EventModel& model, const Timetable& table)
      : model_(model),
        table_(table),
        graph_(table.num_rows()),
        ledger_(model.path_count()),
        discount_(PathArray::scalar(1.0)),
        now_(model.start_time()) {}

  Result<Ledger, EvaluationError> run() {
    const uint64_t row_ns = kRowNs + kPathNs * model_.path_count();
    for (size_t row = 0; row < table_.num_rows(); ++row) {
      KESTRO_RETURN_IF_ERROR(pacer_.step(row_ns));
      auto t = checked_time(row);
      if (!t) return std::unexpected(at_event(row, std::move(t).error()));
      KESTRO_RETURN_IF_ERROR(model_.update_discount(*t, *t > now_, discount_));
      now_ = *t;
      if (auto done = evaluate_row(row, *t); !done) return std::unexpected(at_event(row, std::move(done).error()));
    }
    KESTRO_RETURN_IF_ERROR(graph_.settle(table_, ledger_, model_.flags()));
    return std::move(ledger_);
  }

 private:
  EvaluationError at_event(size_t row, EvaluationError cause) const {
    return EvaluationError::at_event(table_.describe(row), std::move(cause));
  }

  Result<int64_t, EvaluationError> checked_time(size_t row) const {
    const std::optional<int64_t> t = table_.time(row);
    if (!t) return std::unexpected(EvaluationError::message(std::string(model_.missing_time_text())));
    if (*t < now_) {
      return std::unexpected(
          EvaluationError::message("event time is earlier than the current time " + std::to_string(now_)));
    }
    return *t;
  }

  // The row's value on every path, left as its node.
  Result<void, EvaluationError> evaluate_row(size_t row, int64_t t) {
    KESTRO_ASSIGN_OR_RETURN(const Unit* unit, table_.unit(row));
    if (unit == nullptr) return std::unexpected(EvaluationError::EventSpecs{"Missing Unit Name"});

    PathArray value;
    switch (unit->kind) {
      case Unit::Kind::Asset: {
        const size_t index = static_cast<size_t>(unit - table_.units().data());
        KESTRO_ASSIGN_OR_RETURN(value, model_.asset_amount({unit->name, index}, t, multiplier(row)));
        break;
      }
      case Unit::Kind::Snap: {
        auto snap = snaps_.find(unit->name);
        if (snap == snaps_.end()) return std::unexpected(EvaluationError::message("Unknown Snap '" + unit->name + "'"));
        KESTRO_ASSIGN_OR_RETURN(value, multiply(snap->second, multiplier(row)));
        break;
      }
      case Unit::Kind::Phrase: {
        KESTRO_ASSIGN_OR_RETURN(value, evaluate_phrase(unit->name, t));
        KESTRO_RETURN_IF_ERROR(multiply_into(value, multiplier(row)));
        break;
      }
      case Unit::Kind::Snapper:
        return evaluate_snapper(*table_.expressions().find_snapper(unit->name), t);
      case Unit::Kind::Track:
        graph_.set(row, {EventNode::TrackRef{unit->track}});
        return {};
      case Unit::Kind::Unknown:
        return std::unexpected(EvaluationError::message("Unknown Unit"));
    }

    KESTRO_ASSIGN_OR_RETURN(const Op* op, table_.op(row));
    KESTRO_RETURN_IF_ERROR(hold(value));
    if (op->kind != Op::Kind::Named) {
      graph_.set(row, {EventNode::Amount{std::move(value)}});
      return {};
    }
    KESTRO_ASSIGN_OR_RETURN(PathArray weight, resolve_name(op->name, t));
    KESTRO_RETURN_IF_ERROR(hold(weight));
    graph_.set(row, {EventNode::Weighted{std::move(value), std::move(weight)}});
    return {};
  }

  // Every row's array is held until the graph settles: count them against the memory available.
  Result<void, EvaluationError> hold(const PathArray& array) {
    if (array.size() <= 1) return {};  // single values live inline
    return held_.add(static_cast<double>(array.size()) * sizeof(double));
  }

  PathArray multiplier(size_t row) const { return scaled(discount_.clone(), table_.quantity(row)); }

  // A phrase's value, else a stored snap, else the model's (undiscounted, unscaled) asset value.
  Result<PathArray, EvaluationError> resolve_name(std::string_view name, int64_t t) {
    if (table_.expressions().find_phrase(name) != nullptr) return evaluate_phrase(name, t);
    if (auto snap = snaps_.find(name); snap != snaps_.end()) return snap->second.clone();
    return model_.asset_amount({name, AssetRef::kNoUnit}, t, PathArray::scalar(1.0));
  }

  Result<PathArray, EvaluationError> evaluate_phrase(std::string_view name, int64_t t) {
    if (std::find(phrases_.begin(), phrases_.end(), name) != phrases_.end()) {
      return std::unexpected(EvaluationError::message("Phrase '" + std::string(name) + "' refers to itself through its inputs"));
    }
    if (phrases_.size() >= kMaxPhraseDepth) {
      return std::unexpected(EvaluationError::message("Phrases nest more than " + std::to_string(kMaxPhraseDepth) +
                                                      " deep through their inputs"));
    }
    if (stack_left() < kStackReserve) {
      return std::unexpected(EvaluationError::message("Phrases nest more than " + std::to_string(phrases_.size()) +
                                                      " deep through their inputs, more than this thread's stack "
                                                      "holds"));
    }
    phrases_.push_back(name);
    auto outputs = call(*table_.expressions().find_phrase(name), t, OutputUse{0, true});
    phrases_.pop_back();
    if (!outputs) return std::unexpected(std::move(outputs).error());
    if (outputs->empty()) return std::unexpected(EvaluationError::message("No output from phrase"));
    return std::move(outputs->back());
  }

  Result<void, EvaluationError> evaluate_snapper(const Snapper& snapper, int64_t t) {
    KESTRO_ASSIGN_OR_RETURN(std::vector<PathArray> outputs,
                            call(snapper.expr, t, OutputUse{snapper.outputs.size(), false}));
    const size_t stored = std::min(outputs.size(), snapper.outputs.size());
    for (size_t j = 0; j < stored; ++j) {
      KESTRO_RETURN_IF_ERROR(hold(outputs[j]));
      snaps_.insert_or_assign(snapper.outputs[j], std::move(outputs[j]));
    }
    return {};
  }

  // Resolves the inputs in order, then calls the function.
  Result<std::vector<PathArray>, EvaluationError> call(const Expression& expr, int64_t t, OutputUse use) {
    KESTRO_RETURN_IF_ERROR(pacer_.step(kCallNs + kPathNs * model_.path_count() * (expr.inputs.size() + 1)));
    std::vector<PathArray> inputs;
    inputs.reserve(expr.inputs.size());
    for (const std::string& name : expr.inputs) {
      KESTRO_ASSIGN_OR_RETURN(PathArray input, resolve_name(name, t));
      inputs.push_back(std::move(input));
    }
    auto outputs = evaluate(expr, std::move(inputs), use);
    if (!outputs) return std::unexpected(phrase_failure(std::move(outputs).error()));
    return std::move(outputs).value();
  }

  EventModel& model_;
  const Timetable& table_;
  EventGraph graph_;
  Ledger ledger_;
  NameMap<PathArray> snaps_;               // values stored by snappers, by output name
  PathArray discount_;                     // changed only by the model
  int64_t now_;                            // ms; never decreases
  std::vector<std::string_view> phrases_;  // phrases being evaluated, outermost first
  HeldMemory held_{"The walk"};            // path arrays held by the graph and the snaps
  SignalPacer pacer_;                      // rows and expression calls
};

}  // namespace

Result<Ledger, EvaluationError> walk_events(EventModel& model, const Timetable& table) {
  return Walker(model, table).run();
}

}  // namespace kestro
