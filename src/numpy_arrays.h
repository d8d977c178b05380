#pragma once
// One-dimensional NumPy arrays made from engine buffers. An adopted buffer is owned by a small
// container object that NumPy keeps as the array's base, so the array owns its memory and
// outlives the engine's state safely.

#include <cstdint>
#include <memory>
#include <vector>

#include "py_ref.h"

namespace kestro {

/// A float64 array that takes over `data` (n doubles). Null with a Python exception set on failure.
PyRef numpy_adopting(std::unique_ptr<double[]> data, size_t n);
/// A uint64 array that takes over `data`.
PyRef numpy_adopting(std::vector<uint64_t> data);
/// A float64 array holding a copy of `data`.
PyRef numpy_copy(const double* data, size_t n);

}  // namespace kestro
