// Each entry function reads in the same steps: bind and convert the arguments in parameter
// order, read the timetable with its expressions, then run its model; every failure becomes
// one Python exception at the boundary.

#include "entry/functions.h"

#include <arrow/api.h>

#include <array>

#include "backtest/model.h"
#include "entry/arguments.h"
#include "entry/boundary.h"
#include "fd/black_scholes.h"
#include "fd/engine.h"
#include "fd/hull_white.h"
#include "hist/tsdata.h"
#include "interop/py_values.h"
#include "interop/record_batch_import.h"
#include "market/dataset.h"
#include "mc/fixed.h"
#include "mc/fixed_scalar.h"
#include "mc/monte_carlo.h"
#include "stats/backtest_writer.h"
#include "stats/pricing_writer.h"
#include "timetable/mod.h"
#include "walk/walk.h"

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

// The steps after the timetable: settings, model, price, statistics.
using PricingRun = PyObject* (*)(const PricingArgs& args, const Timetable& table);

PyObject* to_python(Result<double, EvaluationError> price) {
  if (!price) return raise(std::move(price).error());
  return PyFloat_FromDouble(*price);
}

PyObject* run_fixed(const PricingArgs& args, const Timetable& table) {
  auto settings = read_fixed_settings(args.dataset);
  if (!settings) return raise_dataset(std::move(settings).error());
  if (std::optional<double> value = fixed_price_scalar(table, *settings)) return PyFloat_FromDouble(*value);
  auto price = [&]() -> Result<double, EvaluationError> {
    FixedModel model(*settings, table.units().size());
    KESTRO_ASSIGN_OR_RETURN(Ledger ledger, walk_events(model, table));
    KESTRO_ASSIGN_OR_RETURN(const double value, read_fixed_price(ledger));
    KESTRO_RETURN_IF_ERROR(write_pricing_stats(settings->flags, ledger, args.py_state));
    return value;
  }();
  return to_python(std::move(price));
}

PyObject* run_mc(const PricingArgs& args, const Timetable& table) {
  auto settings = read_mc_settings(args.dataset);
  if (!settings) return raise_dataset(std::move(settings).error());
  auto price = [&]() -> Result<double, EvaluationError> {
    KESTRO_RETURN_IF_ERROR(check_mc_settings(*settings, table));
    MonteCarloModel model(*settings, args.py_state, table.units().size());
    KESTRO_ASSIGN_OR_RETURN(Ledger ledger, walk_events(model, table));
    KESTRO_ASSIGN_OR_RETURN(const double value, read_mc_price(ledger));
    KESTRO_RETURN_IF_ERROR(write_pricing_stats(settings->flags, ledger, args.py_state));
    return value;
  }();
  return to_python(std::move(price));
}

// The finite-difference pricings: settings read and checked, the grid walked back, the centre
// node read.
template <class Model, class Settings>
PyObject* run_fd(const PricingArgs& args, const Timetable& table, Result<Settings, InputError> (*read)(PyObject*),
                 Result<void, EvaluationError> (*check_model)(const Settings&)) {
  auto settings = read(args.dataset);
  if (!settings) return raise_dataset(std::move(settings).error());
  Model model(*settings);
  auto price = [&]() -> Result<double, EvaluationError> {
    // Settings the reader accepts but no grid can run with.
    KESTRO_RETURN_IF_ERROR(check_fd_settings(settings->fd, table));
    KESTRO_RETURN_IF_ERROR(check_model(*settings));
    KESTRO_ASSIGN_OR_RETURN(FdGrid grid, calculate(table, settings->fd, model));
    KESTRO_ASSIGN_OR_RETURN(const double value, read_price(grid, settings->fd));
    KESTRO_RETURN_IF_ERROR(write_pricing_stats(settings->fd.flags, grid.ledger, args.py_state));
    return value;
  }();
  return to_python(std::move(price));
}

PyObject* run_fd_hullwhite(const PricingArgs& args, const Timetable& table) {
  return run_fd<HullWhiteModel>(args, table, read_hullwhite_settings, check_hullwhite_settings);
}

PyObject* run_fd_blackscholes(const PricingArgs& args, const Timetable& table) {
  return run_fd<BlackScholesModel>(args, table, read_blackscholes_settings, check_blackscholes_settings);
}

PyObject* price(const char* function, PricingRun run, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    auto converted = pricing_args(function, args, nargs, kwnames);
    if (!converted) return raise(std::move(converted).error());
    auto table = Timetable::build(std::move(converted->events), converted->expressions);
    if (!table) return raise(std::move(table).error());
    return run(*converted, *table);
  });
}

// Both backtests: the timetable walked once against `series`, its cashflows reported.
template <class MakeSeries>
PyObject* backtest(Result<BacktestArgs, PyException> converted, MakeSeries make_series) {
  if (!converted) return raise(std::move(converted).error());
  auto table = Timetable::build(std::move(converted->events), converted->expressions);
  if (!table) return raise(std::move(table).error());
  auto series = make_series(*converted);
  BacktestModel model(series);
  auto done = [&]() -> Result<void, EvaluationError> {
    KESTRO_ASSIGN_OR_RETURN(Ledger ledger, walk_events(model, *table));
    return write_backtest_stats(ledger, converted->py_state);
  }();
  if (!done) return raise(std::move(done).error());
  Py_RETURN_NONE;
}

}  // namespace

PyObject* mc_price(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return price("mc_price", run_mc, args, nargs, kwnames);
}

PyObject* fixed_price(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return price("fixed_price", run_fixed, args, nargs, kwnames);
}

PyObject* fd_hullwhite_price(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return price("fd_hullwhite_price", run_fd_hullwhite, args, nargs, kwnames);
}

PyObject* fd_blackscholes_price(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return price("fd_blackscholes_price", run_fd_blackscholes, args, nargs, kwnames);
}

PyObject* backtest_csv(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    return backtest(backtest_csv_args(args, nargs, kwnames),
                    [](const BacktestArgs& a) { return ConstantSeries(a.base, 100.0); });
  });
}

PyObject* backtest_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    return backtest(backtest_py_args(args, nargs, kwnames),
                    [](const BacktestArgs& a) { return PySeries(a.base, a.py_state); });
  });
}

}  // namespace kestro
