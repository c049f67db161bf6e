// The second pass: the parallel read where it can be had, else one reader
// over the whole file, and the check that the file did not change meanwhile.
#include "read/second_pass.hpp"

#include <cstdint>

#include "read/matrix_file.hpp"
#include "read/messages.hpp"
#include "read/parts.hpp"
#include "read/progress.hpp"
#include "read/range.hpp"
#include "read/read_state.hpp"
#include "read/text_fields.hpp"

namespace spmv {

namespace {

// The whole second pass on one thread: header, then every entry.
bool read_sequentially(int fd, ReadState& state, const ReadOptions& options) {
  if (!read_range(fd, 0, INT64_MAX, state, options.block_bytes, options.progress)) return false;
  if (!state.format.header_seen) {
    state.failure =
        file_failure(state.setting.path, 0, "no header line: the file holds no numbers");
    return false;
  }
  if (state.run.entries < state.format.declared) {
    state.failure =
        missing_entries_failure(state.setting.path, state.run.entries, state.format.declared);
    return false;
  }
  state.matrix.nnz = state.run.slots;
  return true;
}

}  // namespace

void describe_form(const FileForm& form, std::int64_t declared, std::int64_t bytes,
                   ReadReport& how) {
  how.file_bytes = bytes;
  how.form = form;
  how.stored_entries = declared;
}

Failure missing_entries_failure(const std::string& path, std::int64_t entries,
                                std::int64_t declared) {
  return file_failure(path, 0,
                      "the file holds " + count_of(entries, "entry", "entries") +
                          ", but the header declares " + std::to_string(declared));
}

Outcome<CooMatrix> read_entries(const std::string& path, const LineCount& count,
                                std::int32_t thread_count, const ReadOptions& options,
                                ReadReport* report) {
  return read_entries(MatrixSource{path, path}, count, thread_count, options, report);
}

Outcome<CooMatrix> read_entries(const MatrixSource& source, const LineCount& count,
                                std::int32_t thread_count, const ReadOptions& options,
                                ReadReport* report) {
  Outcome<CooMatrix> outcome;
  ReadReport local_report;
  ReadReport& how = report != nullptr ? *report : local_report;
  how = ReadReport{};
  how.scan_path = options.scan_path;
  FileDescriptor file;
  FileStamp opened;
  const std::string& path = source.name;
  if ((outcome.failure = open_matrix_file(source.path, file, opened))) return outcome;
  const ReadSetting setting{.path = path,
                            .line_count = count.lines,
                            .long_line = count.long_line,
                            .thread_count = thread_count,
                            .fast_values = fast_values_exact(),
                            .scan_path = options.scan_path,
                            .kept_bytes = options.kept_bytes};
  const ReadState fresh{.setting = setting,
                        .matrix = outcome.value,
                        .format = {},
                        .run = {},
                        .line = 0,
                        .stop_after_header = false,
                        .failure = std::nullopt};
  bool done = false;
  EntryFormat format;
  if (count.part_begin.size() > 1) {
    ReadState header = fresh;
    const char* fallback = try_read_in_parts(file.fd, opened.bytes, count, header, options);
    if (header.failure) {
      outcome.failure = std::move(header.failure);  // the header, refused as one reader would
    } else if (fallback == nullptr) {
      how.readers = static_cast<std::int32_t>(count.part_begin.size());
      how.scanned_lines = header.run.scanned;
      format = header.format;
      done = true;
    } else {
      how.fallback = fallback;
      if (options.progress != nullptr) options.progress->expect(opened.bytes);  // read again
      outcome.value = CooMatrix{};  // the sequential reader starts afresh
    }
  }
  if (!done && !outcome.failure) {
    ReadState state = fresh;
    how.readers = 1;
    if (!read_sequentially(file.fd, state, options)) {
      outcome.failure = std::move(state.failure);
    }
    how.scanned_lines = state.run.scanned;
    format = state.format;
  }
  describe_form(format.form, format.declared, opened.bytes, how);
  // Whatever the verdict, it means nothing if the file changed under it.
  if (auto changed = check_unchanged(file.fd, path, count.stamp)) outcome.failure = changed;
  if (outcome.failure) outcome.value = CooMatrix{};
  return outcome;
}

}  // namespace spmv
