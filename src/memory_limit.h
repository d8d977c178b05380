#pragma once
// Sizes a caller can ask for (paths, grid nodes) are checked against the machine before any
// array is allocated, so an absurd request is a clear error rather than a failed allocation.

#include <cstddef>
#include <cstdint>
#include <string>

#include "errors.h"
#include "result.h"

namespace kestro {

/// Refuses `bytes` beyond the machine's physical memory: "<what> needs more than N MB of
/// memory; this machine has M MB".
Result<void, EvaluationError> check_fits_in_memory(double bytes, const std::string& what);

/// The path arrays (one entry per path or grid node) a ledger may keep for a timetable of
/// `rows` rows on `tracks` tracks: one per track booked, and one per row for the choices
/// and for the cashflows that `flags` keeps.
double ledger_arrays(size_t rows, size_t tracks, uint32_t flags);

}  // namespace kestro
