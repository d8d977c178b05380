#include "market/dataset.h"

#include <cstring>
#include <vector>

#include "core/flags.h"
#include "interop/numpy_api.h"
#include "interop/py_values.h"

namespace kestro {

namespace {

// Typed lookups of a required key

Result<PyRef, InputError> section(PyObject* dict, const char* key) {
  KESTRO_ASSIGN_OR_RETURN(PyRef value, required(dict, key));
  if (!PyDict_Check(value.get())) {
    return std::unexpected(InputError::WrongType{key, bare_conversion(value.get(), "PyDict")});
  }
  return value;
}

Result<std::string, InputError> text(PyObject* dict, const char* key) {
  KESTRO_ASSIGN_OR_RETURN(PyRef value, required(dict, key));
  return typed(key, to_string(value.get()));
}

Result<uint64_t, InputError> unsigned64(PyObject* dict, const char* key) {
  KESTRO_ASSIGN_OR_RETURN(PyRef value, required(dict, key));
  return typed(key, to_u64(value.get()));
}

Result<int64_t, InputError> signed64(PyObject* dict, const char* key) {
  KESTRO_ASSIGN_OR_RETURN(PyRef value, required(dict, key));
  return typed(key, to_i64(value.get()));
}

Result<double, InputError> real(PyObject* dict, const char* key) {
  KESTRO_ASSIGN_OR_RETURN(PyRef value, required(dict, key));
  return typed(key, to_double(value.get()));
}

// "FLAGS" of a section: optional, 0 when absent.
Result<uint32_t, InputError> flags(PyObject* section) {
  KESTRO_ASSIGN_OR_RETURN(PyRef value, lookup(section, "FLAGS"));
  if (!value) return 0u;
  KESTRO_ASSIGN_OR_RETURN(uint32_t out, typed("FLAGS", to_u32(value.get())));
  if (out > kFlagsMax) {
    return std::unexpected(InputError::Message{"Invalid bits set in FLAG"});
  }
  return out;
}

// "DAMPING_STEPS" of the "FD" section: optional, 0 (undamped) when absent.
Result<uint32_t, InputError> damping_steps(PyObject* section) {
  KESTRO_ASSIGN_OR_RETURN(PyRef value, lookup(section, "DAMPING_STEPS"));
  if (!value) return 0u;
  KESTRO_ASSIGN_OR_RETURN(uint64_t out, typed("DAMPING_STEPS", to_u64(value.get())));
  if (out > kMaxDampingSteps) {
    return std::unexpected(InputError::Message{
        "DAMPING_STEPS must be at most " + std::to_string(kMaxDampingSteps) +
        " (the Crank-Nicolson steps after each event date taken as two implicit half steps; 2 is usual), got " +
        std::to_string(out)});
  }
  return static_cast<uint32_t>(out);
}

// Asset entries

Result<PyObject*, PyException> tuple_item(PyObject* tuple, Py_ssize_t index) {
  PyObject* item = PyTuple_GetItem(tuple, index);  // borrowed; the caller holds the tuple
  if (item == nullptr) return std::unexpected(PyException::fetch());
  return item;
}

// A two-dimensional float64 array (borrowed), refused with the TypeError its conversion gives.
Result<PyArrayObject*, PyException> to_matrix(PyObject* value) {
  if (!PyArray_Check(value)) return std::unexpected(PyException::conversion(value, "PyArray<T, D>"));
  auto* array = reinterpret_cast<PyArrayObject*>(value);
  if (PyArray_NDIM(array) != 2) {
    return std::unexpected(PyException::make(
        PyExc_TypeError, "dimensionality mismatch:\n from=" + std::to_string(PyArray_NDIM(array)) + ", to=2"));
  }
  PyRef float64 = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_FLOAT64)));
  if (!float64) return std::unexpected(PyException::fetch());
  // Equivalence includes byte order: a big-endian array is refused rather than misread.
  if (!PyArray_EquivTypes(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(float64.get()))) {
    std::string dtype;
    if (!str_of(reinterpret_cast<PyObject*>(PyArray_DESCR(array)), dtype)) dtype = "<dtype str() failed>";
    return std::unexpected(PyException::make(PyExc_TypeError, "type mismatch:\n from=" + dtype + ", to=float64"));
  }
  return array;
}

