// Whole numbers on command lines, written in decimal digits alone.
#pragma once

#include <cstdint>
#include <optional>

namespace spmv {

// Reads a whole number written in decimal digits alone (no sign, no blanks, no
// exponent) from `lowest` to `highest`; nothing when the text is anything else.
inline std::optional<std::uint64_t> parse_whole_number(const char* text, std::uint64_t lowest,
                                                       std::uint64_t highest) {
  if (*text == '\0') return std::nullopt;
  std::uint64_t value = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(*c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (value < lowest || value > highest) return std::nullopt;
  return value;
}

}  // namespace spmv
