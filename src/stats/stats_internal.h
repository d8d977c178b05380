#pragma once
// Shared by the statistics writers.

#include "errors.h"

namespace kestro {

/// A Python failure while a statistic is built (memory exhaustion, pyarrow missing): the
/// pending exception, as the writer's error.
inline EvaluationError python_failure() {
  return EvaluationError::message("Error while building statistics, caused by \n" + PyException::fetch().render());
}

}  // namespace kestro
