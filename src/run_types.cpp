// Command line and performance line: the driver's helpers.
#include "run_types.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <fstream>

namespace {

std::int32_t clamp_to_int32(std::int64_t value) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX));
}

}  // namespace

void advise_huge_pages(void* block, std::size_t bytes) {
  constexpr std::uintptr_t huge_page = std::uintptr_t{2} << 20;
  if (bytes < 2 * huge_page) return;
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = (start + huge_page - 1) & ~(huge_page - 1);
  const std::uintptr_t last = (start + bytes) & ~(huge_page - 1);
  if (last > first) {
    ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);  // a hint only
  }
}

std::int64_t convert_number(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  std::int64_t magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    magnitude = magnitude * 10 + (*p - '0');
    if (magnitude > INT64_MAX / 20) magnitude = INT64_MAX / 20;  // saturate, far past int32
  }
  return negative ? -magnitude : magnitude;
}

std::optional<RunConfig> parse_run_config(int argc, const char* const* argv) {
  if (argc < 5) return std::nullopt;
  const std::int64_t threads = convert_number(argv[1]);
  const std::int64_t ignored = convert_number(argv[2]);
  const std::int64_t verbose = convert_number(argv[3]);
  if (threads < 1 || threads > max_thread_count) return std::nullopt;
  RunConfig config;
  config.thread_count = static_cast<std::int32_t>(threads);
  config.ignored = clamp_to_int32(ignored);
  config.verbose = clamp_to_int32(verbose);  // an out-of-range value never becomes 1
  config.matrix_path = argv[4];
  return config;
}

const char* usage_text() {
  return "usage: spmv THREADS IGNORED VERBOSE MATRIX_FILE\n"
         "       spmv --help | -h | --version\n"
         "Times the product of a sparse matrix and a vector of ones on THREADS threads and\n"
         "prints Tp, S and E.\n"
         "  THREADS      number of worker threads, from 1 to 4096\n"
         "  IGNORED      an integer that has no effect\n"
         "  VERBOSE      1 dumps the matrix, input and result vectors to standard error\n"
         "  MATRIX_FILE  a header 'first n nnz', then one 'row col value' line per entry;\n"
         "               or a Matrix Market coordinate file (real, integer or pattern;\n"
         "               general, symmetric or skew-symmetric)\n"
         "Exit status: 0 done; 1 matrix file refused, not enough memory, team of threads\n"
         "not started or output not written; 2 usage.\n";
}

void print_performance(std::FILE* out, const RunConfig& config, const RunClock& clock) {
  const double threads = static_cast<double>(config.thread_count);
  const double tp =
      (clock.t_mult_end - clock.t_mult_begin) / threads + (clock.t_ready - clock.t_start);
  const double s = 1.0 / tp;
  const double e = s / threads;
  std::fprintf(out, "Work took Tp: %f seconds with S: %f , E: %f in %d number  of threads\n", tp, s,
               e, config.thread_count);
}
