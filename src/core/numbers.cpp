#include "core/numbers.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace kestro {

std::string format_double(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // The shortest digits that read back to `value`, and the power of ten of the first one, come
  // from the scientific form ("-1.7976931348623157e+308"); they are laid out positionally. Fixed
  // notation is no shortcut: above 2^53 it spells out the binary value's every digit.
  char buffer[32];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  if (ec != std::errc()) return "NaN";  // unreachable: the longest form has 24 characters
  std::string_view text(buffer, static_cast<size_t>(end - buffer));

  std::string out;
  if (text.front() == '-') {
    out += '-';
    text.remove_prefix(1);
  }
  const size_t e = text.find('e');
  std::string digits;
  for (const char c : text.substr(0, e)) {
    if (c != '.') digits += c;
  }
  // The exponent has a sign ("e+308", "e-05"), which from_chars reads only when it is '-'.
  std::string_view exponent_text = text.substr(e + 1);
  if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
  int exponent = 0;
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  // Digits before the decimal point; zero or fewer when the value is below 1.
  const int whole = exponent + 1;
  const int count = static_cast<int>(digits.size());
  if (whole >= count) {
    out += digits;
    out.append(static_cast<size_t>(whole - count), '0');
  } else if (whole > 0) {
    out.append(digits, 0, static_cast<size_t>(whole));
    out += '.';
    out.append(digits, static_cast<size_t>(whole));
  } else {
    out += "0.";
    out.append(static_cast<size_t>(-whole), '0');
    out += digits;
  }
  return out;
}

}  // namespace kestro
