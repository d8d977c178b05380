#pragma once
// One event's op, decoded once per op dictionary value, and the text pieces of a row
// description.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestro {

struct Op {
  enum class Kind { Add, Max, Min, NoOp, Named };
  Kind kind = Kind::NoOp;
  std::string name;  // Named: the op's text (may be empty)

  /// "+", ">", "<", "" for NoOp, the text itself for Named.
  std::string_view display() const;
};

/// "+", ">" and "<" (exactly one byte) are Add, Max and Min; null is NoOp; any other string,
/// the empty one included, is Named.
Op decode_op(std::optional<std::string_view> value);

/// Whether `ms` falls in the proleptic Gregorian years -262143 to 262142, the calendar range
/// that times are written in.
bool in_calendar_range(int64_t ms);

/// An event time as "Single(2024-01-01T00:00:00Z)" (".mmm" before the Z when the milliseconds
/// are not zero); "None" when its year lies outside -262143 to 262142.
std::string format_event_time(int64_t ms);

}  // namespace kestro
