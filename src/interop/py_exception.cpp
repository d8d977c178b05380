#include "interop/py_exception.h"

namespace kestro {

namespace {

// UTF-8 of a str object; surrogates that UTF-8 cannot carry are escaped rather than failing.
bool utf8_of(PyObject* text, std::string& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data != nullptr) {
    out.assign(data, static_cast<size_t>(size));
    return true;
  }
  PyErr_Clear();
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
  if (!bytes) {
    PyErr_Clear();
    return false;
  }
  out.assign(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
  return true;
}

}  // namespace

bool interrupt_pending() {
  return PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_SystemExit);
}

bool str_of(PyObject* obj, std::string& out) {
  PyRef text = PyRef::steal(PyObject_Str(obj));
  if (!text) {
    PyErr_Clear();
    return false;
  }
  return utf8_of(text.get(), out);
}

std::string type_qualname(PyObject* type) {
  if (type == nullptr || !PyType_Check(type)) return "<unknown>";
  PyRef name = PyRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
  std::string out;
  if (!name || !utf8_of(name.get(), out)) {
    PyErr_Clear();
    return reinterpret_cast<PyTypeObject*>(type)->tp_name;
  }
  return out;
}

PyException PyException::fetch() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    // Callers only fetch after a failed call; keep the contract even if one did not set it.
    type = Py_NewRef(PyExc_SystemError);
    value = PyUnicode_FromString("error return without exception set");
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  return PyException(PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback));
}

PyException PyException::make(PyObject* type, std::string_view text) {
  PyErr_SetObject(type, PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                                          "replace")).get());
  return fetch();
}

PyException PyException::conversion(PyObject* value, std::string_view target) {
  std::string text = "'";
  text += type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(value)));
  text += "' object cannot be converted to '";
  text += target;
  text += "'";
  return make(PyExc_TypeError, text);
}

bool PyException::interrupts() const {
  return PyErr_GivenExceptionMatches(type_.get(), PyExc_KeyboardInterrupt) ||
         PyErr_GivenExceptionMatches(type_.get(), PyExc_SystemExit);
}

std::string PyException::render() const {
  std::string out = type_qualname(type_.get());
  out += ": ";
  std::string text;
  if (value_ && str_of(value_.get(), text)) {
    out += text;
  } else {
    out += "<exception str() failed>";
  }
  return out;
}

void PyException::restore() && {
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

}  // namespace kestro
