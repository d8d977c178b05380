#include "hist/tsdata.h"

#include "interop/py_state.h"
#include "interop/py_values.h"
#include "timetable/event.h"

namespace kestro {

Result<double, EvaluationError> ConstantSeries::value(std::string_view name, int64_t t_ms) const {
  if (name == base_) return 1.0;
  if (!in_calendar_range(t_ms)) return std::unexpected(EvaluationError::message("No such local time"));
  return constant_;
}

Result<double, EvaluationError> PySeries::value(std::string_view name, int64_t t_ms) const {
  if (name == base_) return 1.0;
  auto failure = [](PyException exc) { return call_failure(PythonCallError::in_method("get_value", std::move(exc))); };
  PyRef py_name = PyRef::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  PyRef py_time = PyRef::steal(PyLong_FromLongLong(t_ms));
  if (!py_name || !py_time) return std::unexpected(failure(PyException::fetch()));
  auto result = call_method(source_, "get_value", {py_name.get(), py_time.get()});
  if (!result) return std::unexpected(call_failure(std::move(result).error()));
  auto value = to_double(result->get());
  if (!value) return std::unexpected(failure(std::move(value).error()));
  return *value;
}

}  // namespace kestro
