#pragma once
// Binding of vectorcall arguments to named parameters, and the naming of a parameter in its
// conversion's TypeError.

#include <span>

#include "core/result.h"
#include "interop/py_exception.h"

namespace kestro {

struct Signature {
  const char* function;                   // the function's name, as in its messages
  std::span<const char* const> params;    // positional-or-keyword, all required
};

/// Binds positional and keyword arguments to `sig.params`, writing one borrowed reference per
/// parameter to `out`. On failure returns the TypeError Python itself would raise.
Result<void, PyException> bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames, std::span<PyObject*> out);

/// Runs one parameter's conversion. A failure whose type is exactly TypeError is replaced by
/// "argument '<param>': <message>" (keeping the original's cause); others pass unchanged.
template <class T>
Result<T, PyException> convert_argument(const char* param, Result<T, PyException> converted);
PyException rename_type_error(const char* param, PyException error);

template <class T>
Result<T, PyException> convert_argument(const char* param, Result<T, PyException> converted) {
  if (!converted) return std::unexpected(rename_type_error(param, std::move(converted).error()));
  return converted;
}

}  // namespace kestro
