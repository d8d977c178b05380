#pragma once
// Large buffers whose pages outlive the call that used them.
//
// A walk over many paths holds one array per row until it books them, and a fresh mapping
// costs the kernel a fault and a page of zeroing per 4 KiB (or per 2 MiB with huge pages):
// for a price-only Monte Carlo run that was half of the time. Freed buffers are kept here,
// marked MADV_FREE, so the next call reuses pages that are already mapped, while the kernel
// may still take them back whenever it needs memory (a reclaimed page reads as zeros, which
// is fine for a buffer whose contents are about to be written).

#include <cstddef>

namespace kestro::page_pool {

/// Buffers this large and larger are mapped here; smaller ones come from malloc.
inline constexpr size_t kMinBytes = size_t{256} << 10;

/// The bytes a request of `bytes` maps: whole pages, whole huge pages for large ones.
size_t mapped_size(size_t bytes);

/// A mapping of exactly `mapped` bytes (a value of `mapped_size`), reused when one is kept;
/// nullptr when the system has no memory left.
void* take(size_t mapped);

/// Gives back what `take` returned: kept for reuse while the pool is below its limit, else unmapped.
void give(void* p, size_t mapped) noexcept;

/// The bytes of address space kept for reuse: memory this process can have back at once.
size_t kept_bytes();

}  // namespace kestro::page_pool
