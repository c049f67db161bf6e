// The first pass over the matrix file: its newlines, counted part by part,
// and the plan of parts that the second pass follows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "coo_matrix.hpp"
#include "coo_matrix_file.hpp"

namespace spmv {

// What the first pass learns: the number of lines, and the parts of the file
// that the threads of both passes take.
struct LineCount {
  std::int64_t lines = 0;                     // newlines, plus one for an unterminated last line
  std::int64_t file_bytes = 0;                // size of the file when it was counted
  std::vector<std::int64_t> part_begin;       // first byte of each part, in order
  std::vector<std::int64_t> newlines_before;  // newlines before each part's first byte
  std::int64_t long_line = 0;      // first line longer than max_line_bytes, 0 when none; the
                                   // count stops there, so `lines` then counts up to it
  std::int64_t bytes_scanned = 0;  // bytes the count read, less than file_bytes when it stopped
  FileStamp stamp;                 // the file when the first pass opened it
};

// The number of newline characters in text[0, bytes).
std::int64_t count_newlines_in(const char* text, std::size_t bytes);

// Counts the lines of the file, on up to thread_count threads,
// and stops at the first line longer than max_line_bytes. Refuses what is
// not a regular file, and compressed files and archives by their first bytes.
Outcome<LineCount> count_lines(const std::string& path, std::int32_t thread_count,
                               const ReadOptions& options = {});

}  // namespace spmv
