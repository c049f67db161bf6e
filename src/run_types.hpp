// The records that the phases of a run hand to each other, and the small
// helpers that several phases share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

// Matrix values, partial sums and result entries: the x87 80-bit format with
// a 64-bit significand on x86-64.
using Extended = long double;

// The parsed command line.
struct RunConfig {
  std::int32_t thread_count = 1;  // workers requested for the multiply, >= 1
  std::int32_t ignored = 0;       // second argument: converted, then unused
  std::int32_t verbose = 0;       // the dump is written when this is exactly 1
  std::string matrix_path;        // the matrix file, as given
};

// Wall-clock readings of one run, seconds from omp_get_wtime.
struct RunClock {
  double t_start = 0;       // first action of the run
  double t_ready = 0;       // after the matrix is read and the vectors built
  double t_mult_begin = 0;  // worker 0 entering the multiply
  double t_mult_end = 0;    // worker 0 after every block is done
};

// The matrix in coordinate form; slot k holds one stored entry, 1-based.
struct CooMatrix {
  std::int32_t first = 0;                     // first header number, read and otherwise unused
  std::int32_t n = 0;                         // length of every vector of the run
  std::int32_t nnz = 0;                       // number of slots
  std::unique_ptr<std::int32_t[]> row_index;  // nnz rows, each in 1..n
  std::unique_ptr<std::int32_t[]> col_index;  // nnz columns, each in 1..n
  std::unique_ptr<Extended[]> value;          // nnz coefficients
};

// The operand of the multiply: n ones, kept as integers.
struct InputVector {
  std::int32_t n = 0;                       // element count
  std::unique_ptr<std::int32_t[]> element;  // n elements, all 1
};

// One private vector of n sums for each requested worker.
struct PartialSums {
  std::int32_t thread_count = 0;                   // number of vectors
  std::int32_t n = 0;                              // length of each vector
  std::vector<std::unique_ptr<Extended[]>> table;  // vector w belongs to worker w
};

// The product: n sums.
struct ResultVector {
  std::int32_t n = 0;                   // element count
  std::unique_ptr<Extended[]> element;  // n elements
};

// What went wrong when a phase could not finish; main prints it and ends the run.
struct Failure {
  enum class Kind {
    matrix_file,  // the matrix file could not be read, or was refused
    memory,       // the run needs more memory than there is
    threads,      // the team of THREADS threads cannot be started
  };
  Kind kind;
  std::string message;  // one line for standard error, without the newline
};

// The result of a phase that can fail: a value, or the reason it is missing.
template <typename T>
struct Outcome {
  T value{};                       // meaningful only when failure is empty
  std::optional<Failure> failure;  // set when the phase could not finish
};

// Asks the kernel to back a large block with huge pages, which makes its
// first touch many times cheaper; small blocks are left alone.
void advise_huge_pages(void* block, std::size_t bytes);

// Allocates count elements left uninitialised; nullptr when memory runs out.
template <typename T>
std::unique_ptr<T[]> try_allocate(std::size_t count) {
  try {
    auto block = std::make_unique_for_overwrite<T[]>(count);
    advise_huge_pages(block.get(), count * sizeof(T));
    return block;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// Converts text the way atoi does (white space, sign, digits up to the first
// other character; 0 when there is no number), but saturates instead of
// overflowing, so out-of-range input stays visibly out of range.
std::int64_t convert_number(const char* text);

// The most threads a run may ask for. The OpenMP runtime cannot start teams
// of tens of thousands of threads (it stops the process, or overflows its
// stack), and no machine that this measures has that many cores.
inline constexpr std::int64_t max_thread_count = 4096;

// Fills a RunConfig from argv; nullopt when the command line is unusable
// (fewer than four arguments, or a thread count outside 1..max_thread_count).
std::optional<RunConfig> parse_run_config(int argc, const char* const* argv);

// The line that tells how to call the program.
const char* usage_text();

// Writes the performance line, with Tp, S and E computed from the clock.
void print_performance(std::FILE* out, const RunConfig& config, const RunClock& clock);
