#pragma once
// Calls on the caller's state object: methods are looked up by name at every call and
// called with positional arguments only.

#include <initializer_list>

#include "core/errors.h"
#include "core/result.h"

namespace kestro {

/// Calls `py_state.<method>(*args)` (args borrowed) and returns the new result reference.
/// Any exception, a missing method included, is cleared and returned as
/// PythonCallError::Method naming `method`, or as Interrupted when it asks the program to stop.
Result<PyRef, PythonCallError> call_method(PyObject* py_state, const char* method,
                                           std::initializer_list<PyObject*> args);

/// Calls `py_state.set_stat(name, value)` (value borrowed). The result and any exception,
/// a missing method included, are discarded, except a KeyboardInterrupt or SystemExit: that
/// comes back as Interrupted, and the caller sends nothing more.
Result<void, Interrupted> set_stat(PyObject* py_state, const char* name, PyObject* value);

}  // namespace kestro
