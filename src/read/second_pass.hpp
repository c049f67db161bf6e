// The second pass over the matrix file: the header and every entry, on one
// reader or on one reader per part of the file.
#pragma once

#include <cstdint>
#include <string>

#include "read/coo_matrix.hpp"
#include "read/line_count.hpp"
#include "read/read_state.hpp"

namespace spmv {

// Reads the header and every entry of the file whose first pass gave `count`,
// on up to thread_count threads, each line checked as it is read. The line
// count refuses a header that declares more entries than the file has lines,
// and thread_count also sizes the memory check of the whole run; both happen
// before any array is allocated. A file that changed since the first pass
// opened it is refused. `report`, when given, tells how the entries were read.
Outcome<CooMatrix> read_entries(const std::string& path, const LineCount& count,
                                std::int32_t thread_count, const ReadOptions& options = {},
                                ReadReport* report = nullptr);

// The same for a source whose messages name it otherwise than its path.
Outcome<CooMatrix> read_entries(const MatrixSource& source, const LineCount& count,
                                std::int32_t thread_count, const ReadOptions& options = {},
                                ReadReport* report = nullptr);

}  // namespace spmv
