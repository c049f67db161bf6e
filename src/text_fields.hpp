// Reading the fields of one text line: white space, 32-bit integers and
// Extended values. Every scan stops at a newline, so a line that ends in one
// can be parsed in place, inside a larger buffer.
#pragma once

#include <cstdint>

#include "run_types.hpp"

namespace spmv {

// White space inside a line; the newline itself ends the line.
inline bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

inline bool is_digit(char c) {
  return static_cast<unsigned char>(c - '0') < 10;
}

// True where a field may end: white space or the end of the line.
inline bool ends_field(char c) {
  return is_blank(c) || c == '\n';
}

inline const char* skip_blanks(const char* p) {
  while (is_blank(*p)) ++p;
  return p;
}

enum class IntStatus { ok, not_integer, out_of_range };

// Converts an optionally signed decimal integer that ends at a blank or the
// end of the line, and moves p past it.
inline IntStatus parse_int32(const char*& p, std::int32_t& out) {
  const char* q = p;
  const bool negative = (*q == '-');
  if (*q == '+' || *q == '-') ++q;
  const char* digits = q;
  while (*q == '0') ++q;  // leading zeros do not count towards the length
  const char* significant = q;
  std::uint64_t magnitude = 0;
  for (; is_digit(*q); ++q) magnitude = magnitude * 10 + static_cast<unsigned>(*q - '0');
  if (q == digits || !ends_field(*q)) return IntStatus::not_integer;
  const std::uint64_t limit = (std::uint64_t{1} << 31) - (negative ? 0 : 1);
  if (q - significant > 10 || magnitude > limit) return IntStatus::out_of_range;
  out = static_cast<std::int32_t>(negative ? -static_cast<std::int64_t>(magnitude)
                                           : static_cast<std::int64_t>(magnitude));
  p = q;
  return IntStatus::ok;
}

// True when the x87 unit rounds to nearest with a 64-bit significand: then
// one multiply or divide of two exact values rounds the way strtold does.
bool fast_values_exact();

// Converts the field at p with strtold and moves p past it; false when the
// field is not a number from its first to its last character.
bool convert_value_slowly(const char*& p, Extended& out);

// Longest decimal exponent that the fast path reads itself; longer ones
// (leading zeros included) go to strtold. 18 digits cannot overflow int64.
inline constexpr int max_exponent_digits = 18;

// 10^k for k = 0..27, each exact in the 64-bit significand (5^27 < 2^63).
inline constexpr int max_exact_power = 27;
inline constexpr auto exact_powers_of_ten = [] {
  struct Table {
    Extended power[max_exact_power + 1];
  } table{};
  Extended p = 1;
  for (int k = 0; k <= max_exact_power; ++k, p *= 10) table.power[k] = p;
  return table;
}();

// Converts the value field at p to exactly the bits strtold gives, and moves p
// past it; false when the field is not a number from its first to its last
// character. With `fast` (see fast_values_exact), a decimal of at most 19
// significant digits w and a decimal exponent q with |q| <= 27 is computed as
// w * 10^q or w / 10^-q: both operands are exact, so the one rounding of that
// operation is the correct rounding that strtold also delivers. Everything
// else goes to strtold.
inline bool convert_value(const char*& p, Extended& out, bool fast) {
  const char* q = p;
  const bool negative = (*q == '-');
  if (*q == '+' || *q == '-') ++q;
  // w gathers the significant digits; past 19 of them it wraps, but then the
  // value goes to strtold anyway.
  std::uint64_t w = 0;
  const char* integer_start = q;
  while (*q == '0') ++q;  // leading zeros are not significant
  const char* significant_start = q;
  for (; is_digit(*q); ++q) w = w * 10 + static_cast<unsigned>(*q - '0');
  std::int64_t significant = q - significant_start;
  std::int64_t exponent = 0;  // decimal exponent of w's last digit
  const char* integer_end = q;
  if (*q == '.') {
    const char* fraction_start = ++q;
    if (significant == 0) {
      while (*q == '0') ++q;
    }
    const char* fraction_significant = q;
    for (; is_digit(*q); ++q) w = w * 10 + static_cast<unsigned>(*q - '0');
    significant += q - fraction_significant;
    exponent = -(q - fraction_start);
  }
  const char* digits = integer_start;
  const bool has_digits = (integer_end != digits) || (q - integer_end > 1);
  if (has_digits && (*q == 'e' || *q == 'E')) {
    const char* e = q + 1;
    const bool negative_exponent = (*e == '-');
    if (*e == '+' || *e == '-') ++e;
    // An exponent of more than max_exponent_digits digits is left to strtold:
    // saturating it instead could cancel against a long run of fraction
    // digits and give a plausible but wrong value.
    std::int64_t written = 0;
    const char* exponent_digits = e;
    for (; is_digit(*e); ++e) written = written * 10 + (*e - '0');
    if (e == exponent_digits || e - exponent_digits > max_exponent_digits) {
      return convert_value_slowly(p, out);
    }
    exponent += negative_exponent ? -written : written;
    q = e;
  }
  if (!fast || !has_digits || !ends_field(*q) || significant > 19 || exponent > max_exact_power ||
      exponent < -max_exact_power) {
    return convert_value_slowly(p, out);
  }
  // w < 10^19 < 2^64, so the conversion to Extended is exact.
  const Extended magnitude = exponent >= 0
                                 ? static_cast<Extended>(w) * exact_powers_of_ten.power[exponent]
                                 : static_cast<Extended>(w) / exact_powers_of_ten.power[-exponent];
  out = negative ? -magnitude : magnitude;
  p = q;
  return true;
}

}  // namespace spmv
