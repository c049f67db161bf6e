// The reader of one byte range: blocks of the file, lines in place, entries
// into slots.
#include "read/range.hpp"

#include <string.h>

#include <algorithm>
#include <cstring>

#include "base/allocation.hpp"
#include "read/coo_matrix.hpp"
#include "read/entries.hpp"
#include "read/header.hpp"
#include "read/matrix_file.hpp"
#include "read/progress.hpp"
#include "read/scan/scan_entries.hpp"

namespace spmv {

namespace {

// Refuses the current line for its length.
bool refuse_long_line(ReadState& state) {
  return refuse(state, "line is longer than " + std::to_string(max_line_bytes) + " bytes");
}

// Parses the lines that start in [p, limit) and end before `end`, which
// follows a newline; gives where it stopped, or nullptr when a line is refused.
const char* parse_lines(ReadState& state, const char* p, const char* end, const char* limit) {
  const bool scanning = state.setting.scan_path != ScanPath::baseline && !state.stop_after_header;
  while (p < end && p < limit) {
    // Entry lines of the common shape go to the vector scanner, which stops
    // at any other line; that one is read here, field by field.
    if (scanning && state.format.header_seen) {
      p = scan_entries(state, p, std::min(end, limit));
      if (p == end || p >= limit) break;
    }
    const char* line_start = p;
    ++state.line;
    bool parsed = true;
    // Comments follow the banner, after blanks or not; the banner may follow
    // blanks on line 1.
    if (!state.format.header_seen &&
        (is_market(state.format) ? *skip_blanks(p) == '%' : state.line == 1 && is_banner(p))) {
      parsed = is_market(state.format) || take_banner(state, p);
      p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    } else {
      p = skip_blanks(p);
      if (*p != '\n') {
        parsed = state.format.header_seen ? parse_entry(state, p)
                                          : parse_header(state, p, state.stop_after_header);
        if (parsed && state.stop_after_header && state.format.header_seen) return p + 1;
      }
    }
    // An overlong line is refused as such, whatever else is wrong with it,
    // just as where the buffer cannot hold it whole and it is never parsed.
    if (!parsed)
      p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (static_cast<std::size_t>(p - line_start) > max_line_bytes) {
      refuse_long_line(state);
      return nullptr;
    }
    if (!parsed) return nullptr;
    ++p;  // past the newline
  }
  return p;
}

}  // namespace

// The buffer holds the unfinished start of a line, at most max_line_bytes,
// then one block, then one byte for the newline that ends an unterminated
// last line, then the padding that the field readers may load.
bool read_range(int fd, std::int64_t begin, std::int64_t end, ReadState& state,
                std::size_t block_bytes, ReadProgress* progress) {
  const std::size_t buffer_bytes = max_line_bytes + block_bytes + 1 + field_padding_bytes;
  const auto buffer = try_allocate<char>(buffer_bytes);
  if (!buffer) {
    state.failure = buffer_failure(buffer_bytes);
    return false;
  }
  char* const first = buffer.get();
  std::int64_t offset = begin;  // file offset of first[0]
  std::size_t held = 0;         // bytes in the buffer
  while (offset < end) {
    const ssize_t got =
        read_at(fd, first + held, block_bytes, offset + static_cast<std::int64_t>(held));
    if (got < 0) {
      state.failure = read_failure(state.setting.path);
      return false;
    }
    if (progress != nullptr) {
      // The block may run past the range, into the part of the next reader.
      const std::int64_t from = offset + static_cast<std::int64_t>(held);
      progress->add(std::clamp<std::int64_t>(end - from, 0, got));
    }
    held += static_cast<std::size_t>(got);
    const bool at_end = (got == 0);
    if (at_end && held > 0) first[held++] = '\n';  // a last line without a newline
    std::memset(first + held, 0, field_padding_bytes);
    const char* last_newline = static_cast<const char*>(memrchr(first, '\n', held));
    if (last_newline != nullptr) {
      const char* lines_end = last_newline + 1;
      const std::int64_t room = end - offset;
      const char* limit = room < static_cast<std::int64_t>(held) ? first + room : lines_end;
      const char* stop = parse_lines(state, first, lines_end, limit);
      if (stop == nullptr) return false;
      const auto parsed = static_cast<std::size_t>(stop - first);
      offset += static_cast<std::int64_t>(parsed);
      if (state.stop_after_header && state.format.header_seen) {
        state.header_end = offset;
        return true;
      }
      held -= parsed;
      std::memmove(first, stop, held);
    }
    if (held > max_line_bytes) {
      ++state.line;
      return refuse_long_line(state);
    }
    if (at_end) break;
  }
  return true;
}

// Parses the banner, comments and header from the first 64 KiB. Gives the
// file offset just past the header line, 0 when those bytes hold no complete
// header line, or -1 when the header is refused.
std::int64_t read_header(int fd, ReadState& state) {
  const auto buffer = try_allocate<char>(header_block_bytes + field_padding_bytes);
  if (!buffer) {
    state.failure = buffer_failure(header_block_bytes + field_padding_bytes);
    return -1;
  }
  const ssize_t got = read_at(fd, buffer.get(), header_block_bytes, 0);
  if (got < 0) {
    state.failure = read_failure(state.setting.path);
    return -1;
  }
  std::memset(buffer.get() + got, 0, field_padding_bytes);
  const char* const first = buffer.get();
  const char* last_newline =
      static_cast<const char*>(memrchr(first, '\n', static_cast<std::size_t>(got)));
  if (last_newline == nullptr) return 0;
  state.stop_after_header = true;
  const char* stop = parse_lines(state, first, last_newline + 1, last_newline + 1);
  state.stop_after_header = false;
  if (stop == nullptr) return -1;
  return state.format.header_seen ? stop - first : 0;
}

}  // namespace spmv
