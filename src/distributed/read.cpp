// The distributed read: line counts joined across ranks, the header shared,
// every rank's parts parsed, one verdict for all, then the slot exchange.
#include "distributed/read.hpp"

#include <omp.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/allocation.hpp"
#include "base/memory_budget.hpp"
#include "distributed/failure.hpp"
#include "distributed/slots.hpp"
#include "read/header.hpp"
#include "read/line_count.hpp"
#include "read/matrix_file.hpp"
#include "read/messages.hpp"
#include "read/parts.hpp"
#include "read/range.hpp"
#include "read/read_state.hpp"
#include "read/second_pass.hpp"
#include "read/text_fields.hpp"

namespace spmv {

namespace {

// The facts of the banner and header that rank 0 reads for every rank.
struct HeaderFacts {
  MatrixShape shape;            // header rows, columns and result length
  std::int64_t declared = 0;    // entries the header declares
  std::int64_t row_limit = 0;   // rows run from 1 to this
  std::int64_t line = 0;        // the header's line number
  std::int64_t header_end = 0;  // file offset just past the header line
  FileForm form;                // plain or Matrix Market, its field and symmetry
};

// How one part's reader ended, as every rank learns it.
struct PartResult {
  std::int64_t entries = 0;  // entry lines read
  std::int64_t slots = 0;    // slots filled
  std::int64_t refused = 0;  // 1 when the reader refused a line
};

// The ranks and threads of the read.
struct Team {
  MPI_Comm comm;
  int rank = 0;
  int ranks = 1;
  std::int32_t threads = 1;
  std::size_t parts() const { return static_cast<std::size_t>(ranks) * threads; }
  std::size_t first_part() const { return static_cast<std::size_t>(rank) * threads; }
};

// Every rank's counts of its own parts, gathered on every rank.
template <typename T>
std::vector<T> gather_parts(const Team& team, const std::vector<T>& mine) {
  std::vector<T> all(team.parts());
  const int bytes = static_cast<int>(mine.size() * sizeof(T));
  MPI_Allgather(mine.data(), bytes, MPI_BYTE, all.data(), bytes, MPI_BYTE, team.comm);
  return all;
}

// First pass: each rank counts the newlines of its parts; the counts are
// joined on every rank as one process would join them.
std::optional<Failure> count_distributed(const Team& team, int fd, const std::string& path,
                                         const ReadOptions& options, LineCount& count) {
  const std::size_t parts = team.parts();
  count.part_begin.resize(parts);
  for (std::size_t p = 0; p < parts; ++p) {
    count.part_begin[p] =
        count.file_bytes * static_cast<std::int64_t>(p) / static_cast<std::int64_t>(parts);
  }
  std::vector<PartCount> mine(static_cast<std::size_t>(team.threads));
#pragma omp parallel for num_threads(team.threads) schedule(static, 1)
  for (std::size_t i = 0; i < mine.size(); ++i) {
    const std::size_t p = team.first_part() + i;
    const std::int64_t end = p + 1 < parts ? count.part_begin[p + 1] : count.file_bytes;
    mine[i] = count_part(fd, count.part_begin[p], end, options.block_bytes);
  }
  return finish_line_count(gather_parts(team, mine), path, options.block_bytes, count);
}

// Rank 0 reads the banner, comments and header, a block at a time; every
// rank gets their facts, or the refusal.
std::optional<Failure> share_header(const Team& team, int fd, const ReadSetting& setting,
                                    HeaderFacts& facts, std::size_t block_bytes) {
  std::optional<Failure> failure;
  if (team.rank == 0) {
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
      failure = std::move(header.failure);
    } else if (!header.format.header_seen) {
      failure = file_failure(setting.path, 0, "no header line: the file holds no numbers");
    } else {
      const EntryFormat& f = header.format;
      facts =
          HeaderFacts{none.shape, f.declared, f.row_limit, header.line, header.header_end, f.form};
    }
  }
  if (auto agreed = agree_on_failure(team.comm, failure)) return agreed;
  MPI_Bcast(&facts, sizeof facts, MPI_BYTE, 0, team.comm);
  return std::nullopt;
}

// The entry format and header state that the facts describe.
EntryFormat format_of(const HeaderFacts& facts) {
  EntryFormat format;
  format.form = facts.form;
  format.header_seen = true;
  format.row_limit = static_cast<std::int32_t>(facts.row_limit);
  format.declared = facts.declared;
  return format;
}

// The part whose reader the verdict names, and how: a refusal, or the entry
// past the declared count.
struct Verdict {
  std::int64_t part = -1;         // the part, -1 when the file is whole
  std::int64_t entry_limit = -1;  // >= 0: the part holds the entry past the declared count
  std::int64_t entries = 0;       // entries of the whole file, when whole
  std::int64_t slots_before = 0;  // slots of the parts before this rank's first
  std::int64_t total_slots = 0;   // slots of the whole file, when whole
};

// What a sequential read would conclude, from every part's result in file
// order: the first part that holds an entry past the declared count or a
// refused line, whichever comes first.
Verdict judge(const Team& team, const std::vector<PartResult>& results, std::int64_t declared) {
  Verdict verdict;
  std::int64_t entries = 0;
  for (std::size_t p = 0; p < results.size(); ++p) {
    if (p == team.first_part()) verdict.slots_before = verdict.total_slots;
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

// The refusal of the part the verdict names, on the rank that read it.
std::optional<Failure> refusal_of(const Team& team, const Verdict& verdict, int fd,
                                  const PartReaders& fresh, const PartReaders& done,
                                  const ReadOptions& options) {
  const auto i = static_cast<std::size_t>(verdict.part) - team.first_part();
  if (verdict.entry_limit < 0) return done.readers[i].failure;
  // Read the part again, allowed only the entries up to the declared count,
  // so that the line past it is refused as a sequential read refuses it.
  ReadState again = fresh.readers[i];
  again.run.entry_limit = verdict.entry_limit;
  if (read_range(fd, fresh.starts[i], fresh.ends[i], again, options.block_bytes)) {
    return file_failure(again.setting.path, 0, "the file changed while it was being read");
  }
  return again.failure;
}

// Second pass on this rank: its parts' readers into one run of slots.
Outcome<RankShare> read_parts(const Team& team, int fd, const LineCount& count,
                              const ReadSetting& setting, const HeaderFacts& facts,
                              const ReadOptions& options) {
  Outcome<RankShare> outcome;
  CooMatrix& share = outcome.value.share;
  share.shape = facts.shape;
  ReadState header{.setting = setting,
                   .matrix = share,
                   .format = format_of(facts),
                   .run = {},
                   .line = facts.line,
                   .stop_after_header = false,
                   .header_end = 0,
                   .failure = std::nullopt};
  const std::int64_t per_entry = slots_per_entry(header.format);
  // This rank's parts, up to the overlong line, and the lines that start in them.
  const std::size_t first = std::min(team.first_part(), count.parts_to_read);
  const std::size_t last =
      std::min(first + static_cast<std::size_t>(team.threads), count.parts_to_read);
  std::optional<Failure> failure;
  std::int64_t first_line = 0;
  std::int64_t end_line = count.lines;
  std::int64_t start = 0;
  if (first < last) {
    locate_part(fd, count, first, facts.header_end, header, start, first_line, failure);
    if (!failure && last < count.parts_to_read) {
      locate_part(fd, count, last, facts.header_end, header, start, end_line, failure);
    }
  }
  const std::int64_t capacity =
      first < last ? per_entry * std::max<std::int64_t>(end_line - first_line, 0) : 0;
  // Room for the parsed slots and for this rank's share after the exchange.
  // The entries are at most the lines after the header: a header may declare
  // more where an overlong line stops the count, and the file is refused there.
  const std::int64_t entries_bound =
      std::min(facts.declared, std::max<std::int64_t>(count.lines - facts.line, 0));
  const std::int64_t share_bound =
      (per_entry * entries_bound / static_cast<std::int64_t>(team.parts()) + 1) * team.threads;
  const std::string share_text = count_of(capacity, "slot", "slots") + " as read, up to " +
                                 std::to_string(share_bound) + " after the exchange";
  if (!failure) {
    failure = on_this_rank(
        team.comm, check_run_memory(vector_lengths(share), capacity + share_bound, team.threads),
        share_text);
  }
  if (!failure) {
    const auto slots = static_cast<std::size_t>(capacity);
    share.row_index = try_allocate<std::int32_t>(slots);
    share.col_index = try_allocate<std::int32_t>(slots);
    share.value = try_allocate<Extended>(slots);
    if (!share.row_index || !share.col_index || !share.value) {
      failure = on_this_rank(
          team.comm, memory_failure(vector_lengths(share), capacity, team.threads), share_text);
    }
  }
  if ((outcome.failure = agree_on_failure(team.comm, failure))) return outcome;

  PartReaders readers;
  if (place_readers(fd, count, first, last, facts.header_end, header, capacity, readers) !=
      nullptr) {
    failure = file_failure(setting.path, 0, "the file changed while it was being read");
    for (const ReadState& reader : readers.readers) {
      if (reader.failure) failure = reader.failure;
    }
  }
  if ((outcome.failure = agree_on_failure(team.comm, failure))) return outcome;
  const PartReaders fresh = readers;
  const std::vector<char> succeeded = run_readers(fd, readers, options);
  std::vector<PartResult> mine(static_cast<std::size_t>(team.threads));
  for (std::size_t i = 0; i < readers.readers.size(); ++i) {
    mine[i] = PartResult{readers.readers[i].run.entries, readers.readers[i].run.slots,
                         succeeded[i] ? 0 : 1};
  }
  const std::vector<PartResult> results = gather_parts(team, mine);
  const Verdict verdict = judge(team, results, facts.declared);
  if (verdict.part >= 0) {
    const int owner = static_cast<int>(verdict.part / team.threads);
    if (owner == team.rank) failure = refusal_of(team, verdict, fd, fresh, readers, options);
    outcome.failure = share_failure(team.comm, owner, failure);
    return outcome;
  }
  if (verdict.entries < facts.declared) {
    outcome.failure =
        file_failure(setting.path, 0,
                     "the file holds " + count_of(verdict.entries, "entry", "entries") +
                         ", but the header declares " + std::to_string(facts.declared));
    return outcome;
  }
  std::int64_t entries = 0;
  const std::int64_t stored = compact_runs(readers, readers.readers.size(), share, entries);
  share.nnz = static_cast<std::int32_t>(stored);
  outcome.value.total_slots = verdict.total_slots;
  outcome.value.share_begin = verdict.slots_before;
  return outcome;
}

}  // namespace

Outcome<RankShare> read_distributed(MPI_Comm comm, const std::string& path,
                                    std::int32_t thread_count, const ReadOptions& options) {
  Team team{comm, 0, 1, thread_count};
  MPI_Comm_rank(comm, &team.rank);
  MPI_Comm_size(comm, &team.ranks);
  Outcome<RankShare> outcome;
  const double start = omp_get_wtime();
  FileDescriptor file;
  FileStamp stamp;
  std::optional<Failure> failure = open_matrix_file(path, file, stamp);
  if (!failure && team.rank == 0) failure = refuse_packed(file.fd, path);
  if ((outcome.failure = agree_on_failure(comm, failure))) return outcome;
  // Every rank plans the parts of the file from rank 0's size; a rank that
  // sees another size sees another version of the file.
  LineCount count;
  count.file_bytes = stamp.bytes;
  MPI_Bcast(&count.file_bytes, 1, MPI_INT64_T, 0, comm);
  count.stamp = stamp;
  // Every rank counts, whatever it found: the count gathers from all ranks.
  failure = count_distributed(team, file.fd, path, options, count);
  if (count.file_bytes != stamp.bytes) {
    failure = file_failure(path, 0, "the file changed while it was being read");
  }
  if ((outcome.failure = agree_on_failure(comm, failure))) return outcome;
  const double counted = omp_get_wtime();

  const ReadSetting setting{.path = path,
                            .line_count = count.lines,
                            .long_line = count.long_line,
                            .thread_count = thread_count,
                            .fast_values = fast_values_exact(),
                            .defer_arrays = true};
  HeaderFacts facts;
  if ((outcome.failure = share_header(team, file.fd, setting, facts, options.block_bytes))) {
    return outcome;
  }
  outcome = read_parts(team, file.fd, count, setting, facts, options);
  // Whatever the verdict, it means nothing if the file changed under it.
  const auto changed = agree_on_failure(comm, check_unchanged(file.fd, path, stamp));
  if (changed) outcome.failure = changed;
  if (outcome.failure) return outcome;
  if ((outcome.failure = exchange_slots(comm, thread_count, outcome.value))) return outcome;
  ReadReport& report = outcome.value.report;
  report.readers = static_cast<std::int32_t>(team.parts());
  report.first_pass_seconds = counted - start;
  report.second_pass_seconds = omp_get_wtime() - counted;
  describe_form(format_of(facts), count.file_bytes, report);
  return outcome;
}

}  // namespace spmv
