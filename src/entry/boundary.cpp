#include "entry/boundary.h"

namespace kestro {

namespace {

// A RuntimeError with one argument, `text`, raised from `cause` (the exception's value) if set.
PyObject* runtime_error(const std::string& text, const PyRef& cause) {
  PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return nullptr;
  PyRef error = PyRef::steal(PyObject_CallOneArg(PyExc_RuntimeError, message.get()));
  if (!error) return nullptr;
  if (cause) PyException_SetCause(error.get(), Py_NewRef(cause.get()));  // also suppresses the context
  PyErr_SetObject(PyExc_RuntimeError, error.get());
  return nullptr;
}

}  // namespace

PyObject* raise(PyException error) {
  std::move(error).restore();
  return nullptr;
}

PyObject* raise(TimetableError error) {
  if (auto* stop = std::get_if<Interrupted>(&error.v)) return raise(std::move(stop->exc));
  return runtime_error(render(error), error.root);
}

PyObject* raise_dataset(InputError error) {
  if (auto* stop = std::get_if<Interrupted>(&error.v)) return raise(std::move(stop->exc));
  return runtime_error("Error while parsing Dataset, caused by\n" + render(error), error.root);
}

PyObject* raise(EvaluationError error) {
  if (auto* stop = std::get_if<Interrupted>(&error.v)) return raise(std::move(stop->exc));
  return runtime_error("Error during model evaluation, caused by\n" + render(error), error.root);
}

}  // namespace kestro
