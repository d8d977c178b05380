#include "core/stack_room.h"

#include <pthread.h>

#include <cstdint>

namespace kestro {

namespace {

struct StackBounds {
  uintptr_t low = 0, high = 0;  // stacks grow down, toward `low`; both 0 if unknown
};

// Asked once per thread: for the main thread the C library reads /proc/self/maps.
StackBounds this_threads_stack() {
  thread_local const StackBounds bounds = [] {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return StackBounds{};
    void* base = nullptr;
    size_t size = 0;
    const bool found = pthread_attr_getstack(&attr, &base, &size) == 0;
    pthread_attr_destroy(&attr);
    if (!found) return StackBounds{};
    const auto low = reinterpret_cast<uintptr_t>(base);
    return StackBounds{low, low + size};
  }();
  return bounds;
}

}  // namespace

size_t stack_left() {
  const StackBounds stack = this_threads_stack();
  const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  // Code running on a stack of its own (a coroutine library's) is not measured.
  if (here <= stack.low || here > stack.high) return SIZE_MAX;
  return here - stack.low;
}

}  // namespace kestro
