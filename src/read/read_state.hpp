// What a reader of the second pass knows and where it stands, split by when
// each part changes: the setting of the whole read, the entry format that the
// banner and header fix, and the run of slots that one reader fills.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/failure.hpp"
#include "base/run_types.hpp"
#include "read/matrix_form.hpp"
#include "read/scan/scan_path.hpp"

namespace spmv {

// Fixed for the whole second pass.
struct ReadSetting {
  const std::string& path;    // the file, for messages
  std::int64_t line_count;    // lines counted by the first pass
  std::int64_t long_line;     // first overlong line, 0 when none: lines are counted to it
  std::int32_t thread_count;  // workers of the run, for the memory check
  bool fast_values;           // values may take the exact fast path
  ScanPath scan_path = ScanPath::baseline;  // how entry lines are scanned
  std::int64_t kept_bytes = 0;  // memory the read holds beside the arrays: unpacked text
  bool defer_arrays = false;    // the header allocates nothing: a process reading a share of
                                // the file checks memory for, and allocates, its share itself
};

// What the banner and the header say; fixed once the header is read.
struct EntryFormat {
  FileForm form;                   // plain or Matrix Market, its field and symmetry
  bool header_seen = false;        // the header line has been parsed
  std::int32_t row_limit = 0;      // rows run from 1 to this: n, or the row count of a
                                   // Matrix Market file
  std::int64_t declared = 0;       // entries that the header declares
  std::int64_t slot_capacity = 0;  // slots allocated, for every entry and its mirror
};

// The run of slots that one reader fills, entry by entry.
struct SlotRun {
  std::int64_t slot_base = 0;    // slot of the reader's first entry
  std::int64_t entry_limit = 0;  // entries the reader may store
  std::int64_t entries = 0;      // entries read so far
  std::int64_t slots = 0;        // slots filled so far, mirrors included
  std::int64_t scanned = 0;      // entry lines that a vector scanner read
};

// One reader of the second pass. The sequential reader parses the header and
// every entry; each parallel reader parses the entries of one part of the
// file into its own run of slots.
struct ReadState {
  const ReadSetting& setting;      // the whole read
  CooMatrix& matrix;               // where the entries go
  EntryFormat format;              // from the banner and the header
  SlotRun run;                     // this reader's slots
  std::int64_t line = 0;           // 1-based number of the line being parsed
  bool stop_after_header = false;  // parse no further than the header line
  std::int64_t header_end = 0;     // file offset just past the header line, once read_range
                                   // has stopped there
  std::optional<Failure> failure;  // why the file was refused
};

// Slots that one entry line may fill: two where entries are mirrored.
inline std::int64_t slots_per_entry(const EntryFormat& format) {
  return format.form.symmetry != Symmetry::general ? 2 : 1;
}

// True for a Matrix Market file.
inline bool is_market(const EntryFormat& format) {
  return format.form.format == FileFormat::matrix_market;
}

// Blank lines after the header beyond the entries that a parallel read
// tolerates: it makes a slot for each, and with more it gives way to one reader.
inline std::int64_t spare_line_allowance(std::int64_t entries) {
  constexpr std::int64_t fixed_lines = 64;
  constexpr std::int64_t entries_per_line = 64;
  return fixed_lines + entries / entries_per_line;
}

// Records why the current line is refused; always false, for the caller to return.
bool refuse(ReadState& state, const std::string& reason);

}  // namespace spmv
