#include "core/page_pool.h"

#include <sys/mman.h>

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace kestro::page_pool {

namespace {

constexpr size_t kPage = 4096;
constexpr size_t kHugePage = size_t{2} << 20;
// Address space kept for reuse. Its pages are lazily freed, so this bounds virtual memory,
// not what the kernel can reclaim.
constexpr size_t kKeptLimit = size_t{4} << 30;

struct Kept {
  std::mutex mutex;
  std::unordered_map<size_t, std::vector<void*>> by_size;
  size_t bytes = 0;
};

// Never destroyed: buffers handed to NumPy may come back during interpreter shutdown.
Kept& kept() {
  static Kept* pool = new Kept;
  return *pool;
}

size_t release_all() {
  Kept& pool = kept();
  std::lock_guard lock(pool.mutex);
  const size_t released = pool.bytes;
  for (auto& [size, buffers] : pool.by_size) {
    for (void* p : buffers) munmap(p, size);
    buffers.clear();
  }
  pool.bytes = 0;
  return released;
}

}  // namespace

size_t kept_bytes() {
  Kept& pool = kept();
  std::lock_guard lock(pool.mutex);
  return pool.bytes;
}

size_t mapped_size(size_t bytes) {
  const size_t unit = bytes >= 2 * kHugePage ? kHugePage : kPage;
  return (bytes + unit - 1) / unit * unit;
}

void* take(size_t mapped) {
  {
    Kept& pool = kept();
    std::lock_guard lock(pool.mutex);
    auto found = pool.by_size.find(mapped);
    if (found != pool.by_size.end() && !found->second.empty()) {
      void* p = found->second.back();
      found->second.pop_back();
      pool.bytes -= mapped;
      return p;
    }
  }
  // Over-map by a huge page for large buffers so the start can be aligned to one.
  const bool huge = mapped >= 2 * kHugePage;
  const size_t length = huge ? mapped + kHugePage : mapped;
  void* raw = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) {
    // Under an address-space limit the kept mappings may be what is missing: drop them, retry.
    if (release_all() == 0) return nullptr;
    raw = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
  }
  if (!huge) return raw;
  auto* base = static_cast<char*>(raw);
  const auto address = reinterpret_cast<uintptr_t>(base);
  const size_t lead = (kHugePage - address % kHugePage) % kHugePage;
  if (lead > 0) munmap(base, lead);
  const size_t tail = length - lead - mapped;
  if (tail > 0) munmap(base + lead + mapped, tail);
  madvise(base + lead, mapped, MADV_HUGEPAGE);  // advice only: without huge pages it is ordinary memory
  return base + lead;
}

void give(void* p, size_t mapped) noexcept {
  if (p == nullptr) return;
  Kept& pool = kept();
  {
    std::lock_guard lock(pool.mutex);
    if (pool.bytes + mapped <= kKeptLimit) {
      try {
        pool.by_size[mapped].push_back(p);
      } catch (...) {
        munmap(p, mapped);
        return;
      }
      pool.bytes += mapped;
      madvise(p, mapped, MADV_FREE);
      return;
    }
  }
  munmap(p, mapped);
}

}  // namespace kestro::page_pool
