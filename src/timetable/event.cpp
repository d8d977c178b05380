#include "timetable/event.h"

#include <cstdio>

namespace kestro {

namespace {

constexpr int64_t kMsPerDay = 86'400'000;
constexpr int64_t kMinYear = -262'143;
constexpr int64_t kMaxYear = 262'142;

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

struct CivilDate {
  int64_t year;
  unsigned month;
  unsigned day;
};

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant, "chrono-Compatible
// Low-Level Date Algorithms", civil_from_days).
CivilDate civil_from_days(int64_t z) {
  z += 719468;
  const int64_t era = floor_div(z, 146097);
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned day = doy - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = static_cast<int64_t>(yoe) + era * 400 + (month <= 2);
  return {year, month, day};
}

}  // namespace

std::string_view Op::display() const {
  switch (kind) {
    case Kind::Add: return "+";
    case Kind::Max: return ">";
    case Kind::Min: return "<";
    case Kind::NoOp: return "";
    case Kind::Named: return name;
  }
  return "";
}

Op decode_op(std::optional<std::string_view> value) {
  if (!value) return Op{Op::Kind::NoOp, {}};
  if (*value == "+") return Op{Op::Kind::Add, {}};
  if (*value == ">") return Op{Op::Kind::Max, {}};
  if (*value == "<") return Op{Op::Kind::Min, {}};
  return Op{Op::Kind::Named, std::string(*value)};
}

bool in_calendar_range(int64_t ms) {
  const int64_t year = civil_from_days(floor_div(ms, kMsPerDay)).year;
  return year >= kMinYear && year <= kMaxYear;
}

std::string format_event_time(int64_t ms) {
  const int64_t days = floor_div(ms, kMsPerDay);
  int64_t ms_of_day = ms % kMsPerDay;  // not ms - days·kMsPerDay, which overflows near the minimum
  if (ms_of_day < 0) ms_of_day += kMsPerDay;
  const CivilDate date = civil_from_days(days);
  if (date.year < kMinYear || date.year > kMaxYear) return "None";

  char year[16];
  if (date.year >= 0 && date.year <= 9999) {
    std::snprintf(year, sizeof year, "%04lld", static_cast<long long>(date.year));
  } else {
    std::snprintf(year, sizeof year, "%+05lld", static_cast<long long>(date.year));
  }
  const int64_t seconds = ms_of_day / 1000;
  const int64_t millis = ms_of_day % 1000;
  char text[64];
  int n = std::snprintf(text, sizeof text, "Single(%s-%02u-%02uT%02lld:%02lld:%02lld", year, date.month, date.day,
                        static_cast<long long>(seconds / 3600), static_cast<long long>(seconds / 60 % 60),
                        static_cast<long long>(seconds % 60));
  if (millis != 0) n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), ".%03lld", static_cast<long long>(millis));
  std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "Z)");
  return text;
}

}  // namespace kestro
