#pragma once
// Reading Python values: conversions of one value, and the lookups of a dictionary's keys.
// A failed conversion keeps the exception Python raised, so its text reaches the caller as
// Python words it; a failed lookup is an InputError naming the key.

#include <cstdint>
#include <string>

#include "core/errors.h"
#include "core/result.h"
#include "interop/py_exception.h"

namespace kestro {

/// A dict or dict subclass (borrowed).
Result<PyObject*, PyException> to_dict(PyObject* value);

/// A str, copied as UTF-8.
Result<std::string, PyException> to_string(PyObject* value);

/// An integer read through `__index__` (int, bool and NumPy integers; floats are refused) that
/// fits 64 unsigned bits.
Result<uint64_t, PyException> to_u64(PyObject* value);

/// to_u64 within 32 bits; beyond them an OverflowError.
Result<uint32_t, PyException> to_u32(PyObject* value);

/// An integer read through `__index__` that fits 64 signed bits.
Result<int64_t, PyException> to_i64(PyObject* value);

/// A float, or anything `float()` accepts through `__float__` or `__index__`.
Result<double, PyException> to_double(PyObject* value);

/// The text of PyException::conversion(value, target) without the exception's type name, for
/// errors that carry the reason inside their own text.
std::string bare_conversion(PyObject* value, const char* target);

/// The value under the str `key` of `dict` (a borrowed dict) as a new reference, since user
/// code run by later conversions may change the dictionary; an empty reference when absent.
/// A failing lookup (a key whose comparison raises) is InputError::Python.
Result<PyRef, InputError> lookup(PyObject* dict, const char* key);

/// lookup, with an absent key as InputError::MissingKey.
Result<PyRef, InputError> required(PyObject* dict, const char* key);

/// The conversion of the value under `key`; a failure becomes InputError::wrong_type naming it.
template <class T>
Result<T, InputError> typed(const char* key, Result<T, PyException> converted) {
  if (!converted) return std::unexpected(InputError::wrong_type(key, std::move(converted).error()));
  return converted;
}

}  // namespace kestro
