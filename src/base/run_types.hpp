// The records that the phases of a run hand to each other.
//
// src/base owns what every other folder builds on: these records, failures
// as values (failure.hpp), large arrays that may fail to allocate
// (allocation.hpp), the memory check and the machine's limits
// (memory_budget.hpp), and counts written in digits (whole_number.hpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace spmv {

// Matrix values, partial sums and result entries: the x87 80-bit format with
// a 64-bit significand on x86-64.
using Extended = long double;

// The parsed command line.
struct RunConfig {
  std::int32_t thread_count = 1;  // workers requested for the multiply, >= 1
  std::int32_t ignored = 0;       // second argument: converted, then unused
  std::int32_t verbose = 0;       // the dump is written when this is exactly 1
  std::string matrix_path;        // the matrix file, as given
  std::string report_path;        // --report=FILE: where the JSON report goes; empty for none
  std::int32_t repeat_count = 0;  // --repeat=N: multiplies after the timed one, each checked
  double min_time = 0;            // --min-time=SECONDS: repeat until this much multiply time,
                                  // and at least repeat_count repeats, have passed; 0 for none
};

// Wall-clock readings of one run, seconds from omp_get_wtime.
struct RunClock {
  double t_start = 0;                          // first action of the run
  double t_ready = 0;                          // after the matrix is read and the vectors built
  double t_mult_begin = 0;                     // worker 0 entering the multiply
  double t_mult_end = 0;                       // worker 0 after every block is done
  std::int32_t team_size = 0;                  // workers that ran the multiply
  std::vector<std::int32_t> worker_cpus = {};  // the CPU each worker was on as it began its block
};

// The sizes of a matrix, each named for what it sizes.
struct MatrixShape {
  std::int32_t header_rows = 0;    // the header's first number: the row count of a Matrix
                                   // Market file, read and otherwise unused in a plain file
  std::int32_t columns = 0;        // the header's second number: the input vector's length
  std::int32_t result_length = 0;  // the result and partial vectors' length: the columns, or
                                   // the rows of a Matrix Market file with more rows than columns
};

// The matrix in coordinate form; slot k holds one stored entry, 1-based.
// Slot counts are 64-bit: a matrix may hold more than 2^31 slots, though its
// rows and columns stay below 2^31.
struct CooMatrix {
  MatrixShape shape;                          // header rows, columns and result length
  std::int64_t nnz = 0;                       // number of slots
  bool unit_values = false;                   // every value is 1, and `value` is not held:
                                              // a pattern matrix that is not skew-symmetric
  std::unique_ptr<std::int32_t[]> row_index;  // nnz rows, each in 1..shape.result_length
  std::unique_ptr<std::int32_t[]> col_index;  // nnz columns, each in 1..shape.columns
  std::unique_ptr<Extended[]> value;          // nnz coefficients; null with unit_values
};

// Bytes that one slot takes: two 4-byte indices, and the 16-byte value
// unless every value is 1.
inline constexpr std::int64_t slot_bytes(bool unit_values) {
  return 2 * sizeof(std::int32_t) + (unit_values ? 0 : sizeof(Extended));
}

// The value of slot k of m.
inline Extended slot_value(const CooMatrix& m, std::int64_t k) {
  return m.unit_values ? Extended{1} : m.value[static_cast<std::size_t>(k)];
}

// The lengths of a run's vectors.
struct VectorLengths {
  std::int32_t input = 0;   // the input vector: one element per column
  std::int32_t result = 0;  // the result and each partial vector: one element per row
};

// The vector lengths that a matrix calls for.
inline VectorLengths vector_lengths(const CooMatrix& matrix) {
  return {matrix.shape.columns, matrix.shape.result_length};
}

// The operand of the multiply: n ones, kept as integers.
struct InputVector {
  std::int32_t n = 0;                       // element count
  std::unique_ptr<std::int32_t[]> element;  // n elements, all 1
};

// One private vector of sums, one per row, for each requested worker.
struct PartialSums {
  std::int32_t thread_count = 0;                   // number of vectors
  std::int32_t n = 0;                              // length of each vector
  std::vector<std::unique_ptr<Extended[]>> table;  // vector w belongs to worker w
};

// The product: one sum per row.
struct ResultVector {
  std::int32_t n = 0;                   // element count
  std::unique_ptr<Extended[]> element;  // n elements
};

}  // namespace spmv
