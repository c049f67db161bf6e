// First pass: newlines counted 16 bytes at a time, one part of the file per
// thread, stopping at the first overlong line.
#include "read/line_count.hpp"

#include <emmintrin.h>
#include <omp.h>
#include <string.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/allocation.hpp"
#include "read/messages.hpp"
#include "read/progress.hpp"

namespace spmv {

namespace {

// Most parts a file is split into, whatever the thread count.
constexpr std::int64_t max_parts = 256;

// Splits [0, bytes) into parts of at least min_part_bytes, one per thread.
std::vector<std::int64_t> split_file(std::int64_t bytes, std::int32_t thread_count,
                                     const ReadOptions& options) {
  std::int64_t parts = std::min<std::int64_t>(
      thread_count, bytes / std::max<std::int64_t>(options.min_part_bytes, 1));
  if (options.parts_limited_by_cores) parts = std::min<std::int64_t>(parts, omp_get_num_procs());
  parts = std::clamp<std::int64_t>(parts, 1, max_parts);
  std::vector<std::int64_t> begin(static_cast<std::size_t>(parts));
  for (std::int64_t p = 0; p < parts; ++p) begin[static_cast<std::size_t>(p)] = bytes * p / parts;
  return begin;
}

}  // namespace

// Counts the newlines in [begin, end) of the file, a block at a time; blocks of
// at most max_line_bytes keep every overlong stretch across a block boundary,
// where `run` sees it.
PartCount count_part(int fd, std::int64_t begin, std::int64_t end, std::size_t block_bytes,
                     ReadProgress* progress) {
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
    if (progress != nullptr) progress->add(got);
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

// Joins the counts of the parts, noting where each part's count starts.
JoinedCount join_parts(const std::vector<PartCount>& parts, std::vector<std::int64_t>& before) {
  const auto limit = static_cast<std::int64_t>(max_line_bytes);
  JoinedCount joined;
  joined.parts_to_read = parts.size();
  before.assign(parts.size(), 0);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const PartCount& part = parts[i];
    before[i] = joined.newlines;
    if (joined.tail + part.lead > limit) {
      joined.long_line = joined.newlines + 1;
      joined.parts_to_read = i;
      return joined;
    }
    if (part.long_after >= 0) {
      joined.long_line = joined.newlines + part.long_after + 1;
      joined.parts_to_read = i + 1;
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

std::int64_t count_newlines_in(const char* text, std::size_t bytes) {
  // 16 bytes at a time: each byte of `hits` counts the newlines in its lane
  // (subtracting the all-ones compare result adds 1), and is folded into the
  // total before it can reach 256.
  constexpr std::size_t max_rounds = 255;  // a byte lane holds at most 255 hits
  const __m128i newline = _mm_set1_epi8('\n');
  std::int64_t total = 0;
  std::size_t i = 0;
  while (bytes - i >= 16) {
    const std::size_t rounds = std::min<std::size_t>((bytes - i) / 16, max_rounds);
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
  return count_lines(MatrixSource{path, path}, thread_count, options);
}

Outcome<LineCount> count_lines(const MatrixSource& source, std::int32_t thread_count,
                               const ReadOptions& options) {
  Outcome<LineCount> outcome;
  FileDescriptor file;
  LineCount& count = outcome.value;
  const std::string& path = source.name;
  if ((outcome.failure = open_matrix_file(source.path, file, count.stamp))) return outcome;
  if ((outcome.failure = refuse_packed(file.fd, path))) return outcome;
  count.file_bytes = count.stamp.bytes;
  // This pass and the second each read the whole file.
  if (options.progress != nullptr) options.progress->expect(2 * count.file_bytes);
  count.part_begin = split_file(count.file_bytes, thread_count, options);
  const std::size_t parts = count.part_begin.size();
  std::vector<PartCount> counts(parts);
  // The whole team takes part, those without a part idle, so that the OpenMP
  // runtime keeps every thread it started for the run.
#pragma omp parallel for num_threads(thread_count) schedule(static, 1)
  for (std::size_t part = 0; part < parts; ++part) {
    const std::int64_t end = part + 1 < parts ? count.part_begin[part + 1] : count.file_bytes;
    counts[part] =
        count_part(file.fd, count.part_begin[part], end, options.block_bytes, options.progress);
  }
  outcome.failure = finish_line_count(counts, path, options.block_bytes, count);
  return outcome;
}

std::optional<Failure> finish_line_count(const std::vector<PartCount>& counts,
                                         const std::string& path, std::size_t block_bytes,
                                         LineCount& count) {
  for (const PartCount& part : counts) {
    count.bytes_scanned += part.scanned;
    if (part.error == ENOMEM) return buffer_failure(std::min(block_bytes, max_line_bytes));
    if (part.error != 0) {
      errno = part.error;
      return read_failure(path);
    }
  }
  const JoinedCount joined = join_parts(counts, count.newlines_before);
  count.long_line = joined.long_line;
  count.parts_to_read = joined.parts_to_read;
  count.lines = count.long_line > 0 ? count.long_line : joined.newlines + (joined.tail > 0 ? 1 : 0);
  return std::nullopt;
}

}  // namespace spmv
