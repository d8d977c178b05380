#pragma once
// The forward event walk of the path-wise models.

#include "core/errors.h"
#include "core/result.h"
#include "ledger/mod.h"
#include "walk/event_model.h"

namespace kestro {

class Timetable;

/// Visits the rows in table order against `model`, valuing each row's unit on every path,
/// then settles the event graph into a ledger of `model.path_count()` paths and returns it.
Result<Ledger, EvaluationError> walk_events(EventModel& model, const Timetable& table);

}  // namespace kestro
