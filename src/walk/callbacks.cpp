#include "walk/callbacks.h"

#include "interop/numpy_arrays.h"
#include "interop/py_values.h"

namespace kestro {

namespace {

// An element the caller reads is copied; one it drops is only checked, so a large array nobody
// reads costs nothing.
Result<PathArray, PythonCallError> convert_output(PyObject* item, bool used) {
  if (!used && path_array_length(item, /*accept_bool=*/true)) return PathArray();
  if (auto array = read_path_array(item, /*accept_bool=*/true)) return std::move(*array);
  const double value = PyFloat_AsDouble(item);
  if (value == -1.0 && PyErr_Occurred()) {
    if (interrupt_pending()) return std::unexpected(PythonCallError::raised(PyException::fetch()));
    PyErr_Clear();
    std::string type;
    if (!str_of(reinterpret_cast<PyObject*>(Py_TYPE(item)), type)) type = "<unknown>";
    return std::unexpected(PythonCallError{PythonCallError::Execution{"Expected float or array, received " + type}});
  }
  return PathArray::scalar(value);
}

}  // namespace

Result<std::vector<PathArray>, PythonCallError> evaluate(const Expression& expr, std::vector<PathArray> inputs,
                                                         OutputUse use) {
  PyRef args = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(inputs.size())));
  if (!args) return std::unexpected(PythonCallError::raised(PyException::fetch()));
  for (size_t i = 0; i < inputs.size(); ++i) {
    const size_t n = inputs[i].size();
    PyRef array = numpy_adopting(inputs[i].release(), n);
    if (!array) return std::unexpected(PythonCallError::raised(PyException::fetch()));
    PyList_SET_ITEM(args.get(), static_cast<Py_ssize_t>(i), array.release());
  }

  PyRef result = PyRef::steal(PyObject_CallOneArg(expr.fn.get(), args.get()));
  args.reset();  // the engine keeps nothing of what it handed over
  if (!result) return std::unexpected(PythonCallError::raised(PyException::fetch()));
  if (!PyList_Check(result.get())) {
    return std::unexpected(PythonCallError{PythonCallError::WrongValue{bare_conversion(result.get(), "PyList")}});
  }

  std::vector<PathArray> outputs;
  // The function may still hold the list and change it while we read: index it afresh each time.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(result.get()); ++i) {
    PyRef item = PyRef::borrow(PyList_GET_ITEM(result.get(), i));
    const bool used = static_cast<size_t>(i) < use.first || (use.last && i == PyList_GET_SIZE(result.get()) - 1);
    KESTRO_ASSIGN_OR_RETURN(PathArray converted, convert_output(item.get(), used));
    outputs.push_back(std::move(converted));
  }
  return outputs;
}

}  // namespace kestro
