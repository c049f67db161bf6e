// The steps of a read split among processes: the header alone, byte ranges
// read into runs of slots, and the verdict on the parts' results.
#include <algorithm>

#include "read/coo_matrix.hpp"
#include "read/messages.hpp"
#include "read/parts.hpp"
#include "read/range.hpp"
#include "read/read_state.hpp"
#include "read/text_fields.hpp"

namespace spmv {

namespace {

// The setting of a split read: every process checks memory for, and
// allocates, its own share, so the header allocates nothing.
ReadSetting split_setting(const std::string& path, const LineCount& count,
                          std::int32_t thread_count, ScanPath scan_path = ScanPath::baseline) {
  return ReadSetting{.path = path,
                     .line_count = count.lines,
                     .long_line = count.long_line,
                     .thread_count = thread_count,
                     .fast_values = fast_values_exact(),
                     .scan_path = scan_path,
                     .defer_arrays = true};
}

// A reader that stands just past the header that `header` describes, its
// entries going into m.
ReadState after_header(const ReadSetting& setting, CooMatrix& m, const FileHeader& header) {
  EntryFormat format;
  format.form = header.form;
  format.header_seen = true;
  format.row_limit = header.form.format == FileFormat::matrix_market ? header.shape.header_rows
                                                                     : header.shape.columns;
  format.declared = header.declared;
  return ReadState{.setting = setting,
                   .matrix = m,
                   .format = format,
                   .run = {},
                   .line = header.line,
                   .stop_after_header = false,
                   .header_end = 0,
                   .failure = std::nullopt};
}

}  // namespace

std::int64_t slots_per_entry(const FileForm& form) {
  return form.symmetry != Symmetry::general ? 2 : 1;
}

Outcome<FileHeader> read_file_header(int fd, const std::string& path, const LineCount& count,
                                     std::int32_t thread_count, std::size_t block_bytes) {
  Outcome<FileHeader> outcome;
  const ReadSetting setting = split_setting(path, count, thread_count);
  CooMatrix none;
  ReadState header{.setting = setting,
                   .matrix = none,
                   .format = {},
                   .run = {},
                   .line = 0,
                   .stop_after_header = true,
                   .header_end = 0,
                   .failure = std::nullopt};
  if (!read_range(fd, 0, INT64_MAX, header, block_bytes)) {
    outcome.failure = std::move(header.failure);
  } else if (!header.format.header_seen) {
    outcome.failure = file_failure(path, 0, "no header line: the file holds no numbers");
  } else {
    outcome.value = FileHeader{none.shape, header.format.form, header.format.declared, header.line,
                               header.header_end};
  }
  return outcome;
}

Outcome<std::int64_t> lines_of_parts(int fd, const std::string& path, const LineCount& count,
                                     const FileHeader& header, std::size_t first,
                                     std::size_t last) {
  Outcome<std::int64_t> outcome{0, std::nullopt};
  if (first >= last) return outcome;
  const ReadSetting setting = split_setting(path, count, 1);
  CooMatrix none;
  const ReadState reader = after_header(setting, none, header);
  std::int64_t start = 0;
  std::int64_t first_line = 0;
  std::int64_t end_line = count.lines;
  locate_part(fd, count, first, header.header_end, reader, start, first_line, outcome.failure);
  if (!outcome.failure && last < count.parts_to_read) {
    locate_part(fd, count, last, header.header_end, reader, start, end_line, outcome.failure);
  }
  outcome.value = std::max<std::int64_t>(end_line - first_line, 0);
  return outcome;
}

Outcome<std::vector<PartRun>> read_parts(int fd, const std::string& path, const LineCount& count,
                                         std::int32_t thread_count, const FileHeader& header,
                                         std::size_t first, std::size_t last, std::int64_t slot_end,
                                         CooMatrix& m, const ReadOptions& options) {
  Outcome<std::vector<PartRun>> outcome;
  const ReadSetting setting = split_setting(path, count, thread_count, options.scan_path);
  PartReaders readers;
  if (place_readers(fd, count, first, last, header.header_end, after_header(setting, m, header),
                    slot_end, readers) != nullptr) {
    outcome.failure = changed_file_failure(path);
    for (const ReadState& reader : readers.readers) {
      if (reader.failure) outcome.failure = reader.failure;
    }
    return outcome;
  }
  const std::vector<char> succeeded = run_readers(fd, readers, options);
  for (std::size_t i = 0; i < readers.readers.size(); ++i) {
    const ReadState& reader = readers.readers[i];
    outcome.value.push_back(PartRun{reader.run.slot_base, reader.run.entries, reader.run.slots,
                                    reader.run.scanned,
                                    succeeded[i] ? std::nullopt : reader.failure});
  }
  return outcome;
}

Failure refuse_past_declared(int fd, const std::string& path, const LineCount& count,
                             std::int32_t thread_count, const FileHeader& header, std::size_t part,
                             std::int64_t entries_allowed, CooMatrix& m,
                             const ReadOptions& options) {
  const ReadSetting setting = split_setting(path, count, thread_count, options.scan_path);
  PartReaders readers;
  const std::int64_t slot_end = slots_per_entry(header.form) * entries_allowed;
  if (place_readers(fd, count, part, part + 1, header.header_end, after_header(setting, m, header),
                    slot_end, readers) != nullptr) {
    const std::optional<Failure>& refused = readers.readers.back().failure;
    return refused ? *refused : changed_file_failure(path);
  }
  ReadState& again = readers.readers.front();
  again.run.entry_limit = entries_allowed;
  if (read_range(fd, readers.starts.front(), readers.ends.front(), again, options.block_bytes)) {
    return changed_file_failure(path);
  }
  return *again.failure;
}

void compact_part_runs(const std::vector<PartRun>& runs, CooMatrix& m) {
  std::int64_t stored = 0;
  for (const PartRun& run : runs) {
    move_slots(m, run.slot_base, run.slots, stored);
    stored += run.slots;
  }
  m.nnz = stored;
}

Verdict judge_parts(const std::vector<PartResult>& results, std::int64_t declared,
                    std::size_t first_part) {
  Verdict verdict;
  std::int64_t entries = 0;
  for (std::size_t p = 0; p < results.size(); ++p) {
    if (p == first_part) verdict.slots_before = verdict.total_slots;
    const PartResult& part = results[p];
    if (verdict.part < 0 && entries + part.entries > declared) {
      verdict.part = static_cast<std::int64_t>(p);
      verdict.entry_limit = declared - entries;
    } else if (verdict.part < 0 && part.refused != 0) {
      verdict.part = static_cast<std::int64_t>(p);
    }
    entries += part.entries;
    verdict.total_slots += part.slots;
  }
  verdict.entries = entries;
  return verdict;
}

}  // namespace spmv
