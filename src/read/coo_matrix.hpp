// Reading a coordinate matrix file: a header line "first n nnz", then one
// entry "row col value" per line, or a Matrix Market coordinate file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/failure.hpp"
#include "base/run_types.hpp"
#include "read/matrix_form.hpp"

namespace spmv {

struct ReadProgress;

// Longest line the reader accepts, in bytes before its newline; real entry
// lines are well under 200 bytes.
inline constexpr std::size_t max_line_bytes = std::size_t{1} << 20;

// How the reader splits its work; the defaults suit the program, and tests
// shrink them to reach every path on small files.
struct ReadOptions {
  std::size_t block_bytes = std::size_t{1} << 20;       // bytes per read call
  std::int64_t min_part_bytes = std::int64_t{8} << 20;  // least bytes per parallel reader
  bool parts_limited_by_cores = true;                   // at most one reader per processor
  ReadProgress* progress = nullptr;  // counts the bytes read, for a progress line; null: none
  std::int64_t kept_bytes = 0;       // memory the read holds beside its arrays (unpacked text),
                                     // for the memory check
};

// How the second pass went: how many readers parsed the entries, and why the
// parallel read gave way to one reader when it did.
struct ReadReport {
  std::int32_t readers = 0;         // 1, or one per part of the file
  std::string fallback;             // empty unless a parallel read was given up
  double first_pass_seconds = 0;    // counting the lines and planning the parts
  double second_pass_seconds = 0;   // the header, the memory check, the arrays and the entries
  std::int64_t file_bytes = 0;      // size of the file when the second pass opened it
  FileForm form;                    // plain, or Matrix Market with its field and symmetry
  std::int64_t stored_entries = 0;  // entry lines read, before symmetric expansion
  std::string packing;              // a compressed file or archive: its format; else empty
  std::string member;               // an archive's member that was read; else empty
  std::int64_t packed_bytes = 0;    // a compressed file or archive: its size as stored
  std::int64_t unpacked_bytes = 0;  // its text unpacked: all of it, or as far as it got
  double unpack_seconds = 0;        // unpacking it into memory, before both passes
};

// Reads the matrix file at `path` on up to thread_count threads: a first pass
// counts its lines and plans its parts, a second pass reads the header and
// every entry, each checked as it is read. Gives the matrix, or the refusal
// that a sequential read of the file would give. The memory check of the
// whole run (matrix and vectors for thread_count workers) comes before any
// array is allocated. `report`, when given, tells how the entries were read,
// how long each pass took and what form the file has.
Outcome<CooMatrix> read_coo_matrix(const std::string& path, std::int32_t thread_count,
                                   const ReadOptions& options = {}, ReadReport* report = nullptr);

}  // namespace spmv
