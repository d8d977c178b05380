#include "numbers.h"

#include <charconv>
#include <cmath>

namespace kestro {

std::string format_double(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // Fixed notation without a precision is the shortest form that round-trips; the longest
  // case (the smallest subnormal) needs 327 characters.
  char buffer[400];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  if (ec != std::errc()) return "NaN";  // unreachable: the buffer fits every double
  return std::string(buffer, end);
}

}  // namespace kestro
