#include "timetable/mod.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include <arrow/api.h>

#include "core/numbers.h"

namespace kestro {

namespace {

const arrow::Array* find_column(const arrow::RecordBatch& batch, const char* name) {
  const arrow::Schema& schema = *batch.schema();
  for (int i = 0; i < schema.num_fields(); ++i) {
    if (schema.field(i)->name() == name) return batch.column(i).get();
  }
  return nullptr;
}

bool is_int64_dictionary(const arrow::Array& column) {
  if (column.type_id() != arrow::Type::DICTIONARY) return false;
  const auto& type = static_cast<const arrow::DictionaryType&>(*column.type());
  return type.index_type()->id() == arrow::Type::INT64;
}

bool is_timestamp_ms(const arrow::Array& column) {
  return column.type_id() == arrow::Type::TIMESTAMP &&
         static_cast<const arrow::TimestampType&>(*column.type()).unit() == arrow::TimeUnit::MILLI;
}

// Looks up each column by name and checks its type, in the fixed order.
Result<std::vector<const arrow::Array*>, SpecError> checked_columns(const arrow::RecordBatch& batch) {
  struct Check {
    const char* name;
    bool (*accepts)(const arrow::Array&);
  };
  static constexpr Check kChecks[] = {
      {"time", is_timestamp_ms},
      {"track", is_int64_dictionary},
      {"op", is_int64_dictionary},
      {"quantity", [](const arrow::Array& c) { return c.type_id() == arrow::Type::DOUBLE; }},
      {"unit", is_int64_dictionary},
  };
  std::vector<const arrow::Array*> out;
  for (const Check& check : kChecks) {
    const arrow::Array* column = find_column(batch, check.name);
    if (column == nullptr) return std::unexpected(SpecError::message(std::string("Column '") + check.name + "' not found"));
    if (!check.accepts(*column)) {
      return std::unexpected(
          SpecError::message(std::string("Couldn't convert column '") + check.name + "', likely incorrect type"));
    }
    out.push_back(column);
  }
  return out;
}

KeyColumn key_column(const arrow::Array& column, const char* name) {
  const auto& dict = static_cast<const arrow::DictionaryArray&>(column);
  const auto& indices = static_cast<const arrow::Int64Array&>(*dict.indices());
  return KeyColumn{indices.raw_values(), indices.null_count() == 0 ? nullptr : indices.null_bitmap_data(),
                   indices.offset(), dict.dictionary()->length(), name};
}

const arrow::Array& dictionary_of(const arrow::Array& column) {
  return *static_cast<const arrow::DictionaryArray&>(column).dictionary();
}

Result<std::vector<Op>, SpecError> decode_ops(const arrow::Array& dictionary) {
  if (dictionary.type_id() != arrow::Type::STRING) {
    return std::unexpected(SpecError::message("Error in ops column, expected strings"));
  }
  const auto& values = static_cast<const arrow::StringArray&>(dictionary);
  std::vector<Op> ops;
  ops.reserve(static_cast<size_t>(values.length()));
  for (int64_t i = 0; i < values.length(); ++i) {
    ops.push_back(decode_op(values.IsNull(i) ? std::nullopt : std::optional(values.GetView(i))));
  }
  return ops;
}

}  // namespace

template <class T>
const T* Timetable::aligned(const T* values, size_t count) {
  if (reinterpret_cast<uintptr_t>(values) % alignof(T) == 0 || count == 0) return values;
  auto copy = std::make_unique<std::byte[]>(count * sizeof(T) + alignof(T));
  void* start = copy.get();
  size_t room = count * sizeof(T) + alignof(T);
  start = std::align(alignof(T), count * sizeof(T), start, room);
  std::memcpy(start, values, count * sizeof(T));
  aligned_copies_.push_back(std::move(copy));
  return static_cast<const T*>(start);
}

Result<Timetable, TimetableError> Timetable::build(std::shared_ptr<arrow::RecordBatch> batch, PyObject* expressions) {
  KESTRO_ASSIGN_OR_RETURN(std::vector<const arrow::Array*> columns, checked_columns(*batch));
  const arrow::Array& time = *columns[0];
  const arrow::Array& track = *columns[1];
  const arrow::Array& op = *columns[2];
  const arrow::Array& quantity = *columns[3];
  const arrow::Array& unit = *columns[4];

  Timetable table;
  KESTRO_ASSIGN_OR_RETURN(table.expressions_, read_expressions(expressions));
  KESTRO_ASSIGN_OR_RETURN(table.units_, classify_units(dictionary_of(unit), dictionary_of(track), table.expressions_));
  KESTRO_ASSIGN_OR_RETURN(table.ops_, decode_ops(dictionary_of(op)));

  table.num_rows_ = static_cast<size_t>(batch->num_rows());
  const auto& times = static_cast<const arrow::TimestampArray&>(time);
  const size_t rows = table.num_rows_;
  table.time_ = table.aligned(times.raw_values(), rows);
  table.time_validity_ = times.null_count() == 0 ? nullptr : times.null_bitmap_data();
  table.time_offset_ = times.offset();
  table.quantity_ = table.aligned(static_cast<const arrow::DoubleArray&>(quantity).raw_values(), rows);
  table.track_ = key_column(track, "track");
  table.op_ = key_column(op, "op");
  table.unit_ = key_column(unit, "unit");
  for (KeyColumn* column : {&table.track_, &table.op_, &table.unit_}) column->keys = table.aligned(column->keys, rows);
  table.batch_ = std::move(batch);
  return table;
}

Result<size_t, SpecError> Timetable::key(const KeyColumn& column, size_t row) const {
  const int64_t key = column.keys[row];
  if (key < 0 || key >= column.dictionary_size) {
    return std::unexpected(SpecError::message("Key " + std::to_string(key) + " of column '" + column.name +
                                              "' at event#" + std::to_string(row) + " lies outside its dictionary of " +
                                              std::to_string(column.dictionary_size) + " values"));
  }
  return static_cast<size_t>(key);
}

Result<uint64_t, SpecError> Timetable::track(size_t row) const {
  if (track_.is_null(row)) return std::unexpected(SpecError::message("No track specified at event#" + std::to_string(row)));
  KESTRO_ASSIGN_OR_RETURN(size_t k, key(track_, row));
  return static_cast<uint64_t>(k);
}

Result<const Op*, SpecError> Timetable::op(size_t row) const {
  static const Op kNoOp{};
  if (op_.is_null(row)) return &kNoOp;
  KESTRO_ASSIGN_OR_RETURN(size_t k, key(op_, row));
  return &ops_[k];
}

Result<const Unit*, SpecError> Timetable::unit(size_t row) const {
  if (unit_.is_null(row)) return nullptr;
  KESTRO_ASSIGN_OR_RETURN(size_t k, key(unit_, row));
  return &units_[k];
}

std::string Timetable::describe(size_t row) const {
  auto key_text = [&](const KeyColumn& column) {
    return "<invalid key " + std::to_string(column.keys[row]) + ">";
  };
  std::string track_text = "<none>";
  if (!track_.is_null(row)) {
    auto k = key(track_, row);
    track_text = k ? "Track(" + std::to_string(*k) + ")" : key_text(track_);
  }
  const std::optional<int64_t> t = time(row);
  std::string op_text;
  if (auto o = op(row)) {
    op_text = (*o)->display();
  } else {
    op_text = key_text(op_);
  }
  std::string unit_text = "<none>";
  if (auto u = unit(row); !u) {
    unit_text = key_text(unit_);
  } else if (*u != nullptr) {
    unit_text = (*u)->display();
  }
  // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on one long chain of operator+.
  std::string out = "#";
  out += std::to_string(row);
  out += ": track: ";
  out += track_text;
  out += ", time: ";
  out += t ? format_event_time(*t) : "<none>";
  out += ", op: ";
  out += op_text;
  out += ", qty: ";
  out += format_double(quantity(row));
  out += ", unit: ";
  out += unit_text;
  return out;
}

}  // namespace kestro
