// The optional dump of a run's data on standard error.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/run_types.hpp"

namespace spmv {

// Collects formatted text and hands it to the stream in large writes, since
// standard error is unbuffered and would otherwise cost a write per number.
struct DumpBuffer {
  std::FILE* out;          // where the text goes
  std::vector<char> text;  // pending text
  int format_error = 0;    // errno of the first text that could not be formatted, or 0
};

// Starts a dump: the line that names the matrix file.
DumpBuffer begin_dump(std::FILE* out, const std::string& matrix_path);

// Adds `count` slots, one line each, in order; null `values` are all 1.
void dump_slots(DumpBuffer& buffer, const std::int32_t* rows, const std::int32_t* cols,
                const Extended* values, std::int64_t count);

// Ends a dump with the input and result vectors and flushes it; gives 0 or
// the errno of text that could not be formatted.
int end_dump(DumpBuffer& buffer, const InputVector& input, const ResultVector& result);

// Writes the file path, every slot, the input vector and the result vector to
// `out` through a buffer of its own, and flushes `out` at the end. Gives 0, or
// the errno of text that could not be formatted (and was left out); write
// errors show in ferror(out).
int dump_run(std::FILE* out, const RunConfig& config, const CooMatrix& matrix,
             const InputVector& input, const ResultVector& result);

}  // namespace spmv
