// Random coordinate matrix files.
#include "matrix_generator.hpp"

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

// One generated entry.
struct Entry {
  std::int32_t row;  // 1-based
  std::int32_t col;  // 1-based
  double value;      // written in the chosen style
};

// Writes one entry line into `line`; gives its length.
int format_entry(char* line, std::size_t size, const Entry& e, ValueStyle style) {
  switch (style) {
    case ValueStyle::exp17:
      return std::snprintf(line, size, "%d %d %.16e\n", e.row, e.col, e.value);
    case ValueStyle::short_form:
      return std::snprintf(line, size, "%d %d %.3f\n", e.row, e.col, e.value);
    case ValueStyle::integer:
      break;
  }
  return std::snprintf(line, size, "%d %d %d\n", e.row, e.col, static_cast<int>(e.value));
}

}  // namespace

bool parse_value_style(const std::string& name, ValueStyle& style) {
  if (name == "exp17")
    style = ValueStyle::exp17;
  else if (name == "short")
    style = ValueStyle::short_form;
  else if (name == "int")
    style = ValueStyle::integer;
  else
    return false;
  return true;
}

bool write_random_matrix(std::FILE* out, std::int32_t rows, std::int32_t entries, ValueStyle style,
                         MatrixLayout layout, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::uniform_int_distribution<std::int32_t> column(1, rows);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> decade(-5, 5);
  std::vector<Entry> list(static_cast<std::size_t>(entries));
  for (std::int64_t k = 0; k < entries; ++k) {
    Entry& e = list[static_cast<std::size_t>(k)];
    e.row = static_cast<std::int32_t>(k * rows / std::max<std::int64_t>(entries, 1) + 1);
    e.col = column(random);
    switch (style) {
      case ValueStyle::exp17:
        e.value = unit(random) * std::pow(10.0, decade(random));
        break;
      case ValueStyle::short_form:
        e.value = unit(random) * 100;
        break;
      case ValueStyle::integer:
        e.value = std::floor(unit(random) * 1000);
        break;
    }
  }
  if (layout.shuffled) std::shuffle(list.begin(), list.end(), random);

  std::vector<char> text;
  constexpr std::size_t flush_bytes = std::size_t{1} << 20;
  text.reserve(flush_bytes + 128);
  char line[96];
  if (layout.matrix_market) {
    const char* field = style == ValueStyle::integer ? "integer" : "real";
    const int banner_length =
        std::snprintf(line, sizeof line, "%%%%MatrixMarket matrix coordinate %s general\n", field);
    text.insert(text.end(), line, line + banner_length);
  }
  int length = std::snprintf(line, sizeof line, "%d %d %d\n", rows, rows, entries);
  text.insert(text.end(), line, line + length);
  for (const Entry& e : list) {
    length = format_entry(line, sizeof line, e, style);
    text.insert(text.end(), line, line + length);
    if (text.size() >= flush_bytes) {
      if (std::fwrite(text.data(), 1, text.size(), out) != text.size()) return false;
      text.clear();
    }
  }
  return std::fwrite(text.data(), 1, text.size(), out) == text.size() && std::fflush(out) == 0;
}
