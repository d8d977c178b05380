#include "stats/pricing_writer.h"

#include "core/flags.h"
#include "interop/numpy_arrays.h"
#include "interop/py_state.h"
#include "interop/signal_check.h"
#include "stats/stats_internal.h"

namespace kestro {

namespace {

// outer key -> {inner key -> array}, each array made by `to_numpy` from the inner value.
template <class Map, class ToNumpy>
Result<PyRef, EvaluationError> nested_dict(Map map, ToNumpy to_numpy) {
  constexpr uint64_t kEntryNs = 1000;  // estimated, generously: a key, an array and its owner
  SignalPacer pacer;
  PyRef outer = PyRef::steal(PyDict_New());
  if (!outer) return std::unexpected(python_failure());
  for (auto& [outer_key, inner_map] : map) {
    PyRef inner = PyRef::steal(PyDict_New());
    if (!inner) return std::unexpected(python_failure());
    for (auto& [inner_key, values] : inner_map) {
      KESTRO_RETURN_IF_ERROR(pacer.step(kEntryNs));
      PyRef key = PyRef::steal(PyLong_FromUnsignedLongLong(inner_key));
      PyRef array = to_numpy(std::move(values));
      if (!key || !array || PyDict_SetItem(inner.get(), key.get(), array.get()) < 0) {
        return std::unexpected(python_failure());
      }
    }
    PyRef key = PyRef::steal(PyLong_FromUnsignedLongLong(outer_key));
    if (!key || PyDict_SetItem(outer.get(), key.get(), inner.get()) < 0) return std::unexpected(python_failure());
  }
  return outer;
}

}  // namespace

Result<void, EvaluationError> write_pricing_stats(uint32_t flags, Ledger& ledger, PyObject* py_state) {
  if (flags & kFlagPvVec) {
    KESTRO_ASSIGN_OR_RETURN(const PathArray* pv, ledger.find_track(0));
    PyRef array = numpy_copy(pv->data(), pv->size());
    if (!array) return std::unexpected(python_failure());
    KESTRO_RETURN_IF_ERROR(set_stat(py_state, "PV_VEC", array.get()));
  }
  if (flags & kFlagChoices) {
    KESTRO_ASSIGN_OR_RETURN(PyRef choices, nested_dict(ledger.take_choices(), [](std::vector<uint64_t> taken) {
                              return numpy_adopting(std::move(taken));
                            }));
    KESTRO_RETURN_IF_ERROR(set_stat(py_state, "CHOICES", choices.get()));
  }
  if (flags & kFlagCashflow) {
    KESTRO_ASSIGN_OR_RETURN(PyRef cashflows, nested_dict(ledger.take_cashflows(), [](Cashflow cashflow) {
                              const size_t n = cashflow.flows.size();
                              return numpy_adopting(cashflow.flows.release(), n);
                            }));
    KESTRO_RETURN_IF_ERROR(set_stat(py_state, "CASHFLOW", cashflows.get()));
  }
  return {};
}

}  // namespace kestro
