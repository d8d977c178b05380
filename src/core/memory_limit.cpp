#include "core/memory_limit.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "core/flags.h"
#include "core/page_pool.h"

namespace kestro {

namespace {

double page_bytes() {
  const long page = sysconf(_SC_PAGE_SIZE);
  return page > 0 ? static_cast<double>(page) : 4096.0;
}

double physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  return pages > 0 ? static_cast<double>(pages) * page_bytes() : 1e12;
}

// MemAvailable: what the kernel can hand out without swapping (page cache included).
std::optional<double> meminfo_available_bytes() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  double kilobytes = 0.0;
  std::string unit;
  while (meminfo >> key >> kilobytes) {
    std::getline(meminfo, unit);
    if (key == "MemAvailable:") return kilobytes * 1024.0;
  }
  return std::nullopt;
}

// The room left under this process's address-space limit, if it has one.
std::optional<double> address_space_headroom_bytes() {
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
  std::ifstream statm("/proc/self/statm");
  double pages = 0.0;
  if (!(statm >> pages)) pages = 0.0;
  // Mappings the page pool keeps count against the limit but are ours to reuse.
  const double kept = static_cast<double>(page_pool::kept_bytes());
  return std::max(0.0, static_cast<double>(limit.rlim_cur) - pages * page_bytes() + kept);
}

std::string megabytes(double bytes) { return std::to_string(static_cast<unsigned long long>(bytes / 1e6)) + " MB"; }

}  // namespace

double available_memory_bytes() {
  double available = meminfo_available_bytes().value_or(physical_memory_bytes());
  if (auto headroom = address_space_headroom_bytes()) available = std::min(available, *headroom);
  return available;
}

Result<void, EvaluationError> check_fits_in_memory(double bytes, const std::string& what) {
  if (bytes <= physical_memory_bytes()) {  // the cheap test first: most requests are small
    const double available = available_memory_bytes();
    if (bytes <= available) return {};
    return std::unexpected(EvaluationError::message(what + " needs more than " + megabytes(bytes) +
                                                    " of memory; this machine has " + megabytes(available) +
                                                    " available"));
  }
  return std::unexpected(EvaluationError::message(what + " needs more than " + megabytes(bytes) +
                                                  " of memory; this machine has " +
                                                  megabytes(physical_memory_bytes())));
}

double ledger_arrays(size_t rows, size_t tracks, uint32_t flags) {
  const double per_row = ((flags & kFlagChoices) ? 1.0 : 0.0) + ((flags & kFlagCashflow) ? 1.0 : 0.0);
  return static_cast<double>(std::min(rows, tracks)) + per_row * static_cast<double>(rows);
}

HeldMemory::HeldMemory(std::string what) : what_(std::move(what)) {}

Result<void, EvaluationError> HeldMemory::add(double bytes) {
  held_ += bytes;
  if (held_ < next_check_) return {};
  // The system is asked again at each doubling, and ever more often as the cap comes near: a
  // few looks per walk. The cap leaves a tenth of what was available to everything else.
  const double available = available_memory_bytes();
  const double cap = held_ + 0.9 * available;
  if (held_ >= limit_ || available < 0.1 * (held_ + available)) {
    return std::unexpected(EvaluationError::message(what_ + " holds " + megabytes(held_) +
                                                    " of path arrays by this row; this machine has only " +
                                                    megabytes(available) + " more available"));
  }
  limit_ = cap;
  next_check_ = std::min(held_ * 2.0, held_ + 0.5 * (cap - held_));
  return {};
}

}  // namespace kestro
