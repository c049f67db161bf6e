// Reading the fields of one text line: white space, 32-bit integers and
// Extended values. Every scan stops at a newline, so a line that ends in one
// can be parsed in place, inside a larger buffer. Digits are read eight at a
// time, a line's start sixteen and, by the vector scanners, a whole window of
// 64 bytes, so the text must stay readable for field_padding_bytes after the
// newline.
#pragma once

#include <emmintrin.h>

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

#include "base/run_types.hpp"

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

// Bytes after the newline that ends a line which the field readers may load
// (and ignore): a buffer of text for them holds this many more. A scanner's
// window of 64 bytes from a line's last byte, and a 16-byte load of digits
// from the window's end, reach 79 bytes past it.
inline constexpr std::size_t field_padding_bytes = 128;

// Loads the eight bytes at p.
inline std::uint64_t load_eight(const char* p) {
  std::uint64_t bytes;
  std::memcpy(&bytes, p, sizeof bytes);
  return bytes;
}

// 10^k for k = 0..19, every power of ten below 2^64, for joining runs of digits.
inline constexpr auto small_powers_of_ten = [] {
  std::array<std::uint64_t, 20> power{};
  power[0] = 1;
  for (std::size_t k = 1; k < power.size(); ++k) power[k] = power[k - 1] * 10;
  return power;
}();

// The number of decimal digits at the start of the eight bytes `bytes` (the
// first character in the lowest byte). A byte is a digit when its high
// nibble is 3 and adding 6 to it leaves the high nibble 3; a carry out of a
// byte that is not a digit can only disturb the bytes after it.
inline int leading_digits(std::uint64_t bytes) {
  constexpr std::uint64_t high_nibbles = 0xf0f0f0f0f0f0f0f0;
  constexpr std::uint64_t threes = 0x3030303030303030;
  const std::uint64_t not_digit =
      ((bytes & high_nibbles) ^ threes) | (((bytes + 0x0606060606060606) & high_nibbles) ^ threes);
  return not_digit == 0 ? 8 : std::countr_zero(not_digit) / 8;
}

// The value of the first `count` (1 to 8) digits of `bytes`: the digits are
// moved to the top, behind zeros, and joined pairwise in three multiplies.
inline std::uint64_t digits_value(std::uint64_t bytes, int count) {
  std::uint64_t value = (bytes - 0x3030303030303030) << (8 * (8 - count));
  value = (value * 10) + (value >> 8);  // pairs of digits in every other byte
  value = (((value & 0x000000ff000000ff) * 0x000f424000000064) +
           (((value >> 16) & 0x000000ff000000ff) * 0x0000271000000001)) >>
          32;
  return value;
}

// Reads the run of decimal digits at q, eight at a time, into w (which wraps
// past 19 digits; the caller then counts too many digits to trust it), and
// gives where the run ends.
inline const char* read_digit_run(const char* q, std::uint64_t& w) {
  for (;;) {
    const std::uint64_t bytes = load_eight(q);
    const int count = leading_digits(bytes);
    if (count == 0) return q;
    w = w * small_powers_of_ten[count] + digits_value(bytes, count);
    q += count;
    if (count < 8) return q;
  }
}

// The common start of an entry line, "ROW COL " with indices of 1 to 8
// digits, each followed by a space: the field boundaries come from one
// 16-byte load and the values from two 8-byte loads, with no loop. Gives the
// length of "ROW COL" (p + that is the space after the column), or 0 when the
// line has another shape and must be read field by field.
inline int read_index_pair(const char* p, std::int32_t& row, std::int32_t& col) {
  const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i is_digit_byte = _mm_and_si128(_mm_cmpgt_epi8(text, _mm_set1_epi8('0' - 1)),
                                              _mm_cmplt_epi8(text, _mm_set1_epi8('9' + 1)));
  const auto digits = static_cast<unsigned>(_mm_movemask_epi8(is_digit_byte));
  const auto spaces =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(text, _mm_set1_epi8(' '))));
  const int row_length = std::countr_zero(~digits);
  if (row_length == 0 || row_length > 8 || ((spaces >> row_length) & 1) == 0) return 0;
  const int col_start = row_length + 1;
  const int col_length = std::countr_zero(~(digits >> col_start));
  if (col_length == 0 || col_length > 8 || ((spaces >> (col_start + col_length)) & 1) == 0)
    return 0;
  row = static_cast<std::int32_t>(digits_value(load_eight(p), row_length));
  col = static_cast<std::int32_t>(digits_value(load_eight(p + col_start), col_length));
  return col_start + col_length;
}

// 1 when c is a sign, else 0: for stepping over an optional sign without a
// branch, since signs fall at random in a matrix file.
inline int has_sign(char c) {
  return static_cast<int>(c == '-') | static_cast<int>(c == '+');
}

// Most significant digits of an int32 (2147483648 has ten).
inline constexpr std::ptrdiff_t max_int32_digits = 10;

// Most significant digits of a 64-bit integer: 2^63 has 19.
inline constexpr std::ptrdiff_t max_int64_digits = 19;

// Most significant digits of a value that the fast path takes: 10^19 < 2^64,
// so they are exact in one 64-bit integer.
inline constexpr std::int64_t max_exact_digits = 19;

enum class IntStatus { ok, not_integer, out_of_range };

