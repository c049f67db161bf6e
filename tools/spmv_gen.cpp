// spmv-gen: writes a random coordinate matrix file for trying and measuring spmv.
//
//   spmv-gen [--mtx] ROWS ENTRIES exp17|short|int [sorted|shuffled] [SEED] > matrix.txt
//
// The matrix is ROWS x ROWS with ENTRIES entries, sorted by row (the default)
// or shuffled. Values: exp17 writes 17 significant digits in exponent form
// (-1.2345678901234567e-03), short three decimals (12.345), int whole numbers.
// SEED (default 1) fixes the content. --mtx writes a Matrix Market file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "matrix_generator.hpp"

int main(int argc, char** argv) {
  const char* usage =
      "usage: spmv-gen [--mtx] ROWS ENTRIES exp17|short|int [sorted|shuffled] [SEED]\n";
  MatrixLayout layout;
  if (argc > 1 && std::string(argv[1]) == "--mtx") {
    layout.matrix_market = true;
    --argc;
    ++argv;
  }
  if (argc < 4) {
    std::fputs(usage, stderr);
    return 2;
  }
  const long long rows = std::atoll(argv[1]);
  const long long entries = std::atoll(argv[2]);
  const std::string order = argc > 4 ? argv[4] : "sorted";
  const unsigned long long seed = argc > 5 ? std::strtoull(argv[5], nullptr, 10) : 1;
  ValueStyle style = ValueStyle::exp17;
  if (rows < 1 || rows > INT32_MAX || entries < 0 || entries > INT32_MAX ||
      !parse_value_style(argv[3], style) || (order != "sorted" && order != "shuffled")) {
    std::fputs(usage, stderr);
    return 2;
  }
  layout.shuffled = (order == "shuffled");
  const bool written = write_random_matrix(stdout, static_cast<std::int32_t>(rows),
                                           static_cast<std::int32_t>(entries), style, layout, seed);
  if (!written) std::perror("spmv-gen");
  return written ? 0 : 1;
}
