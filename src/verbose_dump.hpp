// The optional dump of a run's data on standard error.
#pragma once

#include <cstdio>

#include "run_types.hpp"

namespace spmv {

// Writes the file path, every slot, the input vector and the result vector to
// `out` through a buffer of its own, and flushes `out` at the end. Gives 0, or
// the errno of text that could not be formatted (and was left out); write
// errors show in ferror(out).
int dump_run(std::FILE* out, const RunConfig& config, const CooMatrix& matrix,
             const InputVector& input, const ResultVector& result);

}  // namespace spmv
