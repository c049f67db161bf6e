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

// Writes a rows x rows matrix with `entries` random entries to `out`: header
// "rows rows entries", then one "row col value" line per entry, sorted by row
// or shuffled. The same seed gives the same file. False on a write error.
bool write_random_matrix(std::FILE* out, std::int32_t rows, std::int32_t entries, ValueStyle style,
                         bool shuffled, std::uint64_t seed);