// Element `column` of row `row` of a 2-D float64 array, whatever its strides and alignment.
double element(const PyArrayObject* array, npy_intp row, npy_intp column) {
  double value;
  std::memcpy(&value, PyArray_BYTES(array) + row * PyArray_STRIDE(array, 0) + column * PyArray_STRIDE(array, 1),
              sizeof value);
  return value;
}

struct CurveRows {
  std::vector<double> times;   // read only up to the first step that does not rise
  std::vector<double> values;  // read only when every time rises
  bool rising = true;
};

// The times row, then the values row; a curve whose times stop rising is not read further, so
// a huge array (a broadcast view, say) with bad times costs nothing before its refusal.
Result<CurveRows, InputError> read_rows(const std::string& name, PyArrayObject* array) {
  const npy_intp rows = PyArray_DIM(array, 0);
  if (rows < 2) {
    return std::unexpected(InputError::Message{"Asset '" + name + "' needs two rows (times and values), got " +
                                               std::to_string(rows)});
  }
  const npy_intp columns = PyArray_DIM(array, 1);
  if (columns == 0) return std::unexpected(InputError::Message{"Asset '" + name + "' has no columns"});
  CurveRows out;
  out.times.reserve(static_cast<size_t>(columns));
  for (npy_intp j = 0; j < columns && out.rising; ++j) {
    const double t = element(array, 0, j);
    out.rising = j == 0 || t > out.times.back();  // NaN does not rise either
    out.times.push_back(t);
  }
  if (!out.rising) return out;
  out.values.resize(static_cast<size_t>(columns));
  for (npy_intp j = 0; j < columns; ++j) out.values[static_cast<size_t>(j)] = element(array, 1, j);
  return out;
}

// One "ASSETS" entry: both items are taken before either is converted, and the rows are
// read before the kind is checked; times that do not rise are refused after the kind.
Result<AssetCurve, InputError> read_asset(const std::string& name, PyObject* entry, bool is_base) {
  if (!PyTuple_Check(entry)) return std::unexpected(InputError::WrongType{"n/a", bare_conversion(entry, "PyTuple")});
  KESTRO_ASSIGN_OR_RETURN(PyObject* kind_item, tuple_item(entry, 0));
  KESTRO_ASSIGN_OR_RETURN(PyObject* array_item, tuple_item(entry, 1));
  KESTRO_ASSIGN_OR_RETURN(std::string kind, to_string(kind_item));
  KESTRO_ASSIGN_OR_RETURN(PyArrayObject* array, to_matrix(array_item));
  KESTRO_ASSIGN_OR_RETURN(CurveRows rows, read_rows(name, array));
  if (kind != "ZERO_RATES" && kind != "FORWARDS") {
    return std::unexpected(InputError::Message{"Unknown asset type " + kind});
  }
  if (!rows.rising) return std::unexpected(InputError(AssetCurve::not_rising()));
  return AssetCurve::build(kind, std::move(rows.times), std::move(rows.values), is_base);
}

// "BASE", then every entry of "ASSETS" in the dictionary's order.
Result<AssetTable, InputError> read_asset_table(PyObject* dataset) {
  KESTRO_ASSIGN_OR_RETURN(std::string base, text(dataset, "BASE"));
  KESTRO_ASSIGN_OR_RETURN(PyRef assets, section(dataset, "ASSETS"));
  AssetTable table(std::move(base));
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *entry = nullptr;
  while (PyDict_Next(assets.get(), &pos, &key, &entry)) {
    PyRef key_ref = PyRef::borrow(key), entry_ref = PyRef::borrow(entry);
    KESTRO_ASSIGN_OR_RETURN(std::string name, to_string(key));
    KESTRO_ASSIGN_OR_RETURN(AssetCurve curve, read_asset(name, entry, name == table.base()));
    table.insert(std::move(name), std::move(curve));
  }
  return table;
}

