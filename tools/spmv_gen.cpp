// spmv-gen: writes a random coordinate matrix file for trying and measuring spmv.
//
//   spmv-gen ROWS ENTRIES STYLE [ORDER] [SEED] > matrix.txt
//
// STYLE is the way values are written: exp17 (17 significant digits in
// exponent form, -1.2345678901234567e-03), short (three decimals, 12.345) or
// int (-1000..1000). ORDER is sorted (entries by row, the default) or
// shuffled. The matrix is ROWS x ROWS; SEED (default 1) fixes the content.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// One generated entry.
struct Entry {
  std::int32_t row;  // 1-based
  std::int32_t col;  // 1-based
  double value;      // written in the chosen style
};

int usage() {
  std::fputs("usage: spmv-gen ROWS ENTRIES exp17|short|int [sorted|shuffled] [SEED]\n", stderr);
  return 2;
}

// Writes one entry line into `line`; returns its length.
int format_entry(char* line, std::size_t size, const Entry& e, const std::string& style) {
  if (style == "exp17") return std::snprintf(line, size, "%d %d %.16e\n", e.row, e.col, e.value);
  if (style == "short") return std::snprintf(line, size, "%d %d %.3f\n", e.row, e.col, e.value);
  return std::snprintf(line, size, "%d %d %d\n", e.row, e.col, static_cast<int>(e.value));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return usage();
  const long long rows = std::atoll(argv[1]);
  const long long entries = std::atoll(argv[2]);
  const std::string style = argv[3];
  const std::string order = argc > 4 ? argv[4] : "sorted";
  const unsigned long long seed = argc > 5 ? std::strtoull(argv[5], nullptr, 10) : 1;
  if (rows < 1 || rows > INT32_MAX || entries < 0 || entries > INT32_MAX ||
      (style != "exp17" && style != "short" && style != "int") ||
      (order != "sorted" && order != "shuffled")) {
    return usage();
  }
  std::mt19937_64 random(seed);
  std::uniform_int_distribution<std::int32_t> column(1, static_cast<std::int32_t>(rows));
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> decade(-5, 5);
  std::vector<Entry> list(static_cast<std::size_t>(entries));
  for (long long k = 0; k < entries; ++k) {
    Entry& e = list[static_cast<std::size_t>(k)];
    e.row = static_cast<std::int32_t>(k * rows / std::max(entries, 1LL) + 1);
    e.col = column(random);
    if (style == "exp17") e.value = unit(random) * std::pow(10.0, decade(random));
    if (style == "short") e.value = unit(random) * 100;
    if (style == "int") e.value = std::floor(unit(random) * 1000);
  }
  if (order == "shuffled") std::shuffle(list.begin(), list.end(), random);

  std::vector<char> out;
  out.reserve(std::size_t{1} << 20);
  char line[96];
  int length = std::snprintf(line, sizeof line, "%lld %lld %lld\n", rows, rows, entries);
  out.insert(out.end(), line, line + length);
  for (const Entry& e : list) {
    length = format_entry(line, sizeof line, e, style);
    out.insert(out.end(), line, line + length);
    if (out.size() >= (std::size_t{1} << 20)) {
      std::fwrite(out.data(), 1, out.size(), stdout);
      out.clear();
    }
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