// Converts an optionally signed decimal integer of at most max_digits
// significant digits and at most `limit` in magnitude (one more when
// negative) that ends at a blank or the end of the line, into `out`, and
// moves p past it.
inline IntStatus parse_integer(const char*& p, std::ptrdiff_t max_digits, std::uint64_t limit,
                               std::int64_t& out) {
  const char* q = p;
  const bool negative = (*q == '-');
  q += has_sign(*q);
  const char* digits = q;
  while (*q == '0') ++q;  // leading zeros do not count towards the length
  const char* significant = q;
  std::uint64_t magnitude = 0;
  q = read_digit_run(q, magnitude);
  if (q == digits || !ends_field(*q)) return IntStatus::not_integer;
  if (q - significant > max_digits || magnitude > limit + (negative ? 1 : 0)) {
    return IntStatus::out_of_range;
  }
  out = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
  p = q;
  return IntStatus::ok;
}

// parse_integer for the 32-bit range.
inline IntStatus parse_int32(const char*& p, std::int32_t& out) {
  std::int64_t wide = 0;
  const IntStatus status = parse_integer(p, max_int32_digits, INT32_MAX, wide);
  if (status == IntStatus::ok) out = static_cast<std::int32_t>(wide);
  return status;
}

// parse_integer for the 64-bit range.
inline IntStatus parse_int64(const char*& p, std::int64_t& out) {
  return parse_integer(p, max_int64_digits, INT64_MAX, out);
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

static_assert(std::numeric_limits<Extended>::digits == 64 && sizeof(Extended) >= 10,
              "Extended is the x87 80-bit format");

// Stores w, an integer below 2^64, as the Extended that it is exactly: the
// significand shifted up to its explicit leading bit, then the sign and the
// biased exponent. Integer stores, where loading w into the x87 unit and
// storing 80 bits from it costs several times more.
inline void store_integer(std::uint64_t w, bool negative, Extended& out) {
  constexpr int exponent_bias = 16383;
  const int shift = w == 0 ? 0 : std::countl_zero(w);
  const std::uint64_t significand = w << shift;
  const auto sign_and_exponent = static_cast<std::uint16_t>(
      (negative ? 0x8000 : 0) | (w == 0 ? 0 : exponent_bias + 63 - shift));
  auto* const bytes = reinterpret_cast<unsigned char*>(&out);
  std::memcpy(bytes, &significand, sizeof significand);
  std::memcpy(bytes + sizeof significand, &sign_and_exponent, sizeof sign_and_exponent);
}

// Stores the value -w or w times 10^exponent, where w < 10^19 came from at
// most 19 significant digits, exactly as strtold rounds it, and gives true;
// false, leaving `out` alone, when only strtold can: an exponent beyond 27, or
// any exponent but 0 without `fast`. An integer is stored exactly. Otherwise
// w * 10^q or w / 10^-q is computed: both operands are exact, so the one
// rounding of that operation is the correct rounding that strtold delivers.
[[gnu::always_inline]] inline bool store_decimal(std::uint64_t w, std::int64_t exponent,
                                                 bool negative, bool fast, Extended& out) {
  if (exponent == 0) {
    store_integer(w, negative, out);
    return true;
  }
  if (!fast || exponent > max_exact_power || exponent < -max_exact_power) return false;
  // w < 10^19 < 2^64, so the conversion to Extended is exact.
  // The sign goes into the integer before the conversion, which is exact
  // either way, instead of a negation that would branch on a random sign.
  // From 1 to 2^63 - 1 (nearly always) w converts from a signed integer
  // directly; a zero keeps its sign only as an Extended.
  Extended signed_w;
  if (w - 1 < (std::uint64_t{1} << 63) - 1) {
    const auto sign_mask = -static_cast<std::int64_t>(negative);
    signed_w = static_cast<Extended>((static_cast<std::int64_t>(w) ^ sign_mask) - sign_mask);
  } else {
    signed_w = negative ? -static_cast<Extended>(w) : static_cast<Extended>(w);
  }
  out = exponent >= 0 ? signed_w * exact_powers_of_ten.power[exponent]
                      : signed_w / exact_powers_of_ten.power[-exponent];
  return true;
}

// Converts the value field at p to exactly the bits strtold gives, and moves p
// past it; false when the field is not a number from its first to its last
// character. A decimal of at most 19 significant digits goes to store_decimal
// (with `fast`, see fast_values_exact); everything else, and what
// store_decimal leaves, goes to strtold. `out` may be the slot itself: it is
// written once, at the end.
[[gnu::always_inline]] inline bool convert_value(const char*& p, Extended& out, bool fast) {
  const char* q = p;
  const bool negative = (*q == '-');
  q += has_sign(*q);
  // w gathers the significant digits; past 19 of them it wraps, but then the
  // value goes to strtold anyway.
  std::uint64_t w = 0;
  const char* integer_start = q;
  while (*q == '0') ++q;  // leading zeros are not significant
  const char* significant_start = q;
  q = read_digit_run(q, w);
  std::int64_t significant = q - significant_start;
  std::int64_t exponent = 0;  // decimal exponent of w's last digit
  const char* integer_end = q;
  if (*q == '.') {
    const char* fraction_start = ++q;
    if (significant == 0) {
      while (*q == '0') ++q;
    }
    const char* fraction_significant = q;
    q = read_digit_run(q, w);
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
    std::uint64_t written = 0;
    const char* exponent_digits = e;
    e = read_digit_run(e, written);
    if (e == exponent_digits || e - exponent_digits > max_exponent_digits) {
      return convert_value_slowly(p, out);
    }
    const auto exponent_value = static_cast<std::int64_t>(written);
    exponent += negative_exponent ? -exponent_value : exponent_value;
    q = e;
  }
  if (!has_digits || !ends_field(*q) || significant > max_exact_digits ||
      !store_decimal(w, exponent, negative, fast, out)) {
    return convert_value_slowly(p, out);
  }
  p = q;
  return true;
}

}  // namespace spmv
