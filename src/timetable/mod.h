#pragma once
// The contract's timetable: the record batch's five columns used in place, with ops, units
// and expressions decoded once when it is built.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/result.h"
#include "timetable/event.h"
#include "timetable/expression.h"
#include "timetable/unit.h"

namespace arrow {
class RecordBatch;
}

namespace kestro {

/// One dictionary-encoded column: its int64 keys read in place from the Arrow buffers.
struct KeyColumn {
  const int64_t* keys = nullptr;       // offset already applied
  const uint8_t* validity = nullptr;   // null when the column has no nulls
  int64_t offset = 0;                  // bit offset into `validity`
  int64_t dictionary_size = 0;
  const char* name = "";

  bool is_null(size_t row) const {
    const auto bit = static_cast<size_t>(offset) + row;
    return validity != nullptr && !((validity[bit >> 3] >> (bit & 7)) & 1);
  }
  /// The row's key, or -1 when it is null or lies outside the dictionary.
  int64_t key_or_none(size_t row) const {
    if (is_null(row)) return -1;
    const int64_t key = keys[row];
    return key >= 0 && key < dictionary_size ? key : -1;
  }
};

class Timetable {
 public:
  /// Checks the columns "time", "track", "op", "quantity", "unit" in that order, reads the
  /// expressions dictionary (borrowed), classifies the units and decodes the ops. The
  /// timetable shares `batch` and keeps its buffers alive.
  static Result<Timetable, TimetableError> build(std::shared_ptr<arrow::RecordBatch> batch, PyObject* expressions);

  size_t num_rows() const { return num_rows_; }
  /// The size of the track dictionary: at most this many tracks are booked.
  size_t num_tracks() const { return static_cast<size_t>(track_.dictionary_size); }

  std::optional<int64_t> time(size_t row) const {
    if (time_validity_ != nullptr) {
      const auto bit = static_cast<size_t>(time_offset_) + row;
      if (!((time_validity_[bit >> 3] >> (bit & 7)) & 1)) return std::nullopt;
    }
    return time_[row];
  }
  /// The track key, or "No track specified at event#<row>" for a null key.
  Result<uint64_t, SpecError> track(size_t row) const;
  /// The op of the row's key, NoOp for a null key.
  Result<const Op*, SpecError> op(size_t row) const;
  double quantity(size_t row) const { return quantity_[row]; }
  /// The unit of the row's key, or nullptr for a null key.
  Result<const Unit*, SpecError> unit(size_t row) const;

  /// "#3: track: Track(0), time: Single(2024-01-01T00:00:00Z), op: +, qty: 100, unit: Asset(EUR)"
  std::string describe(size_t row) const;

  /// Keys for hot loops that hand anything unusual to the checked accessors above: the row's
  /// key in its dictionary, or -1 when it is null or outside it.
  int64_t track_key(size_t row) const { return track_.key_or_none(row); }
  int64_t op_key(size_t row) const { return op_.key_or_none(row); }
  int64_t unit_key(size_t row) const { return unit_.key_or_none(row); }

  const ExpressionTables& expressions() const { return expressions_; }
  const std::vector<Unit>& units() const { return units_; }
  const std::vector<Op>& ops() const { return ops_; }

 private:
  Timetable() = default;
  // The key of a non-null row, checked against its dictionary.
  Result<size_t, SpecError> key(const KeyColumn& column, size_t row) const;

  // A value buffer that is not aligned for its type (an unpickled batch places its buffers
  // anywhere in the pickle's bytes) is copied here once, so every read below is aligned.
  template <class T>
  const T* aligned(const T* values, size_t count);

  std::shared_ptr<arrow::RecordBatch> batch_;  // owns every buffer below, but for the copies
  std::vector<std::unique_ptr<std::byte[]>> aligned_copies_;
  size_t num_rows_ = 0;
  const int64_t* time_ = nullptr;
  const uint8_t* time_validity_ = nullptr;
  int64_t time_offset_ = 0;
  const double* quantity_ = nullptr;
  KeyColumn track_, op_, unit_;
  std::vector<Op> ops_;      // one per op dictionary value
  std::vector<Unit> units_;  // one per unit dictionary value
  ExpressionTables expressions_;
};

}  // namespace kestro
