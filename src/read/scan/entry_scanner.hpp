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

#include <algorithm>
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

// Shuffle controls for a vector whose two halves hold the first 8 bytes at
// the row and the first 8 at the column: they move the row's r digits to the
// end of the first half and the column's c digits to the end of the second
// (r, c = 1 to 8), behind zeros, so that each half is an 8-digit number.
constexpr auto index_pair_controls = [] {
  struct Controls {
    alignas(16) std::int8_t control[9][9][16];
  } table{};
  for (int r = 0; r <= 8; ++r) {
    for (int c = 0; c <= 8; ++c) {
      for (int j = 0; j < 8; ++j) {
        table.control[r][c][j] = static_cast<std::int8_t>(j >= 8 - r ? j - (8 - r) : -128);
        table.control[r][c][8 + j] = static_cast<std::int8_t>(j >= 8 - c ? 8 + j - (8 - c) : -128);
      }
    }
  }
  return table;
}();

// The value of the run of digits at q (at most 19 of them).
inline std::uint64_t run_value(const char* q) {
  std::uint64_t value = 0;
  read_digit_run(q, value);
  return value;
}

// The digit runs of one entry line, as Isa::convert takes them.
struct LineDigits {
  const char* row = nullptr;  // the row's digits
  int row_digits = 0;         // 1 to 8
  const char* col = nullptr;  // the column's digits
  int col_digits = 0;         // 1 to 8
  const char* run = nullptr;  // the value's run of up to 16 digits: its fraction, or its
                              // integer part where it has no fraction
  int run_digits = 0;         // 0 to 16
};

// The values of those runs.
struct LineValues {
  std::uint64_t row = 0;
  std::uint64_t col = 0;
  std::uint64_t run = 0;
};

// The values from the two 64-bit lanes of a conversion: the row and the
// column in the 32-bit halves of `indices`, the run's leading and trailing 8
// digits in those of `groups`.
inline LineValues line_values(std::uint64_t indices, std::uint64_t groups) {
  return {indices & 0xffffffff, indices >> 32,
          (groups & 0xffffffff) * small_powers_of_ten[8] + (groups >> 32)};
}

// What a scanner carries from line to line, held in locals; the counts are
// written back to the reader when it stops.
struct ScanCounts {
  SlotRun run;            // the reader's slots
  std::int64_t line = 0;  // the reader's line number
};

// What a scanner knows of the file and the arrays, fixed while it runs.
struct ScanTarget {
  EntryArrays arrays;       // where entries go; no values for a matrix of unit values
  std::uint64_t row_limit;  // rows run from 1 to this
  std::uint64_t col_limit;  // columns run from 1 to this
  bool fast_values;         // store_decimal may compute with the x87 unit
};

