// Reading a coordinate matrix file: a header line "first n nnz", then one
// entry "row col value" per line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "run_types.hpp"

// Bytes read from the file at a time by both passes.
inline constexpr std::size_t default_block_bytes = std::size_t{4} << 20;

// Longest line the reader accepts; real entry lines are well under 200 bytes.
inline constexpr std::size_t max_line_bytes = std::size_t{1} << 20;

// First pass: the number of lines of the file. Every newline ends a line, and
// a last line without a newline counts as a line too.
Outcome<std::int64_t> count_lines(const std::string& path,
                                  std::size_t block_bytes = default_block_bytes);

// Second pass: the header and every entry, checked as they are read. The line
// count of the first pass refuses a header that declares more entries than the
// file has lines, and thread_count sizes the memory check of the whole run;
// both happen before any array is allocated.
Outcome<CooMatrix> read_coo_matrix(const std::string& path, std::int64_t line_count,
                                   std::int32_t thread_count,
                                   std::size_t block_bytes = default_block_bytes);
