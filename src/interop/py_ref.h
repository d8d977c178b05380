#pragma once
// Owning handle for one Python reference. Every call runs with the interpreter lock held,
// so the handle never takes the lock itself.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kestro {

class PyRef {
 public:
  PyRef() = default;
  /// Takes over a new reference (may be null).
  static PyRef steal(PyObject* obj) { return PyRef(obj); }
  /// Adds a reference to a borrowed object (may be null).
  static PyRef borrow(PyObject* obj) { return PyRef(Py_XNewRef(obj)); }

  PyRef(PyRef&& other) noexcept : obj_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { reset(); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }

  /// Gives the reference up to the caller.
  PyObject* release() { return std::exchange(obj_, nullptr); }

  /// Drops the held reference and takes over `obj` (a new reference or null).
  void reset(PyObject* obj = nullptr) {
    PyObject* old = std::exchange(obj_, obj);
    // Objects that outlive the interpreter (static storage at exit) must not touch it.
    if (old != nullptr && Py_IsInitialized()) Py_DECREF(old);
  }

 private:
  explicit PyRef(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace kestro
