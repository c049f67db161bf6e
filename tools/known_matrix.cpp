// Known matrices, written at the speed of the disk: lines are formatted by
// hand into a large buffer that goes out in few writes.
#include "known_matrix.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>

#include "multiply/result_digest.hpp"

namespace {

// Pending text is handed to the stream once it reaches this many bytes.
constexpr std::size_t flush_bytes = std::size_t{1} << 22;

// Room for the longest line: two 19-digit numbers and their separators, or a
// "%Le" value.
constexpr std::size_t max_line_bytes = 64;

// Text waiting to be written, and whether a write failed.
struct TextBuffer {
  std::FILE* out;          // where the text goes
  std::vector<char> text;  // flush_bytes plus one line of room
  std::size_t used = 0;    // bytes of text pending
  bool failed = false;     // a write to out failed; later text is dropped
};

// A buffer for `out` with its room allocated.
TextBuffer make_buffer(std::FILE* out) {
  return TextBuffer{out, std::vector<char>(flush_bytes + max_line_bytes)};
}

// Hands the pending text to the stream.
void flush(TextBuffer& b) {
  if (!b.failed && b.used > 0 && std::fwrite(b.text.data(), 1, b.used, b.out) != b.used) {
    b.failed = true;
  }
  b.used = 0;
}

// Where the next line goes: at least max_line_bytes free.
char* line_start(TextBuffer& b) {
  if (b.used >= flush_bytes) flush(b);
  return b.text.data() + b.used;
}

// Appends text of up to max_line_bytes bytes.
void put_text(TextBuffer& b, const char* text, std::size_t length) {
  std::memcpy(line_start(b), text, length);
  b.used += length;
}

// Writes the last text and flushes the stream; false when any write failed.
bool finish(TextBuffer& b) {
  flush(b);
  return !b.failed && std::fflush(b.out) == 0;
}

// A row number's digits and the blank after them, formatted once per row.
struct RowText {
  char text[24];           // the digits, then ' '
  std::size_t length = 0;  // bytes used in text
};

// The text of 1-based row `row`.
RowText row_text(std::int64_t row) {
  RowText r;
  char* end = std::to_chars(r.text, r.text + sizeof r.text - 1, row).ptr;
  *end++ = ' ';
  r.length = static_cast<std::size_t>(end - r.text);
  return r;
}

// Appends one entry line: the row's text, the 1-based column, then " 1\n" in
// a plain file or "\n" in a pattern file.
void put_entry(TextBuffer& b, const RowText& row, std::int64_t col, bool pattern) {
  char* p = line_start(b);
  std::memcpy(p, row.text, row.length);
  p = std::to_chars(p + row.length, p + max_line_bytes, col).ptr;
  if (!pattern) {
    *p++ = ' ';
    *p++ = '1';
  }
  *p++ = '\n';
  b.used = static_cast<std::size_t>(p - b.text.data());
}

// Writes the rows-of matrix: row r holds columns r, r + s, r + 2s, ...
// (wrapping past the last column), s = rows / K, which are K distinct columns
// spread over the whole row.
void write_rows_of(TextBuffer& b, const KnownMatrix& m, bool pattern) {
  const std::int64_t n = m.rows;
  if (m.width == 0) return;
  const std::int64_t stride = n / m.width;
  for (std::int64_t r = 0; r < n; ++r) {
    const RowText row = row_text(r + 1);
    std::int64_t col = r;
    for (std::int64_t j = 0; j < m.width; ++j) {
      put_entry(b, row, col + 1, pattern);
      col += stride;
      if (col >= n) col -= n;
    }
  }
}

// Writes the band: row i holds columns i - B to i + B within the matrix, or
// only those up to i (the lower triangle) in a symmetric Matrix Market file.
void write_band(TextBuffer& b, const KnownMatrix& m, bool lower_only) {
  const std::int64_t n = m.rows;
  for (std::int64_t i = 1; i <= n; ++i) {
    const RowText row = row_text(i);
    const std::int64_t last = lower_only ? i : std::min(n, i + m.width);
    for (std::int64_t col = std::max<std::int64_t>(1, i - m.width); col <= last; ++col) {
      put_entry(b, row, col, lower_only);
    }
  }
}

}  // namespace

bool parse_known_kind(const std::string& name, KnownKind& kind) {
  if (name == "rows-of")
    kind = KnownKind::rows_of;
  else if (name == "band")
    kind = KnownKind::band;
  else
    return false;
  return true;
}

std::int64_t known_width_limit(KnownKind kind, std::int32_t rows) {
  return kind == KnownKind::rows_of ? rows : std::int64_t{rows} - 1;
}

std::int64_t known_file_entries(const KnownMatrix& m, bool matrix_market) {
  const std::int64_t n = m.rows;
  if (m.kind == KnownKind::rows_of) return n * m.width;
  // Entries left of the diagonal: min(i - 1, B) summed over the rows i.
  const std::int64_t b = m.width;
  const std::int64_t below = b * (b + 1) / 2 + (n - 1 - b) * b;
  return n + (matrix_market ? below : 2 * below);
}

std::int64_t known_row_sum(const KnownMatrix& m, std::int64_t row) {
  if (m.kind == KnownKind::rows_of) return m.width;
  const std::int64_t left = std::min<std::int64_t>(row - 1, m.width);
  const std::int64_t right = std::min<std::int64_t>(m.rows - row, m.width);
  return left + 1 + right;
}

bool write_known_matrix(std::FILE* out, const KnownMatrix& m, bool matrix_market) {
  TextBuffer b = make_buffer(out);
  char line[max_line_bytes * 2];
  int length = 0;
  if (matrix_market) {
    const char* symmetry = m.kind == KnownKind::band ? "symmetric" : "general";
    length = std::snprintf(line, sizeof line, "%%%%MatrixMarket matrix coordinate pattern %s\n",
                           symmetry);
    put_text(b, line, static_cast<std::size_t>(length));
  }
  length = std::snprintf(line, sizeof line, "%d %d %lld\n", m.rows, m.rows,
                         static_cast<long long>(known_file_entries(m, matrix_market)));
  put_text(b, line, static_cast<std::size_t>(length));
  if (m.kind == KnownKind::rows_of)
    write_rows_of(b, m, matrix_market);
  else
    write_band(b, m, matrix_market);
  return finish(b);
}

bool write_known_product(std::FILE* out, const KnownMatrix& m) {
  TextBuffer b = make_buffer(out);
  // Neighbouring rows mostly share their sum, so its text is made only when
  // the sum changes.
  std::int64_t last_sum = -1;
  char text[max_line_bytes];
  std::size_t length = 0;
  for (std::int64_t i = 1; i <= m.rows; ++i) {
    const std::int64_t sum = known_row_sum(m, i);
    if (sum != last_sum) {
      length = static_cast<std::size_t>(
          std::snprintf(text, sizeof text, "%Le\n", static_cast<spmv::Extended>(sum)));
      last_sum = sum;
    }
    put_text(b, text, length);
  }
  return finish(b);
}

std::string known_product_digest(const KnownMatrix& m) {
  std::uint64_t hash = spmv::digest_start;
  for (std::int64_t i = 1; i <= m.rows; ++i) {
    hash = spmv::digest_add(hash, static_cast<spmv::Extended>(known_row_sum(m, i)));
  }
  return spmv::digest_text(hash);
}
