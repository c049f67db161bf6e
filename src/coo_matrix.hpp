// Reading a coordinate matrix file: a header line "first n nnz", then one
// entry "row col value" per line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "run_types.hpp"

// Longest line the reader accepts; real entry lines are well under 200 bytes.
inline constexpr std::size_t max_line_bytes = std::size_t{1} << 20;

// How the reader splits its work; the defaults suit the program, and tests
// shrink them to reach every path on small files.
struct ReadOptions {
  std::size_t block_bytes = std::size_t{1} << 20;       // bytes per read call
  std::int64_t min_part_bytes = std::int64_t{8} << 20;  // least bytes per parallel reader
  bool parts_limited_by_cores = true;                   // at most one reader per processor
};

// What the first pass learns: the number of lines, and the parts of the file
// that the threads of both passes take.
struct LineCount {
  std::int64_t lines = 0;                     // newlines, plus one for an unterminated last line
  std::int64_t file_bytes = 0;                // size of the file when it was counted
  std::vector<std::int64_t> part_begin;       // first byte of each part, in order
  std::vector<std::int64_t> newlines_before;  // newlines before each part's first byte
};

// The number of newline characters in text[0, bytes).
std::int64_t count_newlines_in(const char* text, std::size_t bytes);

// First pass: counts the lines of the file, on up to thread_count threads.
Outcome<LineCount> count_lines(const std::string& path, std::int32_t thread_count,
                               const ReadOptions& options = {});

// Second pass: the header and every entry, checked as they are read, on up to
// thread_count threads. The line count refuses a header that declares more
// entries than the file has lines, and thread_count also sizes the memory check
// of the whole run; both happen before any array is allocated.
Outcome<CooMatrix> read_coo_matrix(const std::string& path, const LineCount& count,
                                   std::int32_t thread_count, const ReadOptions& options = {});
