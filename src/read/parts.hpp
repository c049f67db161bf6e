// The second pass on a team of threads, one part of the file each.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "read/coo_matrix.hpp"
#include "read/line_count.hpp"
#include "read/read_state.hpp"

namespace spmv {

// The readers of a run of consecutive parts of the file.
struct PartReaders {
  std::vector<ReadState> readers;    // one per part, its slots numbered from the first
                                     // reader's first line
  std::vector<std::int64_t> starts;  // file offset of each reader's first line
  std::vector<std::int64_t> ends;    // end of each reader's part of the file
};

// Where the reader of `part` starts: the first line start in the part after
// the header, and the lines before it (`line`). A part past the last gives
// the end of the file and the line count.
bool locate_part(int fd, const LineCount& count, std::size_t part, std::int64_t header_end,
                 const ReadState& header, std::int64_t& start, std::int64_t& line,
                 std::optional<Failure>& failure);

// Places the readers of parts [first, last), copies of `header`: their first
// lines, and their runs of slots, numbered from the first reader's first line,
// the last run ending at slot_end. Gives nullptr, or why the parts do not fit.
const char* place_readers(int fd, const LineCount& count, std::size_t first, std::size_t last,
                          std::int64_t header_end, const ReadState& header, std::int64_t slot_end,
                          PartReaders& team);

// Runs every reader on the team of threads; gives which of them succeeded.
std::vector<char> run_readers(int fd, PartReaders& team, const ReadOptions& options);

// Moves `count` slots of m from slot `from` to slot `to`, which may overlap.
void move_slots(CooMatrix& m, std::int64_t from, std::int64_t count, std::int64_t to);

// Moves the runs of the first `parts` readers together at the start of m's
// arrays, in order; gives the slots stored, and the entry lines in `entries`.
std::int64_t compact_runs(const PartReaders& team, std::size_t parts, CooMatrix& m,
                          std::int64_t& entries);

// The parallel second pass, where the first pass and the header allow it.
// Gives nullptr when it read the matrix, or why the file must be read by one
// reader; a refused header is a failure in `header`.
const char* try_read_in_parts(int fd, std::int64_t bytes, const LineCount& count, ReadState& header,
                              const ReadOptions& options);

}  // namespace spmv
