#include "mc/monte_carlo.h"

#include <algorithm>

#include "core/memory_limit.h"
#include "core/numbers.h"
#include "interop/numpy_arrays.h"
#include "interop/py_state.h"

namespace kestro {

Result<void, EvaluationError> MonteCarloModel::check_paths(size_t length, std::string_view call) const {
  if (length == 1 || length == settings_.paths) return {};
  return std::unexpected(EvaluationError::message(std::string(call) + " returned an array of length " +
                                                  std::to_string(length) + "; expected 1 or PATHS = " +
                                                  std::to_string(settings_.paths)));
}

Result<void, EvaluationError> MonteCarloModel::update_discount(int64_t t, bool later, PathArray& discount) {
  if (!later) return {};
  const double x = year_fraction(t, settings_.pricing_ts);
  PyRef year = PyRef::steal(PyFloat_FromDouble(x));
  if (!year) return std::unexpected(call_failure(PythonCallError::raised(PyException::fetch())));
  auto result = call_method(py_state_, "advance", {year.get()});
  if (!result) return std::unexpected(call_failure(std::move(result).error()));

  // Lengths are checked before anything is copied; the running product is taken in the copy.
  if (std::optional<size_t> length = path_array_length(result->get(), /*accept_bool=*/false)) {
    KESTRO_RETURN_IF_ERROR(check_paths(*length, "advance"));
    discount = read_scaled_path_array(result->get(), discount);
    return {};
  }
  const double factor = PyFloat_AsDouble(result->get());
  if (!(factor == -1.0 && PyErr_Occurred())) return multiply_into(discount, PathArray::scalar(factor));
  if (interrupt_pending()) return std::unexpected(Interrupted{PyException::fetch()});
  PyErr_Clear();
  // No stochastic discount: the curve's factor runs from the pricing time, so it replaces the product.
  KESTRO_ASSIGN_OR_RETURN(const double df, settings_.assets.discount_factor(x));
  discount = PathArray::scalar(df);
  return {};
}

Result<PathArray, EvaluationError> MonteCarloModel::asset_amount(const AssetRef& asset, int64_t t,
                                                                 PathArray multiplier) {
  PyRef name = PyRef::steal(PyUnicode_FromStringAndSize(asset.name.data(), static_cast<Py_ssize_t>(asset.name.size())));
  if (!name) return std::unexpected(call_failure(PythonCallError::raised(PyException::fetch())));
  auto result = call_method(py_state_, "get_value", {name.get()});
  if (!result) return std::unexpected(call_failure(std::move(result).error()));
  if (std::optional<size_t> length = path_array_length(result->get(), /*accept_bool=*/false)) {
    KESTRO_RETURN_IF_ERROR(check_paths(*length, "get_value('" + std::string(asset.name) + "')"));
    return read_scaled_path_array(result->get(), multiplier);  // copied and scaled in one pass
  }
  KESTRO_ASSIGN_OR_RETURN(const double value, curves_.asset_value(asset, year_fraction(t, settings_.pricing_ts)));
  return scaled(std::move(multiplier), value);
}

Result<void, EvaluationError> check_mc_settings(const McSettings& settings, const Timetable& table) {
  // The walk holds a row's value and a discount vector; the ledger a track, and what it keeps.
  const double arrays = 2 + std::max(1.0, ledger_arrays(table.num_rows(), table.num_tracks(), settings.flags));
  const double paths = static_cast<double>(settings.paths);
  return check_fits_in_memory(arrays * paths * sizeof(double), "PATHS = " + std::to_string(settings.paths) + " (" +
                                                                   format_double(arrays) + " path arrays)");
}

Result<double, EvaluationError> read_mc_price(const Ledger& ledger) {
  KESTRO_ASSIGN_OR_RETURN(const PathArray* values, ledger.find_track(0));
  if (values->size() == 0) return std::unexpected(EvaluationError::message("Empty PV Vector"));
  // Four running sums: vectorisable, and less rounding than one long chain.
  double sums[4] = {0.0, 0.0, 0.0, 0.0};
  const double* p = values->data();
  const size_t n = values->size();
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (size_t k = 0; k < 4; ++k) sums[k] += p[i + k];
  }
  for (; i < n; ++i) sums[0] += p[i];
  return ((sums[0] + sums[1]) + (sums[2] + sums[3])) / static_cast<double>(n);
}

}  // namespace kestro