// The keys every finite-difference model reads, after the asset table.
Result<FdSettings, InputError> read_fd_settings(PyObject* dataset) {
  KESTRO_ASSIGN_OR_RETURN(AssetTable assets, read_asset_table(dataset));
  KESTRO_ASSIGN_OR_RETURN(PyRef fd, section(dataset, "FD"));
  KESTRO_ASSIGN_OR_RETURN(uint64_t n_x, unsigned64(fd.get(), "N_X"));
  KESTRO_ASSIGN_OR_RETURN(double max_x, real(fd.get(), "MAX_X"));
  KESTRO_ASSIGN_OR_RETURN(double timestep, real(fd.get(), "TIMESTEP"));
  KESTRO_ASSIGN_OR_RETURN(uint32_t fd_flags, flags(fd.get()));
  KESTRO_ASSIGN_OR_RETURN(uint32_t damping, damping_steps(fd.get()));
  KESTRO_ASSIGN_OR_RETURN(int64_t pricing_ts, signed64(dataset, "PRICING_TS"));
  return FdSettings{std::move(assets), n_x, max_x, timestep, fd_flags, damping, pricing_ts};
}

// "FLAGS" of the optional "FIXED" section; a "FIXED" that is missing, fails its lookup or is
// not a dict means no flags.
Result<uint32_t, InputError> fixed_flags(PyObject* dataset) {
  auto fixed = section(dataset, "FIXED");
  if (!fixed) return 0u;
  return flags(fixed->get());
}

}  // namespace

Result<McSettings, InputError> read_mc_settings(PyObject* dataset) {
  KESTRO_ASSIGN_OR_RETURN(AssetTable assets, read_asset_table(dataset));
  KESTRO_ASSIGN_OR_RETURN(PyRef mc, section(dataset, "MC"));
  KESTRO_ASSIGN_OR_RETURN(uint64_t paths, unsigned64(mc.get(), "PATHS"));
  KESTRO_ASSIGN_OR_RETURN(uint64_t seed, unsigned64(mc.get(), "SEED"));
  KESTRO_ASSIGN_OR_RETURN(uint32_t mc_flags, flags(mc.get()));
  KESTRO_ASSIGN_OR_RETURN(int64_t pricing_ts, signed64(dataset, "PRICING_TS"));
  return McSettings{std::move(assets), paths, seed, mc_flags, pricing_ts};
}

Result<FixedSettings, InputError> read_fixed_settings(PyObject* dataset) {
  KESTRO_ASSIGN_OR_RETURN(AssetTable assets, read_asset_table(dataset));
  KESTRO_ASSIGN_OR_RETURN(int64_t pricing_ts, signed64(dataset, "PRICING_TS"));
  KESTRO_ASSIGN_OR_RETURN(uint32_t fixed, fixed_flags(dataset));
  return FixedSettings{std::move(assets), pricing_ts, fixed};
}

Result<FdHullWhiteSettings, InputError> read_hullwhite_settings(PyObject* dataset) {
  KESTRO_ASSIGN_OR_RETURN(FdSettings fd, read_fd_settings(dataset));
  KESTRO_ASSIGN_OR_RETURN(PyRef hw, section(dataset, "HW"));
  KESTRO_ASSIGN_OR_RETURN(double mean_reversion, real(hw.get(), "MEANREV"));
  KESTRO_ASSIGN_OR_RETURN(double vol, real(hw.get(), "VOL"));
  return FdHullWhiteSettings{std::move(fd), mean_reversion, vol};
}

Result<FdBlackScholesSettings, InputError> read_blackscholes_settings(PyObject* dataset) {
  KESTRO_ASSIGN_OR_RETURN(FdSettings fd, read_fd_settings(dataset));
  KESTRO_ASSIGN_OR_RETURN(PyRef bs, section(dataset, "BS"));
  KESTRO_ASSIGN_OR_RETURN(double vol, real(bs.get(), "VOL"));
  KESTRO_ASSIGN_OR_RETURN(std::string asset, text(bs.get(), "ASSET"));
  return FdBlackScholesSettings{std::move(fd), vol, std::move(asset)};
}

}  // namespace kestro
