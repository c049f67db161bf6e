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
  std::size_t parts_to_read = 0;   // parts with lines up to the overlong line (all without one)
  FileStamp stamp;                 // the file when the first pass opened it
};

// What the first pass learns of one part of the file. A part stops counting at
// its first stretch of more than max_line_bytes without a newline, so that a
// huge file without newlines is not read to its end.
struct PartCount {
  std::int64_t newlines = 0;     // newlines counted
  bool has_newline = false;      // the part holds at least one newline
  std::int64_t lead = 0;         // bytes before its first newline (all bytes read, if none)
  std::int64_t trail = 0;        // bytes after its last newline
  std::int64_t long_after = -1;  // newlines before the overlong stretch where it stopped
  std::int64_t scanned = 0;      // bytes read
  int error = 0;                 // errno of a failed read or allocation, 0 when none
};

// The counts of all parts, joined in file order.
struct JoinedCount {
  std::int64_t newlines = 0;      // newlines before the first overlong line, or in the file
  std::int64_t tail = 0;          // bytes after the last newline: an unterminated last line
  std::int64_t long_line = 0;     // the first overlong line, which may span parts; 0 when none
  std::size_t parts_to_read = 0;  // parts that hold lines up to the overlong line: every
                                  // later part holds only lines after it
};

// Counts the newlines in [begin, end) of the file, a block at a time; blocks of
// at most max_line_bytes keep every overlong stretch across a block boundary.
// Each block read is added to `progress`, when given.
PartCount count_part(int fd, std::int64_t begin, std::int64_t end, std::size_t block_bytes,
                     ReadProgress* progress = nullptr);

// Joins the counts of the parts in file order; `before` gets the newlines
// before each part (valid up to parts_to_read).
JoinedCount join_parts(const std::vector<PartCount>& parts, std::vector<std::int64_t>& before);

// Joins the counts of the parts of the file into `count` (its part_begin
// already set): lines, newlines before each part, the first overlong line.
// Gives the failure of the first part whose count failed.
std::optional<Failure> finish_line_count(const std::vector<PartCount>& counts,
                                         const std::string& path, std::size_t block_bytes,
                                         LineCount& count);

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
