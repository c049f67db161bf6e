// libFuzzer target for the matrix reader. Each input is a matrix file, read
// by one reader in large blocks and by up to four parallel readers in blocks
// of a few bytes (both chosen from the input's size), each under every scan
// path that the processor runs. Every read must agree with the one reader on
// the baseline path: the same refusal, or the same matrix bit for bit, with
// every row inside 1..rows and every column inside 1..n. A refusal for lack
// of memory is the exception: the memory check counts one vector of sums for
// each thread, so with many rows the read with more threads may be refused
// while the other goes through, and such a pair is not compared.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "read/coo_matrix.hpp"

using namespace spmv;

namespace {

Outcome<CooMatrix> read_matrix(const std::string& path, std::int32_t threads, std::size_t block,
                               ScanPath scan) {
  ReadOptions options;
  options.block_bytes = block;
  options.min_part_bytes = 1;
  options.parts_limited_by_cores = false;
  options.scan_path = scan;
  return read_coo_matrix(path, threads, options);
}

void check(bool condition) {
  if (!condition) __builtin_trap();
}

bool refused_for_memory(const Outcome<CooMatrix>& outcome) {
  return outcome.failure && outcome.failure->kind == Failure::Kind::memory;
}

// The scan paths this processor runs, from the baseline up.
const std::vector<ScanPath>& scan_paths() {
  static const std::vector<ScanPath> paths = [] {
    std::vector<ScanPath> runnable;
    for (const ScanPath path : all_scan_paths) {
      if (scan_path_supported(path)) runnable.push_back(path);
    }
    return runnable;
  }();
  return paths;
}

// Traps unless `read` agrees with `reference`.
void check_same(const Outcome<CooMatrix>& reference, const Outcome<CooMatrix>& read) {
  if (refused_for_memory(reference) || refused_for_memory(read)) {
    // The memory check depends on the thread count; nothing to compare.
  } else if (reference.failure || read.failure) {
    check(reference.failure.has_value() && read.failure.has_value());
    check(reference.failure->kind == read.failure->kind);
    check(reference.failure->message == read.failure->message);
  } else {
    const CooMatrix& a = reference.value;
    const CooMatrix& b = read.value;
    const MatrixShape& shape = a.shape;
    check(shape.columns == b.shape.columns && shape.result_length == b.shape.result_length &&
          a.nnz == b.nnz && a.unit_values == b.unit_values &&
          (a.value == nullptr) == a.unit_values && shape.result_length >= shape.columns);
    for (std::int64_t k = 0; k < a.nnz; ++k) {
      check(a.row_index[k] >= 1 && a.row_index[k] <= shape.result_length);
      check(a.col_index[k] >= 1 && a.col_index[k] <= shape.columns);
      check(a.row_index[k] == b.row_index[k] && a.col_index[k] == b.col_index[k]);
      const Extended value_a = slot_value(a, k);
      const Extended value_b = slot_value(b, k);
      check(std::memcmp(&value_a, &value_b, 10) == 0);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = memfd_create("matrix", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const auto threads = static_cast<std::int32_t>(1 + size % 4);
  const std::size_t block = 1 + size % 61;
  const Outcome<CooMatrix> reference =
      read_matrix(path, 1, std::size_t{1} << 20, ScanPath::baseline);
  for (const ScanPath scan : scan_paths()) {
    if (scan != ScanPath::baseline) {
      check_same(reference, read_matrix(path, 1, std::size_t{1} << 20, scan));
    }
    check_same(reference, read_matrix(path, threads, block, scan));
  }
  close(fd);
  return 0;
}
