#include "boundary.h"

namespace kestro {

namespace {

PyObject* runtime_error(const std::string& text) {
  PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(PyExc_RuntimeError, message.get());
  return nullptr;
}

}  // namespace

PyObject* raise(PyException error) {
  std::move(error).restore();
  return nullptr;
}

PyObject* raise(const TimetableError& error) { return runtime_error(render(error)); }

PyObject* raise_dataset(const InputError& error) {
  return runtime_error("Error while parsing Dataset, caused by\n" + render(error));
}

PyObject* raise(const EvaluationError& error) {
  return runtime_error("Error during model evaluation, caused by\n" + render(error));
}

}  // namespace kestro
