#pragma once
// One-dimensional NumPy arrays made from engine buffers. An adopted buffer is owned by a small
// container object that NumPy keeps as the array's base, so the array owns its memory and
// outlives the engine's state safely.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "interop/py_ref.h"
#include "ledger/path_array.h"

namespace kestro {

/// A float64 array that takes over `data` (n doubles). Null with a Python exception set on failure.
PyRef numpy_adopting(DoubleBuffer data, size_t n);
/// A uint64 array that takes over `data`.
PyRef numpy_adopting(std::vector<uint64_t> data);
/// A copy of a one-dimensional float64 array (any strides, either byte order), or of a bool
/// array as 1.0 and 0.0 when `accept_bool`; nullopt for anything else.
std::optional<PathArray> read_path_array(PyObject* obj, bool accept_bool);
/// The length of an array that read_path_array would copy, read from its shape alone; nullopt
/// for anything it would not. Lets a caller refuse a wrong length before copying anything.
std::optional<size_t> path_array_length(PyObject* obj, bool accept_bool);
/// read_path_array of a float64 array (path_array_length said yes, accept_bool false), each
/// element multiplied by `factor` (length 1, or the array's length when that is 1 or equal) in
/// the same pass: the result has the array's length, or the factor's when the array has one element.
PathArray read_scaled_path_array(PyObject* obj, const PathArray& factor);
/// A float64 array holding a copy of `data`.
PyRef numpy_copy(const double* data, size_t n);

}  // namespace kestro
