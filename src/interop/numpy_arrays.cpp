#include "interop/numpy_arrays.h"

#include <cstdint>
#include <cstring>

#include <emmintrin.h>

#include "interop/numpy_api.h"

namespace kestro {

namespace {

constexpr const char* kDoublesName = "kestro.doubles";
constexpr const char* kUint64sName = "kestro.uint64s";

// The capsule's context carries the deleter's mapping size.
void free_doubles(PyObject* capsule) {
  const auto mapped = reinterpret_cast<uintptr_t>(PyCapsule_GetContext(capsule));
  DoublesDeleter{static_cast<size_t>(mapped)}(static_cast<double*>(PyCapsule_GetPointer(capsule, kDoublesName)));
}

void free_uint64s(PyObject* capsule) {
  delete static_cast<std::vector<uint64_t>*>(PyCapsule_GetPointer(capsule, kUint64sName));
}

// A 1-D array over `data` whose base is `owner` (taken over, also on failure).
PyRef array_over(void* data, size_t n, int type, PyRef owner) {
  if (!owner) return {};
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  PyRef array = PyRef::steal(PyArray_SimpleNewFromData(1, dims, type, data));
  if (!array) return {};
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0) return {};
  return array;
}

// Element i of a 1-D array of any stride and alignment.
template <class T>
T element(const char* base, npy_intp stride, npy_intp i) {
  T value;
  std::memcpy(&value, base + i * stride, sizeof(T));
  return value;
}


// out[i] = in[i] * scale. A large array is written past the caches: the walk reads it back
// only when it books the row, long after it would have been evicted, so loading the lines
// first (as an ordinary store does) would only double the memory traffic.
void scale_copy(double* out, const double* in, double scale, size_t n) {
  constexpr size_t kStreamFrom = size_t{1} << 15;
  size_t i = 0;
  if (n >= kStreamFrom && reinterpret_cast<uintptr_t>(out) % 16 == 0) {
    const __m128d s = _mm_set1_pd(scale);
    for (; i + 2 <= n; i += 2) _mm_stream_pd(out + i, _mm_mul_pd(_mm_loadu_pd(in + i), s));
    _mm_sfence();
  }
  for (; i < n; ++i) out[i] = in[i] * scale;
}

}  // namespace

PyRef numpy_adopting(DoubleBuffer data, size_t n) {
  if (!data) data = allocate_doubles(1);  // NumPy wants a pointer even for no elements
  double* raw = data.get();
  PyRef owner = PyRef::steal(PyCapsule_New(raw, kDoublesName, free_doubles));
  if (owner && PyCapsule_SetContext(owner.get(), reinterpret_cast<void*>(uintptr_t{data.get_deleter().mapped})) < 0) {
    owner = PyRef();  // the buffer stays with `data`, which frees it
  }
  if (owner) data.release();
  return array_over(raw, n, NPY_FLOAT64, std::move(owner));
}

PyRef numpy_adopting(std::vector<uint64_t> data) {
  if (data.capacity() == 0) data.reserve(1);
  auto holder = std::make_unique<std::vector<uint64_t>>(std::move(data));
  void* raw = holder->data();
  const size_t n = holder->size();
  PyRef owner = PyRef::steal(PyCapsule_New(holder.get(), kUint64sName, free_uint64s));
  if (owner) holder.release();
  return array_over(raw, n, NPY_UINT64, std::move(owner));
}

PyRef numpy_copy(const double* data, size_t n) {
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  PyRef array = PyRef::steal(PyArray_SimpleNew(1, dims, NPY_FLOAT64));
  if (array && n > 0) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), data, n * sizeof(double));
  }
  return array;
}


std::optional<size_t> path_array_length(PyObject* obj, bool accept_bool) {
  if (!PyArray_Check(obj)) return std::nullopt;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != 1) return std::nullopt;
  const int type = PyArray_TYPE(array);
  if (type != NPY_FLOAT64 && !(type == NPY_BOOL && accept_bool)) return std::nullopt;
  return static_cast<size_t>(PyArray_DIM(array, 0));
}

PathArray read_scaled_path_array(PyObject* obj, const PathArray& factor) {
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  const auto n = static_cast<size_t>(PyArray_DIM(array, 0));
  const npy_intp stride = PyArray_STRIDE(array, 0);
  const char* base = PyArray_BYTES(array);
  const bool swapped = !PyArray_ISNOTSWAPPED(array);
  const size_t size = n == 1 ? factor.size() : n;  // broadcasting: a single value takes the other length
  const npy_intp step = n == 1 ? 0 : stride;  // a single value stands for every path
  const double* f = factor.data();
  const size_t fs = factor.step();
  PathArray out = PathArray::uninitialized(size);
  double* p = out.data();
  if (step == static_cast<npy_intp>(sizeof(double)) && !swapped) {
    const auto* v = reinterpret_cast<const double*>(base);
    if (fs == 0) {
      scale_copy(p, v, f[0], size);
    } else {
      for (size_t i = 0; i < size; ++i) p[i] = v[i] * f[i];
    }
    return out;
  }
  for (size_t i = 0; i < size; ++i) {
    auto bits = element<uint64_t>(base, step, static_cast<npy_intp>(i));
    if (swapped) bits = __builtin_bswap64(bits);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    p[i] = v * f[i * fs];
  }
  return out;
}

std::optional<PathArray> read_path_array(PyObject* obj, bool accept_bool) {
  if (!PyArray_Check(obj)) return std::nullopt;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != 1) return std::nullopt;
  const auto n = static_cast<size_t>(PyArray_DIM(array, 0));
  const npy_intp stride = PyArray_STRIDE(array, 0);
  const char* base = PyArray_BYTES(array);
  const int type = PyArray_TYPE(array);
  if (type == NPY_FLOAT64) {
    const bool swapped = !PyArray_ISNOTSWAPPED(array);
    if (stride == sizeof(double) && !swapped) return PathArray::copy_of(reinterpret_cast<const double*>(base), n);
    PathArray out = PathArray::uninitialized(n);
    for (size_t i = 0; i < n; ++i) {
      auto bits = element<uint64_t>(base, stride, static_cast<npy_intp>(i));
      if (swapped) bits = __builtin_bswap64(bits);
      std::memcpy(&out[i], &bits, sizeof bits);
    }
    return out;
  }
  if (type == NPY_BOOL && accept_bool) {
    PathArray out = PathArray::uninitialized(n);
    for (size_t i = 0; i < n; ++i) out[i] = element<npy_bool>(base, stride, static_cast<npy_intp>(i)) ? 1.0 : 0.0;
    return out;
  }
  return std::nullopt;
}

}  // namespace kestro
