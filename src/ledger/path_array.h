#pragma once
// A path array: one double per path, or a single double standing for every path. Arrays of
// length one live inline, so one-path models allocate nothing per event.

#include <cstddef>
#include <cstring>
#include <memory>
#include <utility>

#include "core/errors.h"
#include "core/result.h"

namespace kestro {

/// Frees what `allocate_doubles` gave: `mapped` is 0 for a malloc'd buffer, else the size of
/// its page-pool mapping.
struct DoublesDeleter {
  size_t mapped = 0;
  void operator()(double* p) const noexcept;
};
/// An engine-owned buffer of doubles; large ones come from the page pool (reused pages,
/// huge pages where the system offers them).
using DoubleBuffer = std::unique_ptr<double[], DoublesDeleter>;
DoubleBuffer allocate_doubles(size_t n);

class PathArray {
 public:
  PathArray() = default;
  static PathArray scalar(double value) {
    PathArray a;
    a.size_ = 1;
    a.one_ = value;
    return a;
  }
  /// n elements, left uninitialised.
  static PathArray uninitialized(size_t n);
  static PathArray filled(size_t n, double value);
  static PathArray copy_of(const double* data, size_t n);

  // A moved-from array is empty, never a size without storage.
  PathArray(PathArray&& other) noexcept
      : size_(std::exchange(other.size_, 0)), one_(other.one_), many_(std::move(other.many_)) {}
  PathArray& operator=(PathArray&& other) noexcept {
    size_ = std::exchange(other.size_, 0);
    one_ = other.one_;
    many_ = std::move(other.many_);
    return *this;
  }
  PathArray(const PathArray&) = delete;  // copies are explicit: clone()
  PathArray& operator=(const PathArray&) = delete;

  PathArray clone() const { return copy_of(data(), size_); }

  size_t size() const { return size_; }
  double* data() { return size_ <= 1 ? &one_ : many_.get(); }
  const double* data() const { return size_ <= 1 ? &one_ : many_.get(); }
  double operator[](size_t i) const { return data()[i]; }
  double& operator[](size_t i) { return data()[i]; }
  /// 0 for a single value (broadcast), 1 otherwise: index i*step() reads element i of the broadcast.
  size_t step() const { return size_ == 1 ? 0 : 1; }
  /// Length one and value zero (either sign).
  bool is_single_zero() const { return size_ == 1 && one_ == 0.0; }

  /// Gives up the buffer (a new one for inline storage); the array is left empty.
  DoubleBuffer release();

 private:
  size_t size_ = 0;
  double one_ = 0.0;                 // storage when size_ <= 1
  DoubleBuffer many_;                // storage when size_ > 1
};

/// The length two arrays broadcast to: the other's when one has length 1; an error when they
/// differ otherwise.
Result<size_t, EvaluationError> broadcast_size(size_t a, size_t b);

/// a × b elementwise, with broadcasting.
Result<PathArray, EvaluationError> multiply(const PathArray& a, const PathArray& b);

/// a × b written into a (reusing a's storage when it is long enough).
Result<void, EvaluationError> multiply_into(PathArray& a, const PathArray& b);

/// a × s, reusing a's storage.
PathArray scaled(PathArray a, double s);

}  // namespace kestro
