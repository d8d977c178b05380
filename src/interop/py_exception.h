#pragma once
// A Python exception caught by the engine and kept as a value until it is rendered or raised.

#include <string>
#include <string_view>

#include "interop/py_ref.h"

namespace kestro {

class PyException {
 public:
  /// Takes the interpreter's pending exception (one must be set), normalised, and clears it.
  static PyException fetch();
  /// A new exception of `type` with the message `text`.
  static PyException make(PyObject* type, std::string_view text);
  /// The `TypeError` for a value of the wrong Python type:
  /// "'" + type name + "' object cannot be converted to '" + target + "'".
  static PyException conversion(PyObject* value, std::string_view target);

  PyObject* type() const { return type_.get(); }
  PyObject* value() const { return value_.get(); }

  /// A KeyboardInterrupt or SystemExit (or a subclass): an exception that asks the program to
  /// stop, which the engine never turns into text or discards.
  bool interrupts() const;

  /// Type's qualified name, ": ", str() of the value ("<exception str() failed>" if str() raises).
  std::string render() const;

  /// Sets this exception as the interpreter's pending one.
  void restore() &&;

 private:
  PyException(PyRef type, PyRef value, PyRef traceback)
      : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)) {}
  PyRef type_;
  PyRef value_;
  PyRef traceback_;
};

/// Whether the interpreter's pending exception (one must be set) is a KeyboardInterrupt or
/// SystemExit, tested without taking it.
bool interrupt_pending();

/// The qualified name of `type` (a type object), or "<unknown>".
std::string type_qualname(PyObject* type);

/// Writes str(obj) as UTF-8 to `out`; false (exception cleared) when str() raises.
bool str_of(PyObject* obj, std::string& out);

}  // namespace kestro
