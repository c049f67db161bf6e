// Reading a coordinate matrix file: a header line "first n nnz", then one
// entry "row col value" per line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "run_types.hpp"

// Longest line the reader accepts, in bytes before its newline; real entry
// lines are well under 200 bytes.
inline constexpr std::size_t max_line_bytes = std::size_t{1} << 20;

// How the reader splits its work; the defaults suit the program, and tests
// shrink them to reach every path on small files.
struct ReadOptions {
  std::size_t block_bytes = std::size_t{1} << 20;       // bytes per read call
  std::int64_t min_part_bytes = std::int64_t{8} << 20;  // least bytes per parallel reader
  bool parts_limited_by_cores = true;                   // at most one reader per processor
};

// One version of a file, as fstat sees it: writing to the file moves its
// modification and change times, replacing it changes the inode.
struct FileStamp {
  std::uint64_t device = 0;   // st_dev
  std::uint64_t inode = 0;    // st_ino
  std::int64_t bytes = 0;     // st_size
  std::int64_t mtime_ns = 0;  // st_mtim, in nanoseconds
  std::int64_t ctime_ns = 0;  // st_ctim, in nanoseconds
  bool operator==(const FileStamp&) const = default;
};

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

// How the second pass went: how many readers parsed the entries, and why the
// parallel read gave way to one reader when it did.
struct ReadReport {
  std::int32_t readers = 0;  // 1, or one per part of the file
  std::string fallback;      // empty unless a parallel read was given up
};

// The number of newline characters in text[0, bytes).
std::int64_t count_newlines_in(const char* text, std::size_t bytes);

// First pass: counts the lines of the file, on up to thread_count threads,
// and stops at the first line longer than max_line_bytes. Refuses what is
// not a regular file, and compressed files and archives by their first bytes.
Outcome<LineCount> count_lines(const std::string& path, std::int32_t thread_count,
                               const ReadOptions& options = {});

// Second pass: the header and every entry, checked as they are read, on up to
// thread_count threads. The line count refuses a header that declares more
// entries than the file has lines, and thread_count also sizes the memory check
// of the whole run; both happen before any array is allocated. A file that
// changed since the first pass opened it is refused. `report`, when given,
// tells how the entries were read.
Outcome<CooMatrix> read_coo_matrix(const std::string& path, const LineCount& count,
                                   std::int32_t thread_count, const ReadOptions& options = {},
                                   ReadReport* report = nullptr);
