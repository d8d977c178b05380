#include "interop/py_state.h"

#include <iterator>

namespace kestro {

namespace {

PyObject* vectorcall_method(PyObject* self, const char* method, std::initializer_list<PyObject*> args) {
  PyRef name = PyRef::steal(PyUnicode_InternFromString(method));
  if (!name) return nullptr;
  // Slot 0 holds self, as the method-call protocol expects.
  PyObject* argv[4];
  KESTRO_CHECK(args.size() < std::size(argv), "too many arguments for a state method");
  argv[0] = self;
  size_t i = 1;
  for (PyObject* arg : args) argv[i++] = arg;
  return PyObject_VectorcallMethod(name.get(), argv, args.size() + 1, nullptr);
}

}  // namespace

Result<PyRef, PythonCallError> call_method(PyObject* py_state, const char* method,
                                           std::initializer_list<PyObject*> args) {
  PyRef result = PyRef::steal(vectorcall_method(py_state, method, args));
  if (!result) return std::unexpected(PythonCallError::in_method(method, PyException::fetch()));
  return result;
}

Result<void, Interrupted> set_stat(PyObject* py_state, const char* name, PyObject* value) {
  PyRef key = PyRef::steal(PyUnicode_FromString(name));
  PyRef result;
  if (key) result = PyRef::steal(vectorcall_method(py_state, "set_stat", {key.get(), value}));
  if (result) return {};
  if (interrupt_pending()) return std::unexpected(Interrupted{PyException::fetch()});
  PyErr_Clear();
  return {};
}

}  // namespace kestro
