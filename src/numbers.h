#pragma once

#include <string>

namespace kestro {

/// The shortest decimal that reads back to `value`, never in exponent notation; integral
/// values have no decimal point ("2", "0.1", "1000000000000000000000", "-0", "NaN", "inf").
std::string format_double(double value);

}  // namespace kestro
