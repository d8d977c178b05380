#pragma once
// Shared by the statistics writers.

#include "core/errors.h"

namespace kestro {

/// A Python failure while a statistic is built (memory exhaustion, pyarrow missing): the
/// pending exception, as the writer's error with the exception as root; an interruption as it is.
inline EvaluationError python_failure() {
  PyException exc = PyException::fetch();
  if (exc.interrupts()) return Interrupted{std::move(exc)};
  EvaluationError error = EvaluationError::message("Error while building statistics, caused by \n" + exc.render());
  error.root = PyRef::borrow(exc.value());
  return error;
}

}  // namespace kestro
