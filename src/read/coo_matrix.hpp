// Reading a coordinate matrix file: a header line "first n nnz", then one
// entry "row col value" per line, or a Matrix Market coordinate file. The
// reader's one public header: a whole file read at once, and the steps of a
// read that processes split among them (the lines of byte ranges counted and
// joined, the header read alone, byte ranges read into runs of slots, and the
// parts' results judged as a sequential read would judge the file).
//
// src/read owns the text of a matrix file: the first pass's line count
// (line_count.hpp), the banner and the file's form (matrix_form.hpp), the
// header (header.hpp), entry lines (entries.hpp) and their fields
// (text_fields.hpp), the second pass on one or many readers (second_pass.hpp,
// parts.hpp, range.hpp), the refusals' texts (messages.hpp) and the progress
// line (progress.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/failure.hpp"
#include "base/run_types.hpp"
#include "read/matrix_form.hpp"
#include "read/scan/scan_path.hpp"

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
  ScanPath scan_path = chosen_scan_path();  // how entry lines are scanned
};

// How the second pass went: how many readers parsed the entries, and why the
// parallel read gave way to one reader when it did.
struct ReadReport {
  std::int32_t readers = 0;                 // 1, or one per part of the file
  ScanPath scan_path = ScanPath::baseline;  // how entry lines were scanned
  std::int64_t scanned_lines = 0;           // entry lines that a vector scanner read; the baseline
                                            // reader read the rest
  std::string fallback;                     // empty unless a parallel read was given up
  double first_pass_seconds = 0;            // counting the lines and planning the parts
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

// ---- The matrix file, its lines and its header -----------------------------

// An open file descriptor, closed when it goes out of scope.
struct FileDescriptor {
  int fd = -1;  // the descriptor, -1 when none is open
  FileDescriptor() = default;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&& other) noexcept;
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  ~FileDescriptor();
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

// Opens the matrix file for one pass and stamps it; only a regular file can be
// read twice. The open does not block, so that a FIFO (which would wait for a
// writer) is refused at once.
std::optional<Failure> open_matrix_file(const std::string& path, FileDescriptor& file,
                                        FileStamp& stamp);

// Refuses the file when it is no longer the version the first pass opened.
std::optional<Failure> check_unchanged(int fd, const std::string& path, const FileStamp& first);

// Refuses a compressed file or an archive with a message that says what it
// is, instead of a complaint about its first bytes as a header.
std::optional<Failure> refuse_packed(int fd, const std::string& path);

// The refusal of a file that changed while it was being read.
Failure changed_file_failure(const std::string& path);

// The refusal of a file with fewer entries than its header declares.
Failure missing_entries_failure(const std::string& path, std::int64_t entries,
                                std::int64_t declared);

// "1 line", "2 lines": a count with its noun.
std::string count_of(std::int64_t count, const char* one, const char* many);

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

// Counts the newlines in [begin, end) of the file, a block at a time; blocks of
// at most max_line_bytes keep every overlong stretch across a block boundary.
// Each block read is added to `progress`, when given.
PartCount count_part(int fd, std::int64_t begin, std::int64_t end, std::size_t block_bytes,
                     ReadProgress* progress = nullptr);

// Joins the counts of the parts of the file into `count` (its part_begin
// already set): lines, newlines before each part, the first overlong line.
// Gives the failure of the first part whose count failed.
std::optional<Failure> finish_line_count(const std::vector<PartCount>& counts,
                                         const std::string& path, std::size_t block_bytes,
                                         LineCount& count);

// What the banner and the header line of a matrix file say.
struct FileHeader {
  MatrixShape shape;            // header rows, columns and result length
  FileForm form;                // plain or Matrix Market, its field and symmetry
  std::int64_t declared = 0;    // entries that the header declares
  std::int64_t line = 0;        // the header's line number
  std::int64_t header_end = 0;  // file offset just past the header line
};

// Reads the banner, comments and header of the open file whose first pass
// gave `count`, a block at a time, checked as a whole read checks them for a
// run of thread_count workers; allocates nothing.
Outcome<FileHeader> read_file_header(int fd, const std::string& path, const LineCount& count,
                                     std::int32_t thread_count, std::size_t block_bytes);

// Slots that one entry line of a file of this form may fill: two where
// entries are mirrored.
std::int64_t slots_per_entry(const FileForm& form);

// Records the file's size and form and the entries its header declares, for
// the report of a read.
void describe_form(const FileForm& form, std::int64_t declared, std::int64_t bytes,
                   ReadReport& how);

// ---- Byte ranges read into runs of slots -----------------------------------

// Lines that start in parts [first, last) of the file after its header: what
// their entries may take, one slot each or two where mirrored.
Outcome<std::int64_t> lines_of_parts(int fd, const std::string& path, const LineCount& count,
                                     const FileHeader& header, std::size_t first, std::size_t last);

// How the reader of one part ended.
struct PartRun {
  std::int64_t slot_base = 0;      // slot of its first entry in the run of slots
  std::int64_t entries = 0;        // entry lines read
  std::int64_t slots = 0;          // slots filled, mirrors included
  std::int64_t scanned = 0;        // entry lines that a vector scanner read
  std::optional<Failure> failure;  // the line it refused, when it refused one
};

// Reads the entries of parts [first, last) of the file into the slots of m
// (allocated for slot_end slots, its shape the header's), one reader per part
// on thread_count threads, each placing its entries by line number. The
// failure, when the parts no longer match the file's lines.
Outcome<std::vector<PartRun>> read_parts(int fd, const std::string& path, const LineCount& count,
                                         std::int32_t thread_count, const FileHeader& header,
                                         std::size_t first, std::size_t last, std::int64_t slot_end,
                                         CooMatrix& m, const ReadOptions& options);

// Reads `part` again, allowed only entries_allowed entries, into m's slots
// from the first: the refusal of the entry past the declared count, as a
// sequential read gives it.
Failure refuse_past_declared(int fd, const std::string& path, const LineCount& count,
                             std::int32_t thread_count, const FileHeader& header, std::size_t part,
                             std::int64_t entries_allowed, CooMatrix& m,
                             const ReadOptions& options);

// Moves the parts' runs together at the start of m's arrays, in order, and
// sets m.nnz to the slots they hold.
void compact_part_runs(const std::vector<PartRun>& runs, CooMatrix& m);

// One part's result as every process of a split read learns it.
struct PartResult {
  std::int64_t entries = 0;  // entry lines read
  std::int64_t slots = 0;    // slots filled
  std::int64_t refused = 0;  // 1 when the reader refused a line
  std::int64_t scanned = 0;  // entry lines that a vector scanner read
};

// What a sequential read would conclude from every part's result.
struct Verdict {
  std::int64_t part = -1;         // the part whose reader the verdict names, -1 when whole
  std::int64_t entry_limit = -1;  // >= 0: the part holds the entry past the declared count,
                                  // and this many entries of it are allowed
  std::int64_t entries = 0;       // entries of the whole file, when whole
  std::int64_t slots_before = 0;  // slots of the parts before part `first_part`
  std::int64_t total_slots = 0;   // slots of the whole file, when whole
};

// Judges the results of every part in file order: the first part that holds
// an entry past the declared count or a refused line, whichever comes first.
Verdict judge_parts(const std::vector<PartResult>& results, std::int64_t declared,
                    std::size_t first_part);

}  // namespace spmv
