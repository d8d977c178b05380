#include "entry/arguments.h"

#include <string>
#include <vector>

namespace kestro {

namespace {

PyException type_error(const std::string& text) { return PyException::make(PyExc_TypeError, text); }

std::string utf8(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return std::string(data, static_cast<size_t>(size));
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string join_names(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

}  // namespace

Result<void, PyException> bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames, std::span<PyObject*> out) {
  const std::string f = std::string(sig.function) + "()";
  const size_t nparams = sig.params.size();
  const size_t npos = static_cast<size_t>(PyVectorcall_NARGS(nargs));
  if (npos > nparams) {
    return std::unexpected(type_error(f + " takes " + std::to_string(nparams) + " positional arguments but " +
                                      std::to_string(npos) + (npos == 1 ? " was" : " were") + " given"));
  }
  for (size_t i = 0; i < nparams; ++i) out[i] = i < npos ? args[i] : nullptr;

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    size_t slot = nparams;
    for (size_t i = 0; i < nparams; ++i) {
      if (PyUnicode_CompareWithASCIIString(keyword, sig.params[i]) == 0) {
        slot = i;
        break;
      }
    }
    if (slot == nparams) {
      return std::unexpected(type_error(f + " got an unexpected keyword argument '" + utf8(keyword) + "'"));
    }
    if (out[slot] != nullptr) {
      return std::unexpected(type_error(f + " got multiple values for argument '" + sig.params[slot] + "'"));
    }
    out[slot] = args[npos + static_cast<size_t>(k)];
  }

  std::vector<const char*> missing;
  for (size_t i = 0; i < nparams; ++i) {
    if (out[i] == nullptr) missing.push_back(sig.params[i]);
  }
  if (!missing.empty()) {
    return std::unexpected(type_error(f + " missing " + std::to_string(missing.size()) + " required positional " +
                                      (missing.size() == 1 ? "argument" : "arguments") + ": " +
                                      join_names(missing)));
  }
  return {};
}

PyException rename_type_error(const char* param, PyException error) {
  if (error.type() != PyExc_TypeError) return error;
  std::string message;
  if (!str_of(error.value(), message)) message = "<exception str() failed>";
  PyException renamed = type_error(std::string("argument '") + param + "': " + message);
  if (PyObject* cause = PyException_GetCause(error.value())) PyException_SetCause(renamed.value(), cause);
  return renamed;
}

}  // namespace kestro
