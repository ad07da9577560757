#include "read/time_text.hpp"

#include <charconv>
#include <cmath>

namespace vantrel {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The number of `count` digits at `at` of `text`, or -1.
int digits_at(std::string_view text, std::size_t at, std::size_t count) {
  if (at + count > text.size()) return -1;
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (!is_digit(text[i])) return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar
// (Howard Hinnant's days_from_civil).
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

unsigned days_in_month(int year, int month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// A date or date-time, as seconds since the epoch.
std::optional<TimeValue> parse_date(std::string_view text) {
  const int year = digits_at(text, 0, 4);
  const int month = digits_at(text, 5, 2);
  const int day = digits_at(text, 8, 2);
  if (year < 0 || month < 1 || month > 12 || day < 1 || text[4] != '-' || text[7] != '-' ||
      static_cast<unsigned>(day) > days_in_month(year, month)) {
    return std::nullopt;
  }
  std::int64_t seconds = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400;
  if (text.size() == 10) return TimeValue{seconds, 0.0, true};
  if (text[10] != 'T') return std::nullopt;
  const int hour = digits_at(text, 11, 2);
  const int minute = digits_at(text, 14, 2);
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || text.size() < 16 || text[13] != ':') return std::nullopt;
  std::size_t at = 16;
  int second = 0;
  if (at < text.size() && text[at] == ':') {
    second = digits_at(text, at + 1, 2);
    if (second < 0 || second > 59) return std::nullopt;
    at += 3;
  }
  seconds += hour * 3600 + minute * 60 + second;
  if (at == text.size()) return TimeValue{seconds, 0.0, true};
  if (text[at] == 'Z' && at + 1 == text.size()) return TimeValue{seconds, 0.0, true};
  if ((text[at] == '+' || text[at] == '-') && at + 6 == text.size() && text[at + 3] == ':') {
    const int offset_hours = digits_at(text, at + 1, 2);
    const int offset_minutes = digits_at(text, at + 4, 2);
    if (offset_hours < 0 || offset_hours > 23 || offset_minutes < 0 || offset_minutes > 59) return std::nullopt;
    // Local time at an offset east of UTC is that much ahead of it.
    const std::int64_t offset = offset_hours * 3600 + offset_minutes * 60;
    return TimeValue{text[at] == '+' ? seconds - offset : seconds + offset, 0.0, true};
  }
  return std::nullopt;
}

}  // namespace

std::optional<TimeValue> parse_time(std::string_view text) {
  if (text.empty()) return std::nullopt;
  // Most times are short whole numbers, read here digit by digit: eighteen
  // digits cannot overflow an int64.
  if (text.size() <= 18) {
    const bool negative = text[0] == '-';
    std::size_t at = negative || text[0] == '+' ? 1 : 0;
    if (at < text.size()) {
      std::int64_t whole = 0;
      while (at < text.size() && is_digit(text[at])) whole = whole * 10 + (text[at++] - '0');
      if (at == text.size()) return TimeValue{negative ? -whole : whole, 0.0, true};
    }
  }
  if (text.size() >= 10 && is_digit(text[0]) && text[4] == '-') return parse_date(text);
  const std::size_t sign = text[0] == '+' || text[0] == '-' ? 1 : 0;
  const std::string_view unsigned_text = text.substr(sign);
  if (unsigned_text.empty()) return std::nullopt;
  bool all_digits = true;
  for (const char c : unsigned_text) all_digits = all_digits && is_digit(c);
  if (all_digits) {
    // from_chars takes a '-' but no '+'.
    const std::string_view signed_text = text[0] == '+' ? unsigned_text : text;
    std::int64_t whole = 0;
    const auto [end, error] = std::from_chars(signed_text.data(), signed_text.data() + signed_text.size(), whole);
    if (error != std::errc() || end != signed_text.data() + signed_text.size()) return std::nullopt;
    return TimeValue{whole, 0.0, true};
  }
  // A decimal number: digits, at most one point, at least one digit, then
  // an optional exponent; no "inf", "nan" or hexadecimal.
  std::size_t at = 0;
  std::size_t digits = 0;
  while (at < unsigned_text.size() && is_digit(unsigned_text[at])) ++at, ++digits;
  if (at < unsigned_text.size() && unsigned_text[at] == '.') {
    ++at;
    while (at < unsigned_text.size() && is_digit(unsigned_text[at])) ++at, ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (at < unsigned_text.size() && (unsigned_text[at] == 'e' || unsigned_text[at] == 'E')) {
    ++at;
    if (at < unsigned_text.size() && (unsigned_text[at] == '+' || unsigned_text[at] == '-')) ++at;
    const std::size_t exponent_start = at;
    while (at < unsigned_text.size() && is_digit(unsigned_text[at])) ++at;
    if (at == exponent_start) return std::nullopt;
  }
  if (at != unsigned_text.size()) return std::nullopt;
  double real = 0.0;
  const std::string_view signed_text = text[0] == '+' ? unsigned_text : text;
  const auto [end, error] = std::from_chars(signed_text.data(), signed_text.data() + signed_text.size(), real);
  if (error != std::errc() || end != signed_text.data() + signed_text.size() || !std::isfinite(real)) {
    return std::nullopt;
  }
  return TimeValue{0, real, false};
}

}  // namespace vantrel
