#pragma once
// Sizes a caller can ask for (paths, grid nodes) are checked against the machine before any
// array is allocated, so an absurd request is a clear error rather than a failed allocation.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/errors.h"
#include "core/result.h"

namespace kestro {

/// The memory this process can still get: the system's available memory (not its total), capped
/// by the room left under the process's address-space limit (RLIMIT_AS).
double available_memory_bytes();

/// Refuses `bytes` beyond what the machine can give: "<what> needs more than N MB of memory;
/// this machine has M MB available" (or "has M MB" beyond its physical memory).
Result<void, EvaluationError> check_fits_in_memory(double bytes, const std::string& what);

/// What a walk holds until it settles, counted as it grows: a request is refused once the
/// arrays held exceed what the machine has available, before the machine runs out.
class HeldMemory {
 public:
  explicit HeldMemory(std::string what);
  /// Counts `bytes` more; an error once the total exceeds the memory available.
  Result<void, EvaluationError> add(double bytes);

 private:
  std::string what_;
  double held_ = 0.0;
  double next_check_ = 64e6;  // small walks never look
  double limit_ = 1e300;      // what may be held, as of the last look
};

/// The path arrays (one entry per path or grid node) a ledger may keep for a timetable of
/// `rows` rows on `tracks` tracks: one per track booked, and one per row for the choices
/// and for the cashflows that `flags` keeps.
double ledger_arrays(size_t rows, size_t tracks, uint32_t flags);

}  // namespace kestro
