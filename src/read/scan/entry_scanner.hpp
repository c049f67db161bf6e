// The entry scanner, written once for every vector width: the ISA's file
// includes it after switching the compiler to that instruction set (and after
// every header it needs, which must keep the baseline), and supplies the
// classification of a window and the conversion of digit runs.
//
// A line is taken when it has the common shape: "ROW COL VALUE" (or
// "ROW COL" in a pattern file), single spaces, indices of 1 to 10 digits
// within range, and a value [sign] digits [. digits] [e|E [sign] 1-4 digits]
// with at most 16 digits before and after the point and 19 in all, that
// store_decimal can store. Its field boundaries come from the bit masks of a
// 64-byte window at its start, with no loop over its bytes. Any other line
// (blank, a comment, a refusal, tabs, CR, a long field, a value that needs
// strtold, one entry too many) is left to the baseline reader, which gives the
// same values and the same messages; so the scanner stores nothing of a line
// it leaves, except perhaps the value slot that the baseline then writes.
//
// Everything here has internal linkage: each ISA's copy stays in its own
// object file, compiled for its own instruction set, and never stands in for
// another's at link time.
#pragma once

#include <bit>
#include <cstdint>

#include "read/entries.hpp"
#include "read/read_state.hpp"
#include "read/text_fields.hpp"

namespace spmv {
namespace {

// Bit masks of a 64-byte window: bit i describes the window's byte i.
struct WindowMasks {
  std::uint64_t newline = 0;  // '\n'
  std::uint64_t space = 0;    // ' '
  std::uint64_t digit = 0;    // '0' to '9'
};

// Shuffle controls that move the first k bytes of a 16-byte load (k = 0 to
// 16) to its end and zero the bytes before them: a run of k digits becomes a
// 16-digit number with leading zeros.
constexpr auto right_align_controls = [] {
  struct Controls {
    alignas(16) std::int8_t control[17][16];
  } table{};
  for (int k = 0; k <= 16; ++k) {
    for (int j = 0; j < 16; ++j) {
      table.control[k][j] = static_cast<std::int8_t>(j >= 16 - k ? j - (16 - k) : -128);
    }
  }
  return table;
}();

// The value of the index field of `length` (1 to 10) digits at q.
inline std::uint64_t index_value(const char* q, int length) {
  if (length <= 8) return digits_value(load_eight(q), length);
  return digits_value(load_eight(q), length - 8) * small_powers_of_ten[8] +
         digits_value(load_eight(q + length - 8), 8);
}

// Reads the entry lines of the common shape from p on while they start
// before `stop`, into the reader's next slots; gives the start of the first
// line it leaves to the baseline reader, or `stop`.
template <class Isa>
const char* scan_lines(ReadState& state, const char* p, const char* stop) {
  CooMatrix& m = state.matrix;
  const EntryFormat& format = state.format;
  const bool pattern = format.form.field == Field::pattern;
  const bool skew = format.form.symmetry == Symmetry::skew_symmetric;
  const auto row_limit = static_cast<std::uint64_t>(format.row_limit);
  const auto col_limit = static_cast<std::uint64_t>(m.shape.columns);
  const bool fast = state.setting.fast_values;
  while (p < stop && state.run.entries < state.run.entry_limit) {
    const WindowMasks masks = Isa::classify(p);
    if (masks.newline == 0) break;  // a line of 64 bytes or more
    const int length = std::countr_zero(masks.newline);
    std::uint64_t spaces = masks.space & ((std::uint64_t{1} << length) - 1);
    const std::uint64_t digits = masks.digit;  // runs of them end at the newline
    // ROW, one space, COL, and one space before a value.
    const int row_end = std::countr_zero(spaces);
    if (row_end == 0 || row_end > 10 || std::countr_zero(~digits) != row_end) break;
    spaces &= spaces - 1;
    const int col_start = row_end + 1;
    const int col_end = pattern ? length : std::countr_zero(spaces);
    if (!pattern) spaces &= spaces - 1;
    const int col_length = col_end - col_start;
    if (spaces != 0 || col_length < 1 || col_length > 10 ||
        std::countr_zero(~(digits >> col_start)) != col_length) {
      break;
    }
    const std::uint64_t row = index_value(p, row_end);
    const std::uint64_t col = index_value(p + col_start, col_length);
    if (row - 1 >= row_limit || col - 1 >= col_limit || (skew && row == col)) break;
    const auto k = static_cast<std::size_t>(state.run.slot_base + state.run.slots);
    if (pattern) {
      if (!m.unit_values) store_integer(1, false, m.value[k]);
    } else {
      int at = col_end + 1;
      const bool negative = p[at] == '-';
      at += has_sign(p[at]);
      const int whole_start = at;
      const int whole_digits = std::countr_zero(~(digits >> at));
      at += whole_digits;
      const int fraction_start = at + 1;
      int fraction_digits = 0;
      if (p[at] == '.') {
        fraction_digits = std::countr_zero(~(digits >> fraction_start));
        at = fraction_start + fraction_digits;
      }
      std::int64_t exponent = -fraction_digits;
      if ((p[at] | 0x20) == 'e') {
        int e = at + 1;
        const bool negative_exponent = p[e] == '-';
        e += has_sign(p[e]);
        const int exponent_digits = std::countr_zero(~(digits >> e));
        if (exponent_digits == 0 || exponent_digits > 4) break;
        const auto written =
            static_cast<std::int64_t>(digits_value(load_eight(p + e), exponent_digits));
        exponent += negative_exponent ? -written : written;
        at = e + exponent_digits;
      }
      if (at != length || whole_digits == 0 || whole_digits > 16 || fraction_digits > 16 ||
          whole_digits + fraction_digits > max_exact_digits) {
        break;
      }
      std::uint64_t whole = 0;
      std::uint64_t fraction = 0;
      Isa::digit_runs(p + whole_start, whole_digits, p + fraction_start, fraction_digits, whole,
                      fraction);
      const std::uint64_t w = whole * small_powers_of_ten[fraction_digits] + fraction;
      if (!store_decimal(w, exponent, negative, fast, m.value[k])) break;
    }
    place_entry(state, k, static_cast<std::int32_t>(row), static_cast<std::int32_t>(col));
    ++state.line;
    ++state.run.scanned;
    p += length + 1;
  }
  return p;
}

}  // namespace
}  // namespace spmv
