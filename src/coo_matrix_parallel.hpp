// The second pass on a team of threads, one part of the file each.
#pragma once

#include <cstdint>

#include "coo_matrix.hpp"
#include "coo_matrix_lines.hpp"
#include "coo_matrix_state.hpp"

namespace spmv {

// The parallel second pass, where the first pass and the header allow it.
// Gives nullptr when it read the matrix, or why the file must be read by one
// reader; a refused header is a failure in `header`.
const char* try_read_in_parts(int fd, std::int64_t bytes, const LineCount& count, ReadState& header,
                              const ReadOptions& options);

}  // namespace spmv
