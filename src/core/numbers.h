#pragma once

#include <string>

namespace kestro {

/// The shortest decimal that reads back to `value`, never in exponent notation: its digits are
/// padded with zeros to their place, and integral values have no decimal point ("2", "0.1",
/// "1000000000000000000000", "0.00000015", "-0", "NaN", "inf"; 1e100 is "1" and 100 zeros).
std::string format_double(double value);

}  // namespace kestro
