// The time of a fact as a time column writes it: an integer, a decimal
// number, or an ISO 8601 date or date-time (seconds since
// 1970-01-01T00:00:00Z).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vantrel {

// A time read: a whole number of int64 (an integer, or a date's seconds),
// or a float64 (a decimal number).
struct TimeValue {
  std::int64_t whole = 0;
  double real = 0.0;
  bool is_whole = true;

  double as_real() const { return is_whole ? static_cast<double>(whole) : real; }
};

// The time `text` writes, or none where it writes none:
// - an integer: an optional sign and digits, within int64;
// - a decimal number: an optional sign, digits with a point or an exponent
//   (1.5, -2e3, .5), finite;
// - a date, YYYY-MM-DD, taken at midnight UTC, or a date-time,
//   YYYY-MM-DDTHH:MM[:SS] with an optional Z or offset (+HH:MM, -HH:MM):
//   seconds since 1970-01-01T00:00:00Z, years 0000 to 9999.
std::optional<TimeValue> parse_time(std::string_view text);

}  // namespace vantrel
