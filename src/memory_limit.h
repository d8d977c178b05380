#pragma once
// Sizes a caller can ask for (paths, grid nodes) are checked against the machine before any
// array is allocated, so an absurd request is a clear error rather than a failed allocation.

#include <string>

#include "errors.h"
#include "result.h"

namespace kestro {

/// Refuses `bytes` beyond the machine's physical memory: "<what> needs more than N MB of
/// memory; this machine has M MB".
Result<void, EvaluationError> check_fits_in_memory(double bytes, const std::string& what);

}  // namespace kestro