// Reads the entry line at q of `length` bytes before its newline, whose
// spaces and digits are the low bits of `spaces` and `digits` (bit i for
// q[i]), into the next slot; false, storing nothing but perhaps the value
// slot, when it has another shape or the baseline must refuse it.
template <class Isa, bool pattern>
[[gnu::always_inline]] inline bool scan_line(const char* q, int length, std::uint64_t spaces,
                                             std::uint64_t digits, const ScanTarget& target,
                                             ScanCounts& counts) {
  spaces &= (std::uint64_t{1} << length) - 1;
  // ROW, one space, COL, and one space before a value.
  const int row_end = std::countr_zero(spaces);
  if (row_end == 0 || row_end > 10 || std::countr_zero(~digits) != row_end) return false;
  spaces &= spaces - 1;
  const int col_start = row_end + 1;
  const int col_end = pattern ? length : std::countr_zero(spaces);
  if (!pattern) spaces &= spaces - 1;
  const int col_length = col_end - col_start;
  if (spaces != 0 || col_length < 1 || col_length > 10 ||
      std::countr_zero(~(digits >> col_start)) != col_length) {
    return false;
  }
  LineDigits runs{q, std::min(row_end, 8), q + col_start, std::min(col_length, 8), q, 0};
  // The value's fields: [sign] whole [. fraction] [e [sign] exponent].
  bool negative = false;
  int whole_start = 0;
  int whole_digits = 0;
  int fraction_digits = 0;
  bool has_fraction = false;
  std::int64_t exponent = 0;
  if (!pattern) {
    int at = col_end + 1;
    negative = q[at] == '-';
    at += has_sign(q[at]);
    whole_start = at;
    whole_digits = std::countr_zero(~(digits >> at));
    at += whole_digits;
    const int fraction_start = at + 1;
    has_fraction = q[at] == '.';
    if (has_fraction) {
      fraction_digits = std::countr_zero(~(digits >> fraction_start));
      at = fraction_start + fraction_digits;
    }
    exponent = -fraction_digits;
    if ((q[at] | 0x20) == 'e') {
      int e = at + 1;
      const bool negative_exponent = q[e] == '-';
      e += has_sign(q[e]);
      const int exponent_digits = std::countr_zero(~(digits >> e));
      if (exponent_digits == 0 || exponent_digits > 4) return false;
      const auto written =
          static_cast<std::int64_t>(digits_value(load_eight(q + e), exponent_digits));
      exponent += negative_exponent ? -written : written;
      at = e + exponent_digits;
    }
    // The run in the vector is the fraction, or the integer part of a
    // value without one; an integer part beside a fraction is read apart.
    if (at != length || whole_digits == 0 || fraction_digits > 16 ||
        whole_digits > (has_fraction ? 8 : 16) ||
        whole_digits + fraction_digits > max_exact_digits) {
      return false;
    }
    runs.run = q + (has_fraction ? fraction_start : whole_start);
    runs.run_digits = has_fraction ? fraction_digits : whole_digits;
  }
  const LineValues values = Isa::convert(runs);
  std::uint64_t row = values.row;
  std::uint64_t col = values.col;
  if (row_end > 8) row = run_value(q);
  if (col_length > 8) col = run_value(q + col_start);
  if (row - 1 >= target.row_limit || col - 1 >= target.col_limit ||
      (target.arrays.symmetry == Symmetry::skew_symmetric && row == col)) {
    return false;
  }
  const auto k = static_cast<std::size_t>(counts.run.slot_base + counts.run.slots);
  if (pattern) {
    if (target.arrays.values != nullptr) store_integer(1, false, target.arrays.values[k]);
  } else {
    std::uint64_t w = values.run;
    if (has_fraction) {
      const std::uint64_t whole = whole_digits == 1
                                      ? static_cast<std::uint64_t>(q[whole_start] - '0')
                                      : digits_value(load_eight(q + whole_start), whole_digits);
      w += whole * small_powers_of_ten[fraction_digits];
    }
    if (!store_decimal(w, exponent, negative, target.fast_values, target.arrays.values[k])) {
      return false;
    }
  }
  place_entry(target.arrays, counts.run, k, static_cast<std::int32_t>(row),
              static_cast<std::int32_t>(col));
  ++counts.line;
  ++counts.run.scanned;
  return true;
}

// Reads the entry lines of the common shape from p on while they start
// before `stop`, into the reader's next slots; gives the start of the first
// line it leaves to the baseline reader, or `stop`. The masks of a window
// serve every line that ends inside it.
template <class Isa, bool pattern>
const char* scan_lines(const ScanTarget& target, ScanCounts& counts, const char* p,
                       const char* stop) {
  bool going = true;
  while (going && p < stop) {
    const WindowMasks window = Isa::classify(p);
    int at = 0;  // where the next line starts in the window
    for (;;) {
      const std::uint64_t newlines = at < 64 ? window.newline >> at : 0;
      if (newlines == 0) {
        going = at > 0;  // a line of 64 bytes or more is the baseline's
        break;
      }
      const int length = std::countr_zero(newlines);
      if (p + at >= stop || counts.run.entries >= counts.run.entry_limit ||
          !scan_line<Isa, pattern>(p + at, length, window.space >> at, window.digit >> at, target,
                                   counts)) {
        going = false;
        break;
      }
      at += length + 1;
    }
    p += at;
  }
  return p;
}

// scan_lines for the reader `state`, of a pattern file or not.
template <class Isa>
const char* scan_lines(ReadState& state, const char* p, const char* stop) {
  CooMatrix& m = state.matrix;
  const bool pattern = state.format.form.field == Field::pattern;
  const ScanTarget target{EntryArrays(m, state.format.form.symmetry),
                          static_cast<std::uint64_t>(state.format.row_limit),
                          static_cast<std::uint64_t>(m.shape.columns), state.setting.fast_values};
  ScanCounts counts{state.run, state.line};
  p = pattern ? scan_lines<Isa, true>(target, counts, p, stop)
              : scan_lines<Isa, false>(target, counts, p, stop);
  state.run = counts.run;
  state.line = counts.line;
  return p;
}

}  // namespace
}  // namespace spmv
