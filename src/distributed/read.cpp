// The distributed read: line counts joined across ranks, the header shared,
// every rank's parts parsed, one verdict for all, then the slot exchange.
#include "distributed/read.hpp"

#include <omp.h>

#include <algorithm>
#include <vector>

#include "base/allocation.hpp"
#include "base/memory_budget.hpp"
#include "distributed/failure.hpp"
#include "distributed/slots.hpp"
#include "read/coo_matrix.hpp"

namespace spmv {

namespace {

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
// rank gets what they say, or the refusal.
std::optional<Failure> share_header(const Team& team, int fd, const std::string& path,
                                    const LineCount& count, const ReadOptions& options,
                                    FileHeader& header) {
  std::optional<Failure> failure;
  if (team.rank == 0) {
    Outcome<FileHeader> read = read_file_header(fd, path, count, team.threads, options.block_bytes);
    failure = std::move(read.failure);
    header = read.value;
  }
  if (auto agreed = agree_on_failure(team.comm, failure)) return agreed;
  MPI_Bcast(&header, sizeof header, MPI_BYTE, 0, team.comm);
  return std::nullopt;
}

// Second pass on this rank: its parts' readers into one run of slots.
Outcome<RankShare> read_rank_parts(const Team& team, int fd, const std::string& path,
                                   const LineCount& count, const FileHeader& header,
                                   const ReadOptions& options) {
  Outcome<RankShare> outcome;
  CooMatrix& share = outcome.value.share;
  share.shape = header.shape;
  share.unit_values = holds_unit_values(header.form);
  const std::int64_t per_entry = slots_per_entry(header.form);
  // This rank's parts, up to the overlong line, and the lines that start in them.
  const std::size_t first = std::min(team.first_part(), count.parts_to_read);
  const std::size_t last =
      std::min(first + static_cast<std::size_t>(team.threads), count.parts_to_read);
  const Outcome<std::int64_t> lines = lines_of_parts(fd, path, count, header, first, last);
  std::optional<Failure> failure = lines.failure;
  const std::int64_t capacity = per_entry * lines.value;
  // Room for the parsed slots or for this rank's share after the exchange.
  // The entries are at most the lines after the header: a header may declare
  // more where an overlong line stops the count, and the file is refused there.
  const std::int64_t entries_bound =
      std::min(header.declared, std::max<std::int64_t>(count.lines - header.line, 0));
  // A rank's workers hold at most one slot more each than an even split, and
  // never more than the whole matrix.
  const std::int64_t share_bound = std::min(
      (per_entry * entries_bound / static_cast<std::int64_t>(team.parts()) + 1) * team.threads,
      per_entry * entries_bound);
  const std::string share_text = count_of(capacity, "slot", "slots") + " as read, up to " +
                                 std::to_string(share_bound) + " after the exchange";
  // One set of arrays serves both: the exchange keeps the parsed slots of this
  // rank's blocks in place and moves only the others.
  outcome.value.room = std::max(capacity, share_bound);
  if (!failure) {
    failure = on_this_rank(team.comm,
                           check_run_memory(vector_lengths(share),
                                            slot_arrays(share, outcome.value.room), team.threads),
                           share_text);
  }
  if (!failure && !allocate_slots(share, outcome.value.room)) {
    failure = on_this_rank(
        team.comm,
        memory_failure(vector_lengths(share), slot_arrays(share, outcome.value.room), team.threads),
        share_text);
  }
  if ((outcome.failure = agree_on_failure(team.comm, failure))) return outcome;

  Outcome<std::vector<PartRun>> runs =
      read_parts(fd, path, count, team.threads, header, first, last, capacity, share, options);
  if ((outcome.failure = agree_on_failure(team.comm, runs.failure))) return outcome;
  std::vector<PartResult> mine(static_cast<std::size_t>(team.threads));
  for (std::size_t i = 0; i < runs.value.size(); ++i) {
    const PartRun& run = runs.value[i];
    mine[i] = PartResult{run.entries, run.slots, run.failure ? 1 : 0, run.scanned};
  }
  const std::vector<PartResult> results = gather_parts(team, mine);
  const Verdict verdict = judge_parts(results, header.declared, team.first_part());
  if (verdict.part >= 0) {
    const int owner = static_cast<int>(verdict.part / team.threads);
    if (owner == team.rank) {
      const auto part = static_cast<std::size_t>(verdict.part);
      failure = verdict.entry_limit < 0
                    ? runs.value[part - team.first_part()].failure
                    : refuse_past_declared(fd, path, count, team.threads, header, part,
                                           verdict.entry_limit, share, options);
    }
    outcome.failure = share_failure(team.comm, owner, failure);
    return outcome;
  }
  if (verdict.entries < header.declared) {
    outcome.failure = missing_entries_failure(path, verdict.entries, header.declared);
    return outcome;
  }
  compact_part_runs(runs.value, share);
  // The lines scanned in the whole file, the same on every rank.
  for (const PartResult& result : results) outcome.value.report.scanned_lines += result.scanned;
  outcome.value.total_slots = verdict.total_slots;
  outcome.value.share_begin = verdict.slots_before;
  return outcome;
}

}  // namespace

Outcome<RankShare> read_distributed(MPI_Comm comm, const std::string& path,
                                    std::int32_t thread_count, std::int64_t piece_slots,
                                    const ReadOptions& options) {
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
    failure = changed_file_failure(path);
  }
  if ((outcome.failure = agree_on_failure(comm, failure))) return outcome;
  const double counted = omp_get_wtime();

  FileHeader header;
  if ((outcome.failure = share_header(team, file.fd, path, count, options, header))) {
    return outcome;
  }
  outcome = read_rank_parts(team, file.fd, path, count, header, options);
  // Whatever the verdict, it means nothing if the file changed under it.
  const auto changed = agree_on_failure(comm, check_unchanged(file.fd, path, stamp));
  if (changed) outcome.failure = changed;
  if (outcome.failure) return outcome;
  if ((outcome.failure = exchange_slots(comm, thread_count, piece_slots, outcome.value)))
    return outcome;
  ReadReport& report = outcome.value.report;
  report.readers = static_cast<std::int32_t>(team.parts());
  report.scan_path = options.scan_path;
  report.first_pass_seconds = counted - start;
  report.second_pass_seconds = omp_get_wtime() - counted;
  describe_form(header.form, header.declared, count.file_bytes, report);
  return outcome;
}

}  // namespace spmv
