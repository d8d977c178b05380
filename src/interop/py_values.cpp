#include "interop/py_values.h"

#include <limits>

namespace kestro {

Result<PyObject*, PyException> to_dict(PyObject* value) {
  if (!PyDict_Check(value)) return std::unexpected(PyException::conversion(value, "PyDict"));
  return value;
}

Result<std::string, PyException> to_string(PyObject* value) {
  if (!PyUnicode_Check(value)) return std::unexpected(PyException::conversion(value, "PyString"));
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) return std::unexpected(PyException::fetch());
  return std::string(data, static_cast<size_t>(size));
}

Result<uint64_t, PyException> to_u64(PyObject* value) {
  PyRef index = PyRef::steal(PyNumber_Index(value));  // refuses floats, accepts bool and NumPy ints
  if (!index) return std::unexpected(PyException::fetch());
  const unsigned long long out = PyLong_AsUnsignedLongLong(index.get());
  if (out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::unexpected(PyException::fetch());
  return out;
}

Result<uint32_t, PyException> to_u32(PyObject* value) {
  KESTRO_ASSIGN_OR_RETURN(uint64_t wide, to_u64(value));
  if (wide > std::numeric_limits<uint32_t>::max()) {
    return std::unexpected(PyException::make(PyExc_OverflowError, "out of range integral type conversion attempted"));
  }
  return static_cast<uint32_t>(wide);
}

Result<int64_t, PyException> to_i64(PyObject* value) {
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (!index) return std::unexpected(PyException::fetch());
  const long long out = PyLong_AsLongLong(index.get());
  if (out == -1 && PyErr_Occurred()) return std::unexpected(PyException::fetch());
  return out;
}

Result<double, PyException> to_double(PyObject* value) {
  const double out = PyFloat_AsDouble(value);
  if (out == -1.0 && PyErr_Occurred()) return std::unexpected(PyException::fetch());
  return out;
}

std::string bare_conversion(PyObject* value, const char* target) {
  std::string text;
  str_of(PyException::conversion(value, target).value(), text);
  return text;
}

Result<PyRef, InputError> lookup(PyObject* dict, const char* key) {
  PyRef name = PyRef::steal(PyUnicode_FromString(key));
  if (!name) return std::unexpected(InputError(PyException::fetch()));
  PyObject* value = PyDict_GetItemWithError(dict, name.get());
  if (value == nullptr && PyErr_Occurred()) return std::unexpected(InputError(PyException::fetch()));
  return PyRef::borrow(value);
}

Result<PyRef, InputError> required(PyObject* dict, const char* key) {
  KESTRO_ASSIGN_OR_RETURN(PyRef value, lookup(dict, key));
  if (!value) return std::unexpected(InputError::MissingKey{key});
  return value;
}

}  // namespace kestro
