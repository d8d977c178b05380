#pragma once
// The one seam where error values become Python exceptions.

#include <exception>
#include <new>

#include "core/errors.h"

namespace kestro {

/// Each sets the pending Python exception and returns nullptr, for `return raise(...)`. An
/// interruption is raised as the exception it holds; any other error as a RuntimeError whose
/// `__cause__` is the error's root, the caller's exception it started from, if it has one.
PyObject* raise(PyException error);
/// Timetable errors: their rendering, as a RuntimeError.
PyObject* raise(TimetableError error);
/// Dataset errors: "Error while parsing Dataset, caused by\n" + rendering, as a RuntimeError.
PyObject* raise_dataset(InputError error);
/// Model errors: "Error during model evaluation, caused by\n" + rendering, as a RuntimeError.
PyObject* raise(EvaluationError error);

/// Runs an entry function's body; a C++ exception escaping it (a broken invariant, memory
/// exhaustion) becomes a Python exception instead of ending the process.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_Clear();
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Clear();
    PyErr_Format(PyExc_RuntimeError, "Internal error: %s", e.what());
  } catch (...) {
    PyErr_Clear();
    PyErr_SetString(PyExc_RuntimeError, "Internal error: unknown exception");
  }
  return nullptr;
}

}  // namespace kestro
