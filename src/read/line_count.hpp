// The first pass over the matrix file: its newlines, counted part by part,
// and the plan of parts that the second pass follows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "read/coo_matrix.hpp"
#include "read/matrix_file.hpp"

namespace spmv {

// The counts of all parts, joined in file order.
struct JoinedCount {
  std::int64_t newlines = 0;      // newlines before the first overlong line, or in the file
  std::int64_t tail = 0;          // bytes after the last newline: an unterminated last line
  std::int64_t long_line = 0;     // the first overlong line, which may span parts; 0 when none
  std::size_t parts_to_read = 0;  // parts that hold lines up to the overlong line: every
                                  // later part holds only lines after it
};

// Joins the counts of the parts in file order; `before` gets the newlines
// before each part (valid up to parts_to_read).
JoinedCount join_parts(const std::vector<PartCount>& parts, std::vector<std::int64_t>& before);

// The number of newline characters in text[0, bytes).
std::int64_t count_newlines_in(const char* text, std::size_t bytes);

// Counts the lines of the file, on up to thread_count threads,
// and stops at the first line longer than max_line_bytes. Refuses what is
// not a regular file, and compressed files and archives by their first bytes.
Outcome<LineCount> count_lines(const std::string& path, std::int32_t thread_count,
                               const ReadOptions& options = {});

// The same for a source whose messages name it otherwise than its path.
Outcome<LineCount> count_lines(const MatrixSource& source, std::int32_t thread_count,
                               const ReadOptions& options = {});

}  // namespace spmv
