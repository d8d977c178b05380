// `_kestro_testing`: a second module in the same library that exposes internals to the test
// suite (number and date formatting, row descriptions, error renderings). Tests load it from
// `_kestro.__file__`; `_kestro` itself holds only its six functions.

#include <arrow/api.h>

#include <optional>

#include "core/numbers.h"
#include "entry/boundary.h"
#include "interop/py_state.h"
#include "interop/py_values.h"
#include "interop/record_batch_import.h"
#include "market/dataset.h"
#include "timetable/mod.h"

namespace kestro {

namespace {

PyObject* to_py(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* py_format_double(PyObject*, PyObject* arg) {
  const double value = PyFloat_AsDouble(arg);
  if (value == -1.0 && PyErr_Occurred()) return nullptr;
  return to_py(format_double(value));
}

PyObject* py_format_event_time(PyObject*, PyObject* arg) {
  const long long ms = PyLong_AsLongLong(arg);
  if (ms == -1 && PyErr_Occurred()) return nullptr;
  return to_py(format_event_time(ms));
}

// describe_rows(events_rb, expressions) -> list of row descriptions
PyObject* py_describe_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 2) return PyErr_Format(PyExc_TypeError, "describe_rows takes 2 arguments");
    auto batch = to_record_batch(args[0]);
    if (!batch) return raise(std::move(batch).error());
    auto table = Timetable::build(std::move(*batch), args[1]);
    if (!table) return raise(std::move(table).error());
    PyRef out = PyRef::steal(PyList_New(0));
    for (size_t r = 0; out && r < table->num_rows(); ++r) {
      PyRef row = PyRef::steal(to_py(table->describe(r)));
      if (!row || PyList_Append(out.get(), row.get()) < 0) return nullptr;
    }
    return out.release();
  });
}

// track_of(events_rb, row) -> the row's track number, or the error text
PyObject* py_track_of(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 2) return PyErr_Format(PyExc_TypeError, "track_of takes 2 arguments");
    auto batch = to_record_batch(args[0]);
    if (!batch) return raise(std::move(batch).error());
    PyRef empty = PyRef::steal(PyDict_New());
    auto table = Timetable::build(std::move(*batch), empty.get());
    if (!table) return raise(std::move(table).error());
    const Py_ssize_t row = PyLong_AsSsize_t(args[1]);
    if (row < 0 || static_cast<size_t>(row) >= table->num_rows()) return PyErr_Format(PyExc_IndexError, "row");
    auto track = table->track(static_cast<size_t>(row));
    return track ? PyLong_FromUnsignedLongLong(*track) : to_py(render(track.error()));
  });
}

CurveError out_of_range() { return CurveError{CurveError::OutOfRange{2.5}}; }

