// Diagnostic dump: the matrix, the input vector and the result as text.
#include "report/verbose_dump.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <vector>

namespace spmv {

namespace {

// Pending text handed to the stream in one write.
constexpr std::size_t flush_bytes = std::size_t{1} << 16;

// Longest formatted line ("%d %d %Le \n" is at most 50 bytes).
constexpr std::size_t max_line_text = 128;

void flush(DumpBuffer& buffer) {
  if (!buffer.text.empty()) std::fwrite(buffer.text.data(), 1, buffer.text.size(), buffer.out);
  buffer.text.clear();
}

[[gnu::format(printf, 2, 3)]] void append(DumpBuffer& buffer, const char* format, ...) {
  char line[max_line_text];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length < 0) {  // nothing usable in line; dump_run reports it
    if (buffer.format_error == 0) buffer.format_error = errno != 0 ? errno : EILSEQ;
    return;
  }
  buffer.text.insert(buffer.text.end(), line, line + std::min<int>(length, sizeof line - 1));
  if (buffer.text.size() >= flush_bytes) flush(buffer);
}

}  // namespace

DumpBuffer begin_dump(std::FILE* out, const std::string& matrix_path) {
  DumpBuffer buffer{out, {}};
  buffer.text.reserve(flush_bytes + max_line_text);
  std::fprintf(out, "INPUT MATRIX TAKEN FROM: %s\n\n", matrix_path.c_str());
  return buffer;
}

void dump_slots(DumpBuffer& buffer, const std::int32_t* rows, const std::int32_t* cols,
                const Extended* values, std::int64_t count) {
  for (std::int64_t k = 0; k < count; ++k) {
    append(buffer, "%d %d %Le \n", rows[k], cols[k], values != nullptr ? values[k] : Extended{1});
  }
}

int end_dump(DumpBuffer& buffer, const InputVector& input, const ResultVector& result) {
  append(buffer, "Vector to be Multiplied\n\n");
  for (std::int32_t i = 0; i < input.n; ++i) append(buffer, "%d\n", input.element[i]);
  append(buffer, "Resulting Vector\n\n");
  for (std::int32_t i = 0; i < result.n; ++i) append(buffer, "%Le\n", result.element[i]);
  flush(buffer);
  std::fflush(buffer.out);
  if (buffer.format_error == 0) return 0;
  errno = buffer.format_error;
  return buffer.format_error;
}

int dump_run(std::FILE* out, const RunConfig& config, const CooMatrix& matrix,
             const InputVector& input, const ResultVector& result) {
  DumpBuffer buffer = begin_dump(out, config.matrix_path);
  dump_slots(buffer, matrix.row_index.get(), matrix.col_index.get(), matrix.value.get(),
             matrix.nnz);
  return end_dump(buffer, input, result);
}

}  // namespace spmv
