#pragma once
// One-dimensional NumPy arrays made from engine buffers. An adopted buffer is owned by a small
// container object that NumPy keeps as the array's base, so the array owns its memory and
// outlives the engine's state safely.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "ledger/path_array.h"
#include "py_ref.h"

namespace kestro {

/// A float64 array that takes over `data` (n doubles). Null with a Python exception set on failure.
PyRef numpy_adopting(std::unique_ptr<double[]> data, size_t n);
/// A uint64 array that takes over `data`.
PyRef numpy_adopting(std::vector<uint64_t> data);
/// A copy of a one-dimensional float64 array (any strides, either byte order), or of a bool
/// array as 1.0 and 0.0 when `accept_bool`; nullopt for anything else.
std::optional<PathArray> read_path_array(PyObject* obj, bool accept_bool);
/// A float64 array holding a copy of `data`.
PyRef numpy_copy(const double* data, size_t n);

}  // namespace kestro