// One rendering per error variant, built from fixed payloads.
PyObject* py_render_samples(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    PyErr_SetString(PyExc_ValueError, "bad value");
    PyException exc = PyException::fetch();
    PyErr_SetString(PyExc_KeyError, "k");
    PyException key_error = PyException::fetch();
    const std::pair<const char*, std::string> samples[] = {
        {"SpecError.UnknownOp", render(SpecError{SpecError::UnknownOp{"++"}})},
        {"SpecError.Message", render(SpecError::message("Missing Track Value"))},
        {"Curve.Builder", render(CurveError{CurveError::Builder{"Values in the x axis need to be strictly monotonic rising"}})},
        {"Curve.RateFailure", render(CurveError{CurveError::RateFailure{"EUR", 0.1, 2.0, out_of_range()}})},
        {"Curve.ValueFailure", render(CurveError{CurveError::ValueFailure{"discount factor", 1e-7, CurveError{CurveError::AssetNotFound{"USD"}}}})},
        {"Curve.OutOfRange", render(out_of_range())},
        {"Curve.DivideByZero", render(CurveError{CurveError::DivideByZero{}})},
        {"Curve.AssetNotFound", render(CurveError{CurveError::AssetNotFound{"USD"}})},
        {"Ledger.Op", render(LedgerError(SpecError{SpecError::UnknownOp{"x"}}))},
        {"Ledger.TrackNotFound", render(LedgerError(LedgerError::TrackNotFound{7}))},
        {"Phrase", render(PhraseError{"ValueError: bad value"})},
        {"PythonCall.Exception", render(PythonCallError{PythonCallError::Exception{PyException::make(PyExc_ValueError, "bad value")}})},
        {"PythonCall.WrongValue", render(PythonCallError{PythonCallError::WrongValue{"'int' object cannot be converted to 'PyList'"}})},
        {"PythonCall.Method", render(PythonCallError{PythonCallError::Method{"advance", std::move(key_error)}})},
        {"PythonCall.Execution", render(PythonCallError{PythonCallError::Execution{"Expected float or array, received <class 'str'>"}})},
        {"Input.Python", render(InputError(std::move(exc)))},
        {"Input.Asset", render(InputError(out_of_range()))},
        {"Input.Expression", render(InputError(InputError::Expression{"E", InputError(InputError::InvalidValue{"type", "other"})}))},
        {"Input.InvalidValue", render(InputError(InputError::InvalidValue{"type", "other"}))},
        {"Input.MissingKey", render(InputError(InputError::MissingKey{"BASE"}))},
        {"Input.WrongType", render(InputError(InputError::WrongType{"N_X", "TypeError: 'float' object cannot be interpreted as an integer"}))},
        {"Input.Message", render(InputError(InputError::Message{"Invalid bits set in FLAG"}))},
        {"Timetable.Input", render(TimetableError(InputError(InputError::MissingKey{"type"})))},
        {"Timetable.Content", render(TimetableError(SpecError::message("Column 'time' not found")))},
        {"Evaluation.Curve", render(EvaluationError(out_of_range()))},
        {"Evaluation.Ledger", render(EvaluationError(LedgerError(LedgerError::TrackNotFound{3})))},
        {"Evaluation.Phrase", render(EvaluationError(PhraseError{"boom"}))},
        {"Evaluation.SpecError", render(EvaluationError(SpecError::message("No track specified at event#4")))},
        {"Evaluation.AtEvent", render(EvaluationError(EvaluationError::AtEvent{"#0: track: Track(0)", "missing time"}))},
        {"Evaluation.FeatureNotImplemented", render(EvaluationError(EvaluationError::FeatureNotImplemented{"Snap in FD: s"}))},
        {"Evaluation.EventSpecs", render(EvaluationError(EvaluationError::EventSpecs{"Unknown Unit"}))},
        {"Evaluation.Message", render(EvaluationError::message("Empty PV Vector"))},
        {"Evaluation.ArrowCreation", render(EvaluationError(EvaluationError::ArrowCreation{"cashflows", "Invalid: x"}))},
    };
    PyRef out = PyRef::steal(PyDict_New());
    for (const auto& [name, text] : samples) {
      PyRef value = PyRef::steal(to_py(text));
      if (!out || !value || PyDict_SetItemString(out.get(), name, value.get()) < 0) return nullptr;
    }
    return out.release();
  });
}

// render_python_exception(exc) -> the rendering of a caught exception object
PyObject* py_render_python_exception(PyObject*, PyObject* exc) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
  return to_py(PyException::fetch().render());
}

// call_state_method(obj, name, *args) -> (True, result) or (False, rendered error)
PyObject* py_call_state_method(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs < 2 || nargs > 4) return PyErr_Format(PyExc_TypeError, "call_state_method takes 2 to 4 arguments");
    auto name = to_string(args[1]);
    if (!name) return raise(std::move(name).error());
    auto result = nargs == 2   ? call_method(args[0], name->c_str(), {})
                  : nargs == 3 ? call_method(args[0], name->c_str(), {args[2]})
                               : call_method(args[0], name->c_str(), {args[2], args[3]});
    if (!result) return Py_BuildValue("(ON)", Py_False, to_py(render(result.error())));
    return Py_BuildValue("(OO)", Py_True, result->get());
  });
}

