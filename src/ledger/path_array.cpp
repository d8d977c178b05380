#include "ledger/path_array.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "core/page_pool.h"

namespace kestro {

void DoublesDeleter::operator()(double* p) const noexcept {
  if (mapped == 0) {
    std::free(p);
  } else {
    page_pool::give(p, mapped);
  }
}

DoubleBuffer allocate_doubles(size_t n) {
  const size_t bytes = std::max<size_t>(n, 1) * sizeof(double);
  if (bytes < page_pool::kMinBytes) {
    auto* p = static_cast<double*>(std::malloc(bytes));
    if (p == nullptr) throw std::bad_alloc();
    return DoubleBuffer(p);
  }
  const size_t mapped = page_pool::mapped_size(bytes);
  auto* p = static_cast<double*>(page_pool::take(mapped));
  if (p == nullptr) throw std::bad_alloc();
  return DoubleBuffer(p, DoublesDeleter{mapped});
}

PathArray PathArray::uninitialized(size_t n) {
  PathArray a;
  a.size_ = n;
  if (n > 1) a.many_ = allocate_doubles(n);
  return a;
}

PathArray PathArray::filled(size_t n, double value) {
  PathArray a = uninitialized(n);
  std::fill_n(a.data(), n, value);
  return a;
}

PathArray PathArray::copy_of(const double* data, size_t n) {
  PathArray a = uninitialized(n);
  if (n > 0) std::memcpy(a.data(), data, n * sizeof(double));
  return a;
}

DoubleBuffer PathArray::release() {
  DoubleBuffer out;
  if (size_ > 1) {
    out = std::move(many_);
  } else {
    out = allocate_doubles(1);
    out[0] = one_;
  }
  size_ = 0;
  return out;
}

Result<size_t, EvaluationError> broadcast_size(size_t a, size_t b) {
  if (a == b || b == 1) return a;
  if (a == 1) return b;
  return std::unexpected(EvaluationError::message("Path arrays of lengths " + std::to_string(a) + " and " +
                                                  std::to_string(b) +
                                                  " cannot be combined: each must have one entry or one per path"));
}

Result<PathArray, EvaluationError> multiply(const PathArray& a, const PathArray& b) {
  KESTRO_ASSIGN_OR_RETURN(const size_t n, broadcast_size(a.size(), b.size()));
  PathArray out = PathArray::uninitialized(n);
  const double* pa = a.data();
  const double* pb = b.data();
  const size_t sa = a.step(), sb = b.step();
  double* po = out.data();
  for (size_t i = 0; i < n; ++i) po[i] = pa[i * sa] * pb[i * sb];
  return out;
}

Result<void, EvaluationError> multiply_into(PathArray& a, const PathArray& b) {
  KESTRO_ASSIGN_OR_RETURN(const size_t n, broadcast_size(a.size(), b.size()));
  if (n != a.size()) {
    KESTRO_ASSIGN_OR_RETURN(a, multiply(a, b));
    return {};
  }
  double* pa = a.data();
  const double* pb = b.data();
  const size_t sb = b.step();
  for (size_t i = 0; i < n; ++i) pa[i] *= pb[i * sb];
  return {};
}

PathArray scaled(PathArray a, double s) {
  double* p = a.data();
  for (size_t i = 0; i < a.size(); ++i) p[i] *= s;
  return a;
}

}  // namespace kestro
