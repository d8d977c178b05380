#pragma once
// How much C stack the calling thread has left. Threads may run with stacks far smaller than
// the main thread's (threading.stack_size), so code that recurses on input measures the room
// instead of trusting a fixed depth.

#include <cstddef>

namespace kestro {

/// Bytes between the caller's frame and the low end of this thread's stack; SIZE_MAX when the
/// thread's stack cannot be found or the caller runs on a stack other than the thread's.
size_t stack_left();

}  // namespace kestro
