// Random coordinate matrix files, for trying and measuring spmv.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// How the generated values are written.
enum class ValueStyle {
  exp17,       // 17 significant digits in exponent form: -1.2345678901234567e-03
  short_form,  // three decimals: -12.345
  integer,     // whole numbers from -1000 to 999
};

// Reads "exp17", "short" or "int"; false for anything else.
bool parse_value_style(const std::string& name, ValueStyle& style);

// How the generated file is laid out.
struct MatrixLayout {
  bool shuffled = false;       // entries in random order instead of by row
  bool matrix_market = false;  // a Matrix Market banner before the header
};

// Writes a rows x rows matrix with `entries` random entries to `out`: header
// "rows rows entries", then one "row col value" line per entry. The same seed
// gives the same file. False on a write error.
bool write_random_matrix(std::FILE* out, std::int32_t rows, std::int32_t entries, ValueStyle style,
                         MatrixLayout layout, std::uint64_t seed);
