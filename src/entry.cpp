// Each entry function reads in the same steps: bind and convert the arguments in parameter
// order, read the timetable with its expressions, then run its model; every failure becomes
// one Python exception at the boundary.

#include "entry.h"

#include <arrow/api.h>

#include <array>

#include "arguments.h"
#include "boundary.h"
#include "market/dataset.h"
#include "timetable/mod.h"

namespace kestro {

namespace {

constexpr std::array<const char*, 4> kPricingParams{"events_rb", "py_state", "dataset", "expressions"};
constexpr std::array<const char*, 5> kBacktestCsvParams{"events_rb", "py_state", "_filename", "base", "expressions"};
constexpr std::array<const char*, 4> kBacktestPyParams{"events_rb", "py_state", "expressions", "base"};

struct PricingArgs {
  std::shared_ptr<arrow::RecordBatch> events;
  PyObject* py_state;
  PyObject* dataset;
  PyObject* expressions;
};

struct BacktestArgs {
  std::shared_ptr<arrow::RecordBatch> events;
  PyObject* py_state;
  PyObject* expressions;
  std::string base;
};

Result<PricingArgs, PyException> pricing_args(const char* function, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
  PyObject* bound[kPricingParams.size()];
  KESTRO_RETURN_IF_ERROR(bind_arguments({function, kPricingParams}, args, nargs, kwnames, bound));
  PricingArgs out;
  KESTRO_ASSIGN_OR_RETURN(out.events, convert_argument("events_rb", to_record_batch(bound[0])));
  out.py_state = bound[1];
  KESTRO_ASSIGN_OR_RETURN(out.dataset, convert_argument("dataset", to_dict(bound[2])));
  KESTRO_ASSIGN_OR_RETURN(out.expressions, convert_argument("expressions", to_dict(bound[3])));
  return out;
}

Result<BacktestArgs, PyException> backtest_csv_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[kBacktestCsvParams.size()];
  KESTRO_RETURN_IF_ERROR(bind_arguments({"backtest_csv", kBacktestCsvParams}, args, nargs, kwnames, bound));
  BacktestArgs out;
  KESTRO_ASSIGN_OR_RETURN(out.events, convert_argument("events_rb", to_record_batch(bound[0])));
  out.py_state = bound[1];
  KESTRO_RETURN_IF_ERROR(convert_argument("_filename", to_string(bound[2])));  // checked, otherwise unused
  KESTRO_ASSIGN_OR_RETURN(out.base, convert_argument("base", to_string(bound[3])));
  KESTRO_ASSIGN_OR_RETURN(out.expressions, convert_argument("expressions", to_dict(bound[4])));
  return out;
}

Result<BacktestArgs, PyException> backtest_py_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[kBacktestPyParams.size()];
  KESTRO_RETURN_IF_ERROR(bind_arguments({"backtest_py", kBacktestPyParams}, args, nargs, kwnames, bound));
  BacktestArgs out;
  KESTRO_ASSIGN_OR_RETURN(out.events, convert_argument("events_rb", to_record_batch(bound[0])));
  out.py_state = bound[1];
  KESTRO_ASSIGN_OR_RETURN(out.expressions, convert_argument("expressions", to_dict(bound[2])));
  KESTRO_ASSIGN_OR_RETURN(out.base, convert_argument("base", to_string(bound[3])));
  return out;
}

// Stands in for the model stages still to be built, so a call never reports success falsely.
PyObject* not_built(const char* function, const char* stage) {
  PyErr_Format(PyExc_RuntimeError, "%s: %s is not built yet", function, stage);
  return nullptr;
}

// `read_settings` reads the model's settings from the dataset, after the timetable.
template <class ReadSettings>
PyObject* price(const char* function, const char* stage, ReadSettings read_settings, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    auto converted = pricing_args(function, args, nargs, kwnames);
    if (!converted) return raise(std::move(converted).error());
    auto table = Timetable::build(std::move(converted->events), converted->expressions);
    if (!table) return raise(table.error());
    auto settings = read_settings(converted->dataset);
    if (!settings) return raise_dataset(settings.error());
    return not_built(function, stage);
  });
}

PyObject* backtest(const char* function, Result<BacktestArgs, PyException> converted) {
  if (!converted) return raise(std::move(converted).error());
  auto table = Timetable::build(std::move(converted->events), converted->expressions);
  if (!table) return raise(table.error());
  return not_built(function, "the backtest model");
}

}  // namespace

PyObject* mc_price(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return price("mc_price", "the Monte Carlo model", read_mc_settings, args, nargs, kwnames);
}

PyObject* fixed_price(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return price("fixed_price", "the fixed model", read_fixed_settings, args, nargs, kwnames);
}

PyObject* fd_hullwhite_price(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return price("fd_hullwhite_price", "the finite-difference Hull-White model", read_hullwhite_settings, args, nargs,
               kwnames);
}

PyObject* fd_blackscholes_price(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return price("fd_blackscholes_price", "the finite-difference Black-Scholes model", read_blackscholes_settings, args,
               nargs, kwnames);
}

PyObject* backtest_csv(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return backtest("backtest_csv", backtest_csv_args(args, nargs, kwnames)); });
}

PyObject* backtest_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return backtest("backtest_py", backtest_py_args(args, nargs, kwnames)); });
}

}  // namespace kestro
