// Matrix input: a newline count, then the header and entries, both read from
// large blocks of the file and checked line by line.
#include "coo_matrix.hpp"

#include <emmintrin.h>
#include <fcntl.h>
#include <omp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "memory_budget.hpp"
#include "text_fields.hpp"

namespace {

// An open file descriptor, closed when it goes out of scope.
struct FileDescriptor {
  int fd = -1;
  FileDescriptor() = default;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

// A refusal of the matrix file, "PATH: reason" or "PATH:LINE: reason".
Failure file_failure(const std::string& path, std::int64_t line, const std::string& reason) {
  std::string message = path;
  if (line > 0) message.append(":").append(std::to_string(line));
  message.append(": ").append(reason);
  return Failure{Failure::Kind::matrix_file, std::move(message)};
}

// The file's identity, size and times as fstat gives them now.
std::optional<Failure> stamp_of(int fd, const std::string& path, FileStamp& stamp,
                                struct stat& info) {
  if (::fstat(fd, &info) != 0) return file_failure(path, 0, std::strerror(errno));
  stamp.device = info.st_dev;
  stamp.inode = info.st_ino;
  stamp.bytes = info.st_size;
  stamp.mtime_ns = info.st_mtim.tv_sec * std::int64_t{1000000000} + info.st_mtim.tv_nsec;
  stamp.ctime_ns = info.st_ctim.tv_sec * std::int64_t{1000000000} + info.st_ctim.tv_nsec;
  return std::nullopt;
}

// Opens the matrix file for one pass and stamps it; only a regular file can be
// read twice. The open does not block, so that a FIFO (which would wait for a
// writer) is refused at once.
std::optional<Failure> open_matrix_file(const std::string& path, FileDescriptor& file,
                                        FileStamp& stamp) {
  file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (file.fd < 0) return file_failure(path, 0, std::strerror(errno));
  struct stat info {};
  if (auto failure = stamp_of(file.fd, path, stamp, info)) return failure;
  if (S_ISDIR(info.st_mode)) return file_failure(path, 0, "is a directory");
  if (!S_ISREG(info.st_mode)) {
    return file_failure(path, 0, "is not a regular file (the matrix file is read twice)");
  }
  ::fcntl(file.fd, F_SETFL, ::fcntl(file.fd, F_GETFL) & ~O_NONBLOCK);
  ::posix_fadvise(file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::nullopt;
}

// Refuses the file when it is no longer the version the first pass opened.
std::optional<Failure> check_unchanged(int fd, const std::string& path, const FileStamp& first) {
  FileStamp now;
  struct stat info {};
  if (auto failure = stamp_of(fd, path, now, info)) return failure;
  if (now == first) return std::nullopt;
  return file_failure(path, 0, "the file changed while it was being read");
}

// The name of the compression or archive format whose magic bytes start
// `head`, or nullptr for anything else.
const char* packed_format(const unsigned char* head, std::size_t bytes) {
  const auto starts = [&](std::size_t at, std::initializer_list<unsigned char> magic) {
    return bytes >= at + magic.size() && std::equal(magic.begin(), magic.end(), head + at);
  };
  if (starts(0, {0x1f, 0x8b})) return "gzip-compressed";
  if (starts(0, {'B', 'Z', 'h'}) && bytes > 3 && head[3] >= '1' && head[3] <= '9') {
    return "bzip2-compressed";
  }
  if (starts(0, {0xfd, '7', 'z', 'X', 'Z', 0x00})) return "xz-compressed";
  if (starts(0, {0x28, 0xb5, 0x2f, 0xfd})) return "zstd-compressed";
  if (starts(257, {'u', 's', 't', 'a', 'r'})) return "a tar archive";
  return nullptr;
}

// Reads up to count bytes at offset: the number read, 0 at end of file, -1 on error.
ssize_t read_at(int fd, char* buffer, std::size_t count, std::int64_t offset) {
  for (;;) {
    const ssize_t got = ::pread(fd, buffer, count, offset);
    if (got >= 0 || errno != EINTR) return got;
  }
}

// Refuses a compressed file or an archive with a message that says what it
// is, instead of a complaint about its first bytes as a header.
std::optional<Failure> refuse_packed(int fd, const std::string& path) {
  unsigned char head[262];
  const ssize_t got = read_at(fd, reinterpret_cast<char*>(head), sizeof head, 0);
  const char* format = got > 0 ? packed_format(head, static_cast<std::size_t>(got)) : nullptr;
  if (format == nullptr) return std::nullopt;
  const bool archive = format[0] == 'a';
  return file_failure(
      path, 0, std::string(format) + (archive ? "; unpack it first" : "; decompress it first"));
}

Failure read_failure(const std::string& path) {
  return file_failure(path, 0, std::string("read error: ") + std::strerror(errno));
}

Failure buffer_failure() {
  return Failure{Failure::Kind::memory, "not enough memory for a read buffer"};
}

// The field that starts at p, for messages: at most 40 characters of it, with
// bytes that are not printable ASCII written as \xNN.
std::string field_text(const char* p) {
  std::string text;
  const char* end = p;
  for (; !ends_field(*end) && end - p < 40; ++end) {
    const auto byte = static_cast<unsigned char>(*end);
    if (byte >= 0x20 && byte < 0x7f) {
      text += *end;
    } else {
      static constexpr char hex[] = "0123456789abcdef";
      text.append("\\x").append(1, hex[byte >> 4]).append(1, hex[byte & 15]);
    }
  }
  return ends_field(*end) ? text : text.append("...");
}

std::string quote_field(const char* p) {
  std::string text(1, '"');
  return text.append(field_text(p)).append(1, '"');
}

// "1 line", "2 lines": a count with its noun.
std::string count_of(std::int64_t count, const char* one, const char* many) {
  return std::to_string(count).append(" ").append(count == 1 ? one : many);
}

// Where one reader of the second pass stands. The sequential reader parses the
// header and every entry; each parallel reader parses the entries of one part
// of the file into its own run of slots.
struct ReadState {
  const std::string& path;         // the file, for messages
  std::int64_t line_count;         // lines counted by the first pass
  std::int64_t long_line;          // first overlong line, 0 when none: lines are counted to it
  std::int32_t thread_count;       // workers of the run, for the memory check
  bool fast_values;                // values may take the exact fast path
  CooMatrix& matrix;               // where the entries go
  bool stop_after_header = false;  // parse no further than the header line
  bool matrix_market = false;      // the file starts with a Matrix Market banner
  bool pattern = false;            // entries have no value field; each value is 1
  int mirror = 0;                  // 1 symmetric, -1 skew: (i, j, v) adds (j, i, mirror v)
  std::int64_t declared = 0;       // entries that the header declares
  std::int64_t slot_capacity = 0;  // slots allocated, for every entry and its mirror
  std::int64_t line = 0;           // 1-based number of the line being parsed
  bool header_seen = false;        // the header line has been parsed
  std::int64_t slot_base = 0;      // slot of this reader's first entry
  std::int64_t entry_limit = 0;    // entries this reader may store
  std::int64_t entries = 0;        // entries read so far
  std::int64_t slots = 0;          // slots filled so far, mirrors included
  std::optional<Failure> failure;  // why the file was refused
};

// Blank lines after the header beyond the entries that a parallel read
// tolerates: it makes a slot for each, and with more it gives way to one reader.
std::int64_t spare_line_allowance(std::int64_t entries) {
  return 64 + entries / 64;
}

// Slots that one entry line may fill: two where entries are mirrored.
std::int64_t slots_per_entry(const ReadState& state) {
  return state.mirror != 0 ? 2 : 1;
}

// Records why the current line is refused; always false, for the caller to return.
bool refuse(ReadState& state, const std::string& reason) {
  state.failure = file_failure(state.path, state.line, reason);
  return false;
}

const char* const header_names[3] = {"first number", "n", "nnz"};
const char* const entry_names[2] = {"row", "column"};

// Parses the header at p: three integers, a size check against the file's
// lines and the memory, then the arrays. Leaves p at the newline.
bool parse_header(ReadState& state, const char*& p, bool spare_slots) {
  std::int32_t numbers[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    p = skip_blanks(p);
    if (*p == '\n') {
      return refuse(state, "the header must be three integers (first number, n, nnz); found " +
                               std::to_string(i));
    }
    const char* field = p;
    const IntStatus status = parse_int32(p, numbers[i]);
    if (status == IntStatus::not_integer) {
      return refuse(state, std::string("header: ") + header_names[i] + " " + quote_field(field) +
                               " is not an integer");
    }
    if (status == IntStatus::out_of_range) {
      return refuse(state, std::string("header: ") + header_names[i] + " " + quote_field(field) +
                               " is outside the 32-bit integer range");
    }
  }
  p = skip_blanks(p);
  if (*p != '\n') return refuse(state, "header: unexpected text after nnz: " + quote_field(p));
  for (int i = 1; i < 3; ++i) {
    if (numbers[i] < 0) {
      return refuse(state, std::string("header: ") + header_names[i] + " is " +
                               std::to_string(numbers[i]) + "; it must be 0 or more");
    }
  }
  CooMatrix& m = state.matrix;
  m.first = numbers[0];
  m.n = numbers[1];
  m.nnz = numbers[2];
  // Lines after the header, of which each holds at most one entry. With an
  // overlong line, only those before it can be read: the file is refused there
  // at the latest, so the header's count is not held against them.
  const std::int64_t lines_after = state.line_count - state.line;
  const std::int64_t readable =
      state.long_line > 0 ? std::max<std::int64_t>(lines_after - 1, 0) : lines_after;
  if (state.long_line == 0 && m.nnz > lines_after) {
    return refuse(state, "the header declares " + count_of(m.nnz, "entry", "entries") +
                             ", but the file has only " +
                             count_of(std::max<std::int64_t>(lines_after, 0), "line", "lines") +
                             " after it");
  }
  state.declared = m.nnz;
  const std::int64_t per_entry = slots_per_entry(state);
  if (per_entry * m.nnz > INT32_MAX) {
    return refuse(state, "the header declares " + std::to_string(m.nnz) +
                             " entries, and with their mirrors the matrix would hold more than " +
                             std::to_string(INT32_MAX));
  }
  // Room for every entry and its mirror; with `spare_slots`, for every line
  // after the header when the file has only a few more of them than entries,
  // so that parallel readers can place entries by line number before they
  // know how many blank lines precede.
  std::int64_t entries_room = std::min<std::int64_t>(m.nnz, readable);
  if (spare_slots && lines_after - m.nnz <= spare_line_allowance(m.nnz)) {
    entries_room = lines_after;
  }
  state.slot_capacity = per_entry * entries_room;
  if ((state.failure = check_run_memory(m.n, state.slot_capacity, state.thread_count))) {
    return false;
  }
  const auto slots = static_cast<std::size_t>(state.slot_capacity);
  m.row_index = try_allocate<std::int32_t>(slots);
  m.col_index = try_allocate<std::int32_t>(slots);
  m.value = try_allocate<Extended>(slots);
  if (!m.row_index || !m.col_index || !m.value) {
    state.failure = memory_failure(m.n, state.slot_capacity, state.thread_count);
    return false;
  }
  state.header_seen = true;
  state.entry_limit = std::min<std::int64_t>(m.nnz, entries_room);
  return true;
}

// Refuses the row (which = 0) or column (1) field at `field`.
[[gnu::cold]] bool refuse_index(ReadState& state, const char* field, int which) {
  std::int32_t index = 0;
  const char* end = field;
  if (parse_int32(end, index) == IntStatus::not_integer) {
    return refuse(
        state, std::string(entry_names[which]) + " " + quote_field(field) + " is not an integer");
  }
  const CooMatrix& m = state.matrix;
  std::string reason = std::string(entry_names[which]) + " " + field_text(field) +
                       " is outside 1.." + std::to_string(m.n);
  if (which == 0 && m.first > m.n) {
    reason.append(": the matrix has ").append(std::to_string(m.first));
    reason.append(" rows but only ").append(std::to_string(m.n));
    reason.append(" columns, and the product with a vector of length n has only n rows");
  }
  return refuse(state, reason);
}

[[gnu::cold]] bool refuse_missing(ReadState& state, int found) {
  return refuse(state, "expected an entry of three fields (row, column, value); found " +
                           std::to_string(found));
}

// Parses the entry at p into the next slot, checking each field; leaves p at
// the newline.
inline bool parse_entry(ReadState& state, const char*& p) {
  CooMatrix& m = state.matrix;
  if (state.entries >= state.entry_limit) {
    return refuse(state, "more entries than the " + std::to_string(state.declared) +
                             " that the header declares");
  }
  std::int32_t row = 0;
  std::int32_t col = 0;
  Extended value = 0;
  const char* field = p;
  if (parse_int32(p, row) != IntStatus::ok || row < 1 || row > m.n) {
    return refuse_index(state, field, 0);
  }
  p = skip_blanks(p);
  if (*p == '\n') return refuse_missing(state, 1);
  field = p;
  if (parse_int32(p, col) != IntStatus::ok || col < 1 || col > m.n) {
    return refuse_index(state, field, 1);
  }
  p = skip_blanks(p);
  if (state.pattern) {
    if (*p != '\n') {
      return refuse(state, "unexpected text after the column: " + quote_field(p) +
                               " (a pattern matrix has no values)");
    }
    value = 1;
  } else {
    if (*p == '\n') return refuse_missing(state, 2);
    field = p;
    if (!convert_value(p, value, state.fast_values)) {
      return refuse(state, "value " + quote_field(field) + " is not a number");
    }
    p = skip_blanks(p);
    if (*p != '\n') {
      return refuse(state,
                    "unexpected text after the value: " + quote_field(p) + " (one entry per line)");
    }
  }
  if (state.mirror < 0 && row == col) {
    return refuse(state, "a skew-symmetric matrix has no diagonal entries, but this is (" +
                             std::to_string(row) + ", " + std::to_string(col) + ")");
  }
  auto k = static_cast<std::size_t>(state.slot_base + state.slots++);
  m.row_index[k] = row;
  m.col_index[k] = col;
  m.value[k] = value;
  if (state.mirror != 0 && row != col) {
    k = static_cast<std::size_t>(state.slot_base + state.slots++);
    m.row_index[k] = col;
    m.col_index[k] = row;
    m.value[k] = state.mirror < 0 ? -value : value;
  }
  ++state.entries;
  return true;
}

bool refuse_long_line(ReadState& state) {
  return refuse(state, "line is longer than " + std::to_string(max_line_bytes) + " bytes");
}

constexpr char banner[] = "%%MatrixMarket";

bool is_banner(const char* p) {
  return std::strncmp(p, banner, sizeof banner - 1) == 0;
}

// The word that starts at p, in lower case; moves p past it.
std::string lower_word(const char*& p) {
  std::string word;
  for (; !ends_field(*p); ++p) {
    word += static_cast<char>(*p >= 'A' && *p <= 'Z' ? *p - 'A' + 'a' : *p);
  }
  return word;
}

// Parses "%%MatrixMarket matrix coordinate FIELD SYMMETRY" at p, the words in
// any case, and notes what it says about the entries.
bool parse_banner(ReadState& state, const char* p) {
  p += sizeof banner - 1;
  const bool separated = is_blank(*p);
  const char* starts[4] = {};
  std::string words[4];
  for (int i = 0; i < 4; ++i) {
    p = skip_blanks(p);
    starts[i] = p;
    words[i] = lower_word(p);
  }
  p = skip_blanks(p);
  if (!separated || words[3].empty() || *p != '\n') {
    return refuse(state,
                  "malformed Matrix Market banner: expected \"%%MatrixMarket matrix coordinate "
                  "FIELD SYMMETRY\"");
  }
  if (words[0] != "matrix") {
    return refuse(state, "unsupported Matrix Market object " + quote_field(starts[0]) +
                             ": only matrix is supported");
  }
  if (words[1] != "coordinate") {
    return refuse(state, "unsupported Matrix Market format " + quote_field(starts[1]) +
                             ": only coordinate is supported");
  }
  state.pattern = (words[2] == "pattern");
  if (!state.pattern && words[2] != "real" && words[2] != "double" && words[2] != "integer") {
    return refuse(state, "unsupported Matrix Market field " + quote_field(starts[2]) +
                             ": supported are real, double, integer and pattern");
  }
  if (words[3] == "symmetric") {
    state.mirror = 1;
  } else if (words[3] == "skew-symmetric") {
    state.mirror = -1;
  } else if (words[3] != "general") {
    return refuse(state, "unsupported Matrix Market symmetry " + quote_field(starts[3]) +
                             ": supported are general, symmetric and skew-symmetric");
  }
  state.matrix_market = true;
  return true;
}

// Parses the lines that start in [p, limit) and end before `end`, which
// follows a newline; gives where it stopped, or nullptr when a line is refused.
const char* parse_lines(ReadState& state, const char* p, const char* end, const char* limit) {
  while (p < end && p < limit) {
    const char* line_start = p;
    ++state.line;
    bool parsed = true;
    if (!state.header_seen && *p == '%' &&
        (state.matrix_market || (state.line == 1 && is_banner(p)))) {
      parsed = state.matrix_market || parse_banner(state, p);
      p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    } else {
      p = skip_blanks(p);
      if (*p != '\n') {
        parsed = state.header_seen ? parse_entry(state, p)
                                   : parse_header(state, p, state.stop_after_header);
        if (parsed && state.stop_after_header && state.header_seen) return p + 1;
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

// Parses every line that starts in the byte range [begin, end) of the file,
// each to its newline or to the end of the file, reading a block at a time.
// The buffer holds the unfinished start of a line, at most max_line_bytes,
// then one block, then one byte for the newline that ends an unterminated
// last line.
bool parse_range(int fd, std::int64_t begin, std::int64_t end, ReadState& state,
                 std::size_t block_bytes) {
  const auto buffer = try_allocate<char>(max_line_bytes + block_bytes + 1);
  if (!buffer) {
    state.failure = buffer_failure();
    return false;
  }
  char* const first = buffer.get();
  std::int64_t offset = begin;  // file offset of first[0]
  std::size_t held = 0;         // bytes in the buffer
  while (offset < end) {
    const ssize_t got =
        read_at(fd, first + held, block_bytes, offset + static_cast<std::int64_t>(held));
    if (got < 0) {
      state.failure = read_failure(state.path);
      return false;
    }
    held += static_cast<std::size_t>(got);
    const bool at_end = (got == 0);
    if (at_end && held > 0) first[held++] = '\n';  // a last line without a newline
    const char* last_newline = static_cast<const char*>(memrchr(first, '\n', held));
    if (last_newline != nullptr) {
      const char* lines_end = last_newline + 1;
      const std::int64_t room = end - offset;
      const char* limit = room < static_cast<std::int64_t>(held) ? first + room : lines_end;
      const char* stop = parse_lines(state, first, lines_end, limit);
      if (stop == nullptr) return false;
      const auto parsed = static_cast<std::size_t>(stop - first);
      offset += static_cast<std::int64_t>(parsed);
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

// The whole second pass on one thread: header, then every entry.
bool read_sequentially(int fd, ReadState& state, std::size_t block_bytes) {
  if (!parse_range(fd, 0, INT64_MAX, state, block_bytes)) return false;
  if (!state.header_seen) {
    state.failure = file_failure(state.path, 0, "no header line: the file holds no numbers");
    return false;
  }
  if (state.entries < state.declared) {
    state.failure = file_failure(state.path, 0,
                                 "the file holds " + count_of(state.entries, "entry", "entries") +
                                     ", but the header declares " + std::to_string(state.declared));
    return false;
  }
  state.matrix.nnz = static_cast<std::int32_t>(state.slots);
  return true;
}

// Parses the banner, comments and header from the first 64 KiB. Gives the
// file offset just past the header line, 0 when those bytes hold no complete
// header line, or -1 when the header is refused.
std::int64_t read_header(int fd, ReadState& state) {
  constexpr std::size_t block_bytes = std::size_t{64} << 10;
  const auto buffer = try_allocate<char>(block_bytes);
  if (!buffer) {
    state.failure = buffer_failure();
    return -1;
  }
  const ssize_t got = read_at(fd, buffer.get(), block_bytes, 0);
  if (got < 0) {
    state.failure = read_failure(state.path);
    return -1;
  }
  const char* const first = buffer.get();
  const char* last_newline =
      static_cast<const char*>(memrchr(first, '\n', static_cast<std::size_t>(got)));
  if (last_newline == nullptr) return 0;
  state.stop_after_header = true;
  const char* stop = parse_lines(state, first, last_newline + 1, last_newline + 1);
  state.stop_after_header = false;
  if (stop == nullptr) return -1;
  return state.header_seen ? stop - first : 0;
}

// Where one parallel reader starts: the first line start at or after `at`,
// and how many newlines lie between `at` and it (0 or 1).
bool find_line_start(int fd, std::int64_t at, const std::string& path, std::int64_t& start,
                     std::int64_t& skipped_newlines, std::optional<Failure>& failure) {
  start = at;
  skipped_newlines = 0;
  if (at == 0) return true;
  char chunk[4096];
  for (std::int64_t offset = at - 1;;) {
    const ssize_t got = read_at(fd, chunk, sizeof chunk, offset);
    if (got < 0) {
      failure = read_failure(path);
      return false;
    }
    if (got == 0) {
      start = offset;  // no further line starts
      return true;
    }
    const void* newline = std::memchr(chunk, '\n', static_cast<std::size_t>(got));
    if (newline != nullptr) {
      start = offset + (static_cast<const char*>(newline) - chunk) + 1;
      skipped_newlines = start > at ? 1 : 0;
      return true;
    }
    offset += got;
  }
}

// The second pass on a team of threads, one part of the file each, once the
// header is known. Each reader places its entries from the slot that its first
// line would have if no blank line came before it, then the runs are moved
// together. Gives nullptr when done, or why the sequential reader must decide
// instead: after any refusal or surprise, so that messages are those of a
// sequential read.
const char* read_in_parts(int fd, const LineCount& count, std::int64_t header_end,
                          ReadState& header, const ReadOptions& options) {
  const std::size_t parts = count.part_begin.size();
  const std::int64_t per_entry = slots_per_entry(header);
  // Where each reader starts and which slots are its own: from its first line
  // up to the next reader's first slot, so that no two readers ever share a
  // slot, even in a file that changed since the first pass.
  std::vector<ReadState> readers(parts, header);
  std::vector<std::int64_t> starts(parts, count.file_bytes);
  for (std::size_t part = 0; part < parts; ++part) {
    ReadState& reader = readers[part];
    std::int64_t skipped = 0;
    reader.line = header.line;
    starts[part] = header_end;
    if (count.part_begin[part] > header_end) {
      if (!find_line_start(fd, count.part_begin[part], header.path, starts[part], skipped,
                           reader.failure)) {
        return "a reader could not find its first line";
      }
      // A part with no line start after it, inside an unterminated last line,
      // stands after every line, so that the reader before it may fill the
      // slots of that line.
      reader.line =
          starts[part] >= count.file_bytes ? count.lines : count.newlines_before[part] + skipped;
    }
    reader.slot_base = per_entry * (reader.line - header.line);
  }
  for (std::size_t part = 0; part < parts; ++part) {
    const std::int64_t next_base =
        part + 1 < parts ? readers[part + 1].slot_base : header.slot_capacity;
    readers[part].entry_limit = (next_base - readers[part].slot_base) / per_entry;
    if (readers[part].slot_base < 0 || readers[part].entry_limit < 0) {
      return "the parts no longer match the lines of the file";
    }
  }
  std::vector<char> succeeded(parts, 0);
  // The whole team takes part, as in the first pass, so that no thread of the
  // run is given up and started again.
#pragma omp parallel for num_threads(header.thread_count) schedule(static, 1)
  for (std::size_t part = 0; part < parts; ++part) {
    const std::int64_t part_end = part + 1 < parts ? count.part_begin[part + 1] : count.file_bytes;
    succeeded[part] = starts[part] >= part_end ||
                      parse_range(fd, starts[part], part_end, readers[part], options.block_bytes);
  }
  std::int64_t stored = 0;   // slots
  std::int64_t entries = 0;  // entry lines
  for (std::size_t part = 0; part < parts; ++part) {
    if (!succeeded[part]) return "a reader refused a line";
    const ReadState& reader = readers[part];
    if (reader.slot_base != stored && reader.slots > 0) {
      CooMatrix& m = header.matrix;
      const auto from = static_cast<std::size_t>(reader.slot_base);
      const auto count_moved = static_cast<std::size_t>(reader.slots);
      const auto to = static_cast<std::size_t>(stored);
      std::memmove(&m.row_index[to], &m.row_index[from], count_moved * sizeof(std::int32_t));
      std::memmove(&m.col_index[to], &m.col_index[from], count_moved * sizeof(std::int32_t));
      std::memmove(&m.value[to], &m.value[from], count_moved * sizeof(Extended));
    }
    stored += reader.slots;
    entries += reader.entries;
  }
  if (entries != header.declared) return "the readers found another number of entries";
  header.matrix.nnz = static_cast<std::int32_t>(stored);
  return nullptr;
}

// Splits [0, bytes) into parts of at least min_part_bytes, one per thread.
std::vector<std::int64_t> split_file(std::int64_t bytes, std::int32_t thread_count,
                                     const ReadOptions& options) {
  std::int64_t parts = std::min<std::int64_t>(
      thread_count, bytes / std::max<std::int64_t>(options.min_part_bytes, 1));
  if (options.parts_limited_by_cores) parts = std::min<std::int64_t>(parts, omp_get_num_procs());
  parts = std::clamp<std::int64_t>(parts, 1, 256);
  std::vector<std::int64_t> begin(static_cast<std::size_t>(parts));
  for (std::int64_t p = 0; p < parts; ++p) begin[static_cast<std::size_t>(p)] = bytes * p / parts;
  return begin;
}

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
// at most max_line_bytes keep every overlong stretch across a block boundary,
// where `run` sees it.
PartCount count_part(int fd, std::int64_t begin, std::int64_t end, std::size_t block_bytes) {
  PartCount part;
  block_bytes = std::min(block_bytes, max_line_bytes);
  const auto buffer = try_allocate<char>(block_bytes);
  if (!buffer) {
    part.error = ENOMEM;
    return part;
  }
  const char* const text = buffer.get();
  std::int64_t run = 0;  // bytes since the last newline, or since the part began
  for (std::int64_t offset = begin; offset < end;) {
    const auto want = static_cast<std::size_t>(
        std::min<std::int64_t>(end - offset, static_cast<std::int64_t>(block_bytes)));
    const ssize_t got = read_at(fd, buffer.get(), want, offset);
    if (got < 0) {
      part.error = errno;
      return part;
    }
    if (got == 0) break;  // the file shrank: count what is there
    const auto size = static_cast<std::size_t>(got);
    part.scanned += got;
    offset += got;
    const char* first = static_cast<const char*>(std::memchr(text, '\n', size));
    if (first == nullptr) {
      run += got;
    } else {
      run += first - text;
      if (!part.has_newline) part.lead = run;
      part.has_newline = true;
      if (run <= static_cast<std::int64_t>(max_line_bytes)) {
        part.newlines += count_newlines_in(text, size);
        run = text + size - static_cast<const char*>(memrchr(text, '\n', size)) - 1;
      }
    }
    if (run > static_cast<std::int64_t>(max_line_bytes)) {
      part.long_after = part.newlines;
      break;
    }
  }
  if (!part.has_newline) part.lead = run;
  part.trail = run;
  return part;
}

// The counts of all parts, joined in file order.
struct JoinedCount {
  std::int64_t newlines = 0;   // newlines before the first overlong line, or in the file
  std::int64_t tail = 0;       // bytes after the last newline: an unterminated last line
  std::int64_t long_line = 0;  // the first overlong line, which may span parts; 0 when none
};

// Joins the counts of the parts, noting where each part's count starts.
JoinedCount join_parts(const std::vector<PartCount>& parts, std::vector<std::int64_t>& before) {
  const auto limit = static_cast<std::int64_t>(max_line_bytes);
  JoinedCount joined;
  before.assign(parts.size(), 0);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const PartCount& part = parts[i];
    before[i] = joined.newlines;
    if (joined.tail + part.lead > limit) {
      joined.long_line = joined.newlines + 1;
      return joined;
    }
    if (part.long_after >= 0) {
      joined.long_line = joined.newlines + part.long_after + 1;
      return joined;
    }
    if (part.has_newline) {
      joined.newlines += part.newlines;
      joined.tail = part.trail;
    } else {
      joined.tail += part.lead;
    }
  }
  return joined;
}

}  // namespace

std::int64_t count_newlines_in(const char* text, std::size_t bytes) {
  // 16 bytes at a time: each byte of `hits` counts the newlines in its lane
  // (subtracting the all-ones compare result adds 1), and is folded into the
  // total before it can reach 256.
  const __m128i newline = _mm_set1_epi8('\n');
  std::int64_t total = 0;
  std::size_t i = 0;
  while (bytes - i >= 16) {
    const std::size_t rounds = std::min<std::size_t>((bytes - i) / 16, 255);
    __m128i hits = _mm_setzero_si128();
    for (std::size_t r = 0; r < rounds; ++r, i += 16) {
      const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
      hits = _mm_sub_epi8(hits, _mm_cmpeq_epi8(chunk, newline));
    }
    const __m128i sums = _mm_sad_epu8(hits, _mm_setzero_si128());
    total += _mm_cvtsi128_si64(sums) + _mm_extract_epi16(sums, 4);
  }
  for (; i < bytes; ++i) total += (text[i] == '\n');
  return total;
}

Outcome<LineCount> count_lines(const std::string& path, std::int32_t thread_count,
                               const ReadOptions& options) {
  Outcome<LineCount> outcome;
  FileDescriptor file;
  LineCount& count = outcome.value;
  if ((outcome.failure = open_matrix_file(path, file, count.stamp))) return outcome;
  if ((outcome.failure = refuse_packed(file.fd, path))) return outcome;
  count.file_bytes = count.stamp.bytes;
  count.part_begin = split_file(count.file_bytes, thread_count, options);
  const std::size_t parts = count.part_begin.size();
  std::vector<PartCount> counts(parts);
  // The whole team takes part, those without a part idle, so that the OpenMP
  // runtime keeps every thread it started for the run.
#pragma omp parallel for num_threads(thread_count) schedule(static, 1)
  for (std::size_t part = 0; part < parts; ++part) {
    const std::int64_t end = part + 1 < parts ? count.part_begin[part + 1] : count.file_bytes;
    counts[part] = count_part(file.fd, count.part_begin[part], end, options.block_bytes);
  }
  for (const PartCount& part : counts) {
    count.bytes_scanned += part.scanned;
    if (part.error == ENOMEM) {
      outcome.failure = buffer_failure();
      return outcome;
    }
    if (part.error != 0) {
      errno = part.error;
      outcome.failure = read_failure(path);
      return outcome;
    }
  }
  const JoinedCount joined = join_parts(counts, count.newlines_before);
  count.long_line = joined.long_line;
  count.lines = count.long_line > 0 ? count.long_line : joined.newlines + (joined.tail > 0 ? 1 : 0);
  return outcome;
}

namespace {

// The parallel second pass, where the first pass and the header allow it.
// Gives nullptr when it read the matrix, or why the file must be read by one
// reader; a refused header is a failure in `header`.
const char* try_read_in_parts(int fd, std::int64_t bytes, const LineCount& count, ReadState& header,
                              const ReadOptions& options) {
  if (count.long_line > 0) return "the first pass found an overlong line";
  if (bytes != count.file_bytes) return "the file's size changed since the first pass";
  const std::int64_t header_end = read_header(fd, header);
  if (header_end < 0) return "the header was refused";
  if (header_end == 0) return "the first 64 KiB hold no complete header line";
  if (header.slot_capacity < slots_per_entry(header) * (count.lines - header.line)) {
    return "more blank lines than spare slots";
  }
  return read_in_parts(fd, count, header_end, header, options);
}

}  // namespace

Outcome<CooMatrix> read_coo_matrix(const std::string& path, const LineCount& count,
                                   std::int32_t thread_count, const ReadOptions& options,
                                   ReadReport* report) {
  Outcome<CooMatrix> outcome;
  ReadReport local_report;
  ReadReport& how = report != nullptr ? *report : local_report;
  how = ReadReport{};
  FileDescriptor file;
  FileStamp opened;
  if ((outcome.failure = open_matrix_file(path, file, opened))) return outcome;
  const ReadState fresh{.path = path,
                        .line_count = count.lines,
                        .long_line = count.long_line,
                        .thread_count = thread_count,
                        .fast_values = fast_values_exact(),
                        .matrix = outcome.value,
                        .failure = std::nullopt};
  bool done = false;
  if (count.part_begin.size() > 1) {
    ReadState header = fresh;
    const char* fallback = try_read_in_parts(file.fd, opened.bytes, count, header, options);
    if (header.failure) {
      outcome.failure = std::move(header.failure);  // the header, refused as one reader would
    } else if (fallback == nullptr) {
      how.readers = static_cast<std::int32_t>(count.part_begin.size());
      done = true;
    } else {
      how.fallback = fallback;
      outcome.value = CooMatrix{};  // the sequential reader starts afresh
    }
  }
  if (!done && !outcome.failure) {
    ReadState state = fresh;
    how.readers = 1;
    if (!read_sequentially(file.fd, state, options.block_bytes)) {
      outcome.failure = std::move(state.failure);
    }
  }
  // Whatever the verdict, it means nothing if the file changed under it.
  if (auto changed = check_unchanged(file.fd, path, count.stamp)) outcome.failure = changed;
  if (outcome.failure) outcome.value = CooMatrix{};
  return outcome;
}
