// The parallel second pass: readers that place their entries by line number,
// each in its own run of slots, then one compaction.
#include "read/parts.hpp"

#include <cstring>
#include <vector>

#include "read/matrix_file.hpp"
#include "read/messages.hpp"
#include "read/range.hpp"

namespace spmv {

namespace {

// Bytes read at a time while looking for the first line start of a part.
constexpr std::size_t line_start_chunk_bytes = 4096;

// Where one parallel reader starts: the first line start at or after `at`,
// and how many newlines lie between `at` and it (0 or 1).
bool find_line_start(int fd, std::int64_t at, const std::string& path, std::int64_t& start,
                     std::int64_t& skipped_newlines, std::optional<Failure>& failure) {
  start = at;
  skipped_newlines = 0;
  if (at == 0) return true;
  char chunk[line_start_chunk_bytes];
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
  PartReaders team;
  if (const char* surprise = place_readers(fd, count, 0, parts, header_end, header,
                                           header.format.slot_capacity, team)) {
    return surprise;
  }
  const std::vector<char> succeeded = run_readers(fd, team, options);
  for (std::size_t part = 0; part < parts; ++part) {
    if (!succeeded[part]) return "a reader refused a line";
    header.run.scanned += team.readers[part].run.scanned;
  }
  std::int64_t entries = 0;
  const std::int64_t stored = compact_runs(team, parts, header.matrix, entries);
  if (entries != header.format.declared) return "the readers found another number of entries";
  header.matrix.nnz = stored;
  return nullptr;
}

}  // namespace

bool locate_part(int fd, const LineCount& count, std::size_t part, std::int64_t header_end,
                 const ReadState& header, std::int64_t& start, std::int64_t& line,
                 std::optional<Failure>& failure) {
  line = header.line;
  start = header_end;
  if (part >= count.part_begin.size()) {
    start = count.file_bytes;
    line = count.lines;
    return true;
  }
  if (count.part_begin[part] <= header_end) return true;
  std::int64_t skipped = 0;
  if (!find_line_start(fd, count.part_begin[part], header.setting.path, start, skipped, failure)) {
    return false;
  }
  // A part with no line start after it, inside an unterminated last line,
  // stands after every line, so that the reader before it may fill the slots
  // of that line.
  line = start >= count.file_bytes ? count.lines : count.newlines_before[part] + skipped;
  return true;
}

const char* place_readers(int fd, const LineCount& count, std::size_t first, std::size_t last,
                          std::int64_t header_end, const ReadState& header, std::int64_t slot_end,
                          PartReaders& team) {
  const std::int64_t per_entry = slots_per_entry(header.format);
  const std::size_t parts = count.part_begin.size();
  team.readers.clear();
  team.readers.reserve(last - first);
  for (std::size_t i = first; i < last; ++i) team.readers.push_back(header);
  team.starts.assign(last - first, count.file_bytes);
  team.ends.assign(last - first, count.file_bytes);
  std::int64_t origin = 0;  // lines before the first reader's first line
  for (std::size_t i = 0; i < last - first; ++i) {
    const std::size_t part = first + i;
    ReadState& reader = team.readers[i];
    if (!locate_part(fd, count, part, header_end, header, team.starts[i], reader.line,
                     reader.failure)) {
      return "a reader could not find its first line";
    }
    if (i == 0) origin = reader.line;
    reader.run.slot_base = per_entry * (reader.line - origin);
    team.ends[i] = part + 1 < parts ? count.part_begin[part + 1] : count.file_bytes;
  }
  // Each reader's slots run up to the next reader's first slot, so that no
  // two readers ever share a slot, even in a file that changed since the
  // first pass.
  for (std::size_t i = 0; i < team.readers.size(); ++i) {
    const std::int64_t next_base =
        i + 1 < team.readers.size() ? team.readers[i + 1].run.slot_base : slot_end;
    team.readers[i].run.entry_limit = (next_base - team.readers[i].run.slot_base) / per_entry;
    if (team.readers[i].run.slot_base < 0 || team.readers[i].run.entry_limit < 0) {
      return "the parts no longer match the lines of the file";
    }
  }
  return nullptr;
}

std::vector<char> run_readers(int fd, PartReaders& team, const ReadOptions& options) {
  const std::size_t parts = team.readers.size();
  std::vector<char> succeeded(parts, 0);
  if (parts == 0) return succeeded;
    // The whole team takes part, as in the first pass, so that no thread of the
    // run is given up and started again.
#pragma omp parallel for num_threads(team.readers[0].setting.thread_count) schedule(static, 1)
  for (std::size_t part = 0; part < parts; ++part) {
    succeeded[part] = team.starts[part] >= team.ends[part] ||
                      read_range(fd, team.starts[part], team.ends[part], team.readers[part],
                                 options.block_bytes, options.progress);
  }
  return succeeded;
}

void move_slots(CooMatrix& m, std::int64_t from, std::int64_t count, std::int64_t to) {
  if (from == to || count == 0) return;
  const auto bytes = static_cast<std::size_t>(count);
  const auto source = static_cast<std::size_t>(from);
  const auto target = static_cast<std::size_t>(to);
  std::memmove(&m.row_index[target], &m.row_index[source], bytes * sizeof(std::int32_t));
  std::memmove(&m.col_index[target], &m.col_index[source], bytes * sizeof(std::int32_t));
  if (!m.unit_values) std::memmove(&m.value[target], &m.value[source], bytes * sizeof(Extended));
}

std::int64_t compact_runs(const PartReaders& team, std::size_t parts, CooMatrix& m,
                          std::int64_t& entries) {
  std::int64_t stored = 0;
  entries = 0;
  for (std::size_t part = 0; part < parts; ++part) {
    const ReadState& reader = team.readers[part];
    move_slots(m, reader.run.slot_base, reader.run.slots, stored);
    stored += reader.run.slots;
    entries += reader.run.entries;
  }
  return stored;
}

const char* try_read_in_parts(int fd, std::int64_t bytes, const LineCount& count, ReadState& header,
                              const ReadOptions& options) {
  if (count.long_line > 0) return "the first pass found an overlong line";
  if (bytes != count.file_bytes) return "the file's size changed since the first pass";
  const std::int64_t header_end = read_header(fd, header);
  if (header_end < 0) return "the header was refused";
  if (header_end == 0) return "the first 64 KiB hold no complete header line";
  if (header.format.slot_capacity < slots_per_entry(header.format) * (count.lines - header.line)) {
    return "more blank lines than spare slots";
  }
  return read_in_parts(fd, count, header_end, header, options);
}

}  // namespace spmv