// send_stat(obj, name, value): set_stat with every failure discarded but an interruption
PyObject* py_send_stat(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) return PyErr_Format(PyExc_TypeError, "send_stat takes 3 arguments");
  auto name = to_string(args[1]);
  if (!name) return raise(std::move(name).error());
  if (auto sent = set_stat(args[0], name->c_str(), args[2]); !sent) return raise(std::move(sent.error().exc));
  Py_RETURN_NONE;
}

// fail_check(kind): a broken invariant ("check"), memory exhaustion ("alloc") or a foreign
// exception ("other") inside an entry function's guard
PyObject* py_fail_check(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    auto kind = to_string(arg);
    if (!kind) return raise(std::move(kind).error());
    if (*kind == "alloc") throw std::bad_alloc();
    if (*kind == "other") throw 42;
    KESTRO_CHECK(kind->empty(), "asked to fail");
    Py_RETURN_NONE;
  });
}

// The fixed model's settings of `dataset`, read as `fixed_price` reads them; nullopt with the
// Python exception set when that fails.
std::optional<FixedSettings> fixed_settings(PyObject* dataset) {
  if (auto dict = to_dict(dataset); !dict) {
    raise(std::move(dict).error());
    return std::nullopt;
  }
  auto settings = read_fixed_settings(dataset);
  if (!settings) {
    raise_dataset(std::move(settings).error());
    return std::nullopt;
  }
  return std::move(*settings);
}

PyObject* float_or_text(const Result<double, CurveError>& result) {
  return result ? PyFloat_FromDouble(*result) : to_py(render(result.error()));
}

// discount_factor(dataset, x) -> the base currency's discount factor at x, or the error text
PyObject* py_discount_factor(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 2) return PyErr_Format(PyExc_TypeError, "discount_factor takes 2 arguments");
    auto settings = fixed_settings(args[0]);
    if (!settings) return nullptr;
    const double x = PyFloat_AsDouble(args[1]);
    if (x == -1.0 && PyErr_Occurred()) return nullptr;
    return float_or_text(settings->assets.discount_factor(x));
  });
}

// asset_value(dataset, name, x) -> the value of asset `name` at x, or the error text
PyObject* py_asset_value(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs != 3) return PyErr_Format(PyExc_TypeError, "asset_value takes 3 arguments");
    auto settings = fixed_settings(args[0]);
    if (!settings) return nullptr;
    auto name = to_string(args[1]);
    if (!name) return raise(std::move(name).error());
    const double x = PyFloat_AsDouble(args[2]);
    if (x == -1.0 && PyErr_Occurred()) return nullptr;
    return float_or_text(settings->assets.asset_value(*name, x));
  });
}

PyMethodDef kMethods[] = {
    {"fail_check", py_fail_check, METH_O, nullptr},
    {"call_state_method", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_call_state_method)), METH_FASTCALL, nullptr},
    {"send_stat", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_send_stat)), METH_FASTCALL, nullptr},
    {"format_double", py_format_double, METH_O, nullptr},
    {"format_event_time", py_format_event_time, METH_O, nullptr},
    {"describe_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_describe_rows)), METH_FASTCALL, nullptr},
    {"track_of", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_track_of)), METH_FASTCALL, nullptr},
    {"render_samples", py_render_samples, METH_NOARGS, nullptr},
    {"render_python_exception", py_render_python_exception, METH_O, nullptr},
    {"discount_factor", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_discount_factor)), METH_FASTCALL, nullptr},
    {"asset_value", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_asset_value)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_kestro_testing", "Internals of _kestro, for its tests.", -1, kMethods,
                       nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace kestro

PyMODINIT_FUNC PyInit__kestro_testing() {
  // The dataset hooks read arrays through NumPy's function table, which importing `_kestro` fills.
  kestro::PyRef kestro = kestro::PyRef::steal(PyImport_ImportModule("_kestro"));
  if (!kestro) return nullptr;
  return PyModule_Create(&kestro::kModule);
}
