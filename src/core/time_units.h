#pragma once
// Times are signed 64-bit milliseconds since 1970-01-01 UTC; year fractions count 365-day years.

namespace kestro {

/// Milliseconds in a 365-day year.
inline constexpr double kMsPerYear = 3.1536e10;

}  // namespace kestro
