#include "memory_limit.h"

#include <unistd.h>

#include <algorithm>

#include "flags.h"

namespace kestro {

namespace {

double physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGE_SIZE);
  return pages > 0 && page > 0 ? static_cast<double>(pages) * static_cast<double>(page) : 1e12;
}

std::string megabytes(double bytes) { return std::to_string(static_cast<unsigned long long>(bytes / 1e6)) + " MB"; }

}  // namespace

Result<void, EvaluationError> check_fits_in_memory(double bytes, const std::string& what) {
  const double available = physical_memory_bytes();
  if (bytes <= available) return {};
  return std::unexpected(EvaluationError::message(what + " needs more than " + megabytes(bytes) +
                                                  " of memory; this machine has " + megabytes(available)));
}

double ledger_arrays(size_t rows, size_t tracks, uint32_t flags) {
  const double per_row = ((flags & kFlagChoices) ? 1.0 : 0.0) + ((flags & kFlagCashflow) ? 1.0 : 0.0);
  return static_cast<double>(std::min(rows, tracks)) + per_row * static_cast<double>(rows);
}

}  // namespace kestro
