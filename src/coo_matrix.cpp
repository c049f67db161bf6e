// Matrix input: a newline count, then the header and entries, both read from
// large blocks of the file and checked line by line.
#include "coo_matrix.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

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

// Opens the matrix file for one pass; only a regular file can be read twice.
std::optional<Failure> open_matrix_file(const std::string& path, FileDescriptor& file) {
  file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file.fd < 0) return file_failure(path, 0, std::strerror(errno));
  struct stat info {};
  if (::fstat(file.fd, &info) != 0) return file_failure(path, 0, std::strerror(errno));
  if (S_ISDIR(info.st_mode)) return file_failure(path, 0, "is a directory");
  if (!S_ISREG(info.st_mode)) {
    return file_failure(path, 0, "is not a regular file (the matrix file is read twice)");
  }
  ::posix_fadvise(file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::nullopt;
}

// Reads up to count bytes: the number read, 0 at end of file, -1 on error.
ssize_t read_some(int fd, char* buffer, std::size_t count) {
  for (;;) {
    const ssize_t got = ::read(fd, buffer, count);
    if (got >= 0 || errno != EINTR) return got;
  }
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

// Where the second pass stands.
struct ReadState {
  const std::string& path;         // the file, for messages
  std::int64_t line_count;         // lines counted by the first pass
  std::int32_t thread_count;       // workers of the run, for the memory check
  bool fast_values;                // values may take the exact fast path
  std::int64_t line = 0;           // 1-based number of the line being parsed
  bool header_seen = false;        // the header line has been parsed
  std::int64_t entries = 0;        // slots filled so far
  CooMatrix matrix;                // what has been read
  std::optional<Failure> failure;  // why the file was refused
};

// Records why the current line is refused; always false, for the caller to return.
bool refuse(ReadState& state, const std::string& reason) {
  state.failure = file_failure(state.path, state.line, reason);
  return false;
}

const char* const header_names[3] = {"first number", "n", "nnz"};
const char* const entry_names[2] = {"row", "column"};

// Parses the header at p: three integers, a size check against the file's
// lines and the memory, then the arrays. Leaves p at the newline.
bool parse_header(ReadState& state, const char*& p) {
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
  const std::int64_t lines_after = state.line_count - state.line;
  if (m.nnz > lines_after) {
    return refuse(state, "the header declares " + count_of(m.nnz, "entry", "entries") +
                             ", but the file has only " +
                             count_of(std::max<std::int64_t>(lines_after, 0), "line", "lines") +
                             " after it");
  }
  if ((state.failure = check_run_memory(m.n, m.nnz, state.thread_count))) return false;
  const auto slots = static_cast<std::size_t>(m.nnz);
  m.row_index = try_allocate<std::int32_t>(slots);
  m.col_index = try_allocate<std::int32_t>(slots);
  m.value = try_allocate<Extended>(slots);
  if (!m.row_index || !m.col_index || !m.value) {
    state.failure = memory_failure(m.n, m.nnz, state.thread_count);
    return false;
  }
  state.header_seen = true;
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
  return refuse(state, std::string(entry_names[which]) + " " + field_text(field) +
                           " is outside 1.." + std::to_string(state.matrix.n));
}

[[gnu::cold]] bool refuse_missing(ReadState& state, int found) {
  return refuse(state, "expected an entry of three fields (row, column, value); found " +
                           std::to_string(found));
}

// Parses the entry at p into the next slot, checking each field; leaves p at
// the newline.
inline bool parse_entry(ReadState& state, const char*& p) {
  CooMatrix& m = state.matrix;
  if (state.entries == m.nnz) {
    return refuse(state,
                  "more entries than the " + std::to_string(m.nnz) + " that the header declares");
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
  const auto k = static_cast<std::size_t>(state.entries++);
  m.row_index[k] = row;
  m.col_index[k] = col;
  m.value[k] = value;
  return true;
}

bool refuse_long_line(ReadState& state) {
  return refuse(state, "line is longer than " + std::to_string(max_line_bytes) + " bytes");
}

// Parses every line in [p, end), where end follows a newline.
bool parse_lines(ReadState& state, const char* p, const char* end) {
  while (p < end) {
    const char* line_start = p;
    ++state.line;
    p = skip_blanks(p);
    if (*p != '\n') {
      const bool parsed = state.header_seen ? parse_entry(state, p) : parse_header(state, p);
      if (!parsed) return false;
    }
    ++p;  // past the newline
    if (static_cast<std::size_t>(p - line_start) > max_line_bytes) return refuse_long_line(state);
  }
  return true;
}

}  // namespace

Outcome<std::int64_t> count_lines(const std::string& path, std::size_t block_bytes) {
  Outcome<std::int64_t> outcome;
  FileDescriptor file;
  if ((outcome.failure = open_matrix_file(path, file))) return outcome;
  const auto buffer = try_allocate<char>(block_bytes);
  if (!buffer) {
    outcome.failure = Failure{Failure::Kind::memory, "not enough memory for a read buffer"};
    return outcome;
  }
  std::int64_t newlines = 0;
  char last = '\n';
  for (;;) {
    const ssize_t got = read_some(file.fd, buffer.get(), block_bytes);
    if (got < 0) {
      outcome.failure = file_failure(path, 0, std::string("read error: ") + std::strerror(errno));
      return outcome;
    }
    if (got == 0) break;
    newlines += std::count(buffer.get(), buffer.get() + got, '\n');
    last = buffer[static_cast<std::size_t>(got) - 1];
  }
  outcome.value = newlines + (last != '\n' ? 1 : 0);
  return outcome;
}

Outcome<CooMatrix> read_coo_matrix(const std::string& path, std::int64_t line_count,
                                   std::int32_t thread_count, std::size_t block_bytes) {
  Outcome<CooMatrix> outcome;
  FileDescriptor file;
  if ((outcome.failure = open_matrix_file(path, file))) return outcome;
  ReadState state{path,        line_count, thread_count, fast_values_exact(), 0, false, 0,
                  CooMatrix{}, {}};
  // buffer[0, held) holds the start of a line that the last block cut off,
  // at most max_line_bytes; each read appends one block behind it, and one
  // byte stays free for the newline that ends an unterminated last line.
  const auto buffer = try_allocate<char>(max_line_bytes + block_bytes + 1);
  if (!buffer) {
    outcome.failure = Failure{Failure::Kind::memory, "not enough memory for a read buffer"};
    return outcome;
  }
  std::size_t held = 0;
  for (bool at_end = false; !at_end;) {
    const ssize_t got = read_some(file.fd, buffer.get() + held, block_bytes);
    if (got < 0) {
      outcome.failure = file_failure(path, 0, std::string("read error: ") + std::strerror(errno));
      return outcome;
    }
    held += static_cast<std::size_t>(got);
    at_end = (got == 0);
    if (at_end && held > 0) buffer[held++] = '\n';  // a last line without a newline
    char* begin = buffer.get();
    char* last_newline = static_cast<char*>(memrchr(begin, '\n', held));
    if (last_newline != nullptr) {
      char* end = last_newline + 1;
      if (!parse_lines(state, begin, end)) {
        outcome.failure = std::move(state.failure);
        return outcome;
      }
      held = static_cast<std::size_t>(begin + held - end);
      std::memmove(begin, end, held);
    }
    if (held > max_line_bytes) {
      ++state.line;
      refuse_long_line(state);
      outcome.failure = std::move(state.failure);
      return outcome;
    }
  }
  if (!state.header_seen) {
    outcome.failure = file_failure(path, 0, "no header line: the file holds no numbers");
    return outcome;
  }
  if (state.entries < state.matrix.nnz) {
    outcome.failure =
        file_failure(path, 0,
                     "the file holds " + count_of(state.entries, "entry", "entries") +
                         ", but the header declares " + std::to_string(state.matrix.nnz));
    return outcome;
  }
  outcome.value = std::move(state.matrix);
  return outcome;
}
