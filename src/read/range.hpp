// Reading one byte range of the matrix file into a run of slots: every line
// that starts in the range, each to its newline, a block at a time. The
// sequential reader takes the whole file as its range; each parallel reader,
// or a process that reads a share of the file, takes one part.
#pragma once

#include <cstddef>
#include <cstdint>

#include "read/read_state.hpp"

namespace spmv {

struct ReadProgress;

// Bytes at the start of the file in which a parallel read looks for the header.
inline constexpr std::size_t header_block_bytes = std::size_t{64} << 10;

// Parses every line that starts in the byte range [begin, end) of the file
// into state's run of slots; false, with state.failure, when a line is refused.
// With state.stop_after_header, stops after the header line and records in
// state.header_end where it ends. The bytes of each block read that lie in
// the range are added to `progress`, when given.
bool read_range(int fd, std::int64_t begin, std::int64_t end, ReadState& state,
                std::size_t block_bytes, ReadProgress* progress = nullptr);

// Parses the banner, comments and header from the first header_block_bytes.
// Gives the file offset just past the header line, 0 when those bytes hold no
// complete header line, or -1 when the header is refused.
std::int64_t read_header(int fd, ReadState& state);

}  // namespace spmv
