// The exact text of the performance line and of the dump.
#include <gtest/gtest.h>

#include <cstdio>

#include "base/run_types.hpp"
#include "multiply/parallel_multiply.hpp"
#include "report/performance_line.hpp"
#include "report/verbose_dump.hpp"
#include "test_support.hpp"

using namespace spmv;

namespace {

// Everything a function wrote to a temporary stream.
template <typename Write>
std::string captured(Write write) {
  std::FILE* file = std::tmpfile();
  write(file);
  std::fflush(file);
  std::rewind(file);
  std::string text;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text += static_cast<char>(c);
  std::fclose(file);
  return text;
}

TEST(PerformanceLine, ComputesTpSAndEFromTheClock) {
  RunConfig config;
  config.thread_count = 4;
  const RunClock clock{10.0, 10.3, 11.0, 11.8};  // 0.3 s serial, 0.8 s of multiply
  EXPECT_EQ(captured([&](std::FILE* f) { print_performance(f, config, clock); }),
            "Work took Tp: 0.500000 seconds with S: 2.000000 , E: 0.500000 in 4 number  of "
            "threads\n");
  config.thread_count = 1;
  const RunClock slow{0, 2, 2, 6};
  EXPECT_EQ(captured([&](std::FILE* f) { print_performance(f, config, slow); }),
            "Work took Tp: 6.000000 seconds with S: 0.166667 , E: 0.166667 in 1 number  of "
            "threads\n");
}

TEST(Dump, WritesEverySlotAndBothVectors) {
  RunConfig config;
  config.matrix_path = "m.txt";
  CooMatrix m;
  m.shape.columns = 3;
  m.nnz = 4;
  m.row_index = std::make_unique<std::int32_t[]>(4);
  m.col_index = std::make_unique<std::int32_t[]>(4);
  m.value = std::make_unique<Extended[]>(4);
  const std::int32_t rows[] = {1, 1, 2, 3}, cols[] = {1, 3, 2, 1};
  const Extended values[] = {2, 1.5L, -1, 4};
  for (int k = 0; k < 4; ++k) {
    m.row_index[k] = rows[k];
    m.col_index[k] = cols[k];
    m.value[k] = values[k];
  }
  Outcome<RunVectors> v = prepare_vectors({3, 3}, 2);
  const Extended sums[] = {3.5L, -1, 4};
  for (int i = 0; i < 3; ++i) v.value.result.element[i] = sums[i];
  EXPECT_EQ(captured([&](std::FILE* f) { dump_run(f, config, m, v.value.input, v.value.result); }),
            "INPUT MATRIX TAKEN FROM: m.txt\n\n"
            "1 1 2.000000e+00 \n1 3 1.500000e+00 \n2 2 -1.000000e+00 \n3 1 4.000000e+00 \n"
            "Vector to be Multiplied\n\n1\n1\n1\n"
            "Resulting Vector\n\n3.500000e+00\n-1.000000e+00\n4.000000e+00\n");
  m.nnz = 0;
  Outcome<RunVectors> none = prepare_vectors({0, 0}, 1);
  EXPECT_EQ(
      captured([&](std::FILE* f) { dump_run(f, config, m, none.value.input, none.value.result); }),
      "INPUT MATRIX TAKEN FROM: m.txt\n\nVector to be Multiplied\n\nResulting Vector\n\n");
}

TEST(Dump, LargeDumpsComeOutWhole) {
  RunConfig config;
  config.matrix_path = "big.txt";
  const std::int32_t n = 50000;
  CooMatrix m;
  m.shape.columns = n;
  Outcome<RunVectors> v = prepare_vectors({n, n}, 1);
  for (std::int32_t i = 0; i < n; ++i) v.value.result.element[i] = i;
  const std::string text =
      captured([&](std::FILE* f) { dump_run(f, config, m, v.value.input, v.value.result); });
  EXPECT_EQ(text.size(), std::string("INPUT MATRIX TAKEN FROM: big.txt\n\n").size() + 25 + 18 +
                             2 * static_cast<std::size_t>(n) + 13 * static_cast<std::size_t>(n));
  EXPECT_EQ(text.substr(text.size() - 13), "4.999900e+04\n");
}

}  // namespace
