// The slot exchange: one all-to-all for rows, columns and values each.
#include "distributed/slots.hpp"

#include <algorithm>
#include <vector>

#include "base/allocation.hpp"
#include "base/memory_budget.hpp"
#include "distributed/failure.hpp"
#include "multiply/parallel_multiply.hpp"
#include "read/messages.hpp"

namespace spmv {

namespace {

// Slots common to [a, b) and [c, d).
std::int64_t overlap(std::int64_t a, std::int64_t b, std::int64_t c, std::int64_t d) {
  return std::max<std::int64_t>(0, std::min(b, d) - std::max(a, c));
}

}  // namespace

SlotRange rank_slots(std::int64_t total_slots, int ranks, std::int32_t thread_count, int rank) {
  const std::int64_t workers = static_cast<std::int64_t>(ranks) * thread_count;
  const std::int64_t first = static_cast<std::int64_t>(rank) * thread_count;
  const SlotBlock begin = block_of_worker(total_slots, workers, first);
  const SlotBlock last = block_of_worker(total_slots, workers, first + thread_count - 1);
  return SlotRange{begin.begin, last.begin + last.count};
}

std::optional<Failure> exchange_slots(MPI_Comm comm, std::int32_t thread_count, RankShare& rank) {
  int me = 0;
  int ranks = 1;
  MPI_Comm_rank(comm, &me);
  MPI_Comm_size(comm, &ranks);
  // Where every rank's parsed run lies in the global order.
  std::int64_t parsed[2] = {rank.share_begin, rank.share.nnz};
  std::vector<std::int64_t> runs(2 * static_cast<std::size_t>(ranks));
  MPI_Allgather(parsed, 2, MPI_INT64_T, runs.data(), 2, MPI_INT64_T, comm);
  const SlotRange mine = rank_slots(rank.total_slots, ranks, thread_count, me);
  std::vector<int> send_counts(ranks), send_offsets(ranks), receive_counts(ranks),
      receive_offsets(ranks);
  rank.slots_sent = 0;
  for (int q = 0; q < ranks; ++q) {
    const SlotRange theirs = rank_slots(rank.total_slots, ranks, thread_count, q);
    const std::int64_t run_begin = runs[2 * static_cast<std::size_t>(q)];
    const std::int64_t run_end = run_begin + runs[2 * static_cast<std::size_t>(q) + 1];
    send_counts[q] =
        static_cast<int>(overlap(parsed[0], parsed[0] + parsed[1], theirs.begin, theirs.end));
    send_offsets[q] = static_cast<int>(std::max(parsed[0], theirs.begin) - parsed[0]);
    if (send_counts[q] == 0) send_offsets[q] = 0;
    receive_counts[q] = static_cast<int>(overlap(run_begin, run_end, mine.begin, mine.end));
    receive_offsets[q] = static_cast<int>(std::max(run_begin, mine.begin) - mine.begin);
    if (receive_counts[q] == 0) receive_offsets[q] = 0;
    if (q != me) rank.slots_sent += send_counts[q];
  }
  CooMatrix held;
  held.shape = rank.share.shape;
  held.nnz = static_cast<std::int32_t>(mine.end - mine.begin);
  std::optional<Failure> failure;
  if (!allocate_slots(held, held.nnz)) {
    failure = on_this_rank(comm, memory_failure(vector_lengths(held), held.nnz, thread_count),
                           count_of(held.nnz, "slot", "slots") + " after the exchange");
  }
  if (auto agreed = agree_on_failure(comm, failure)) return agreed;
  const CooMatrix& from = rank.share;
  MPI_Alltoallv(from.row_index.get(), send_counts.data(), send_offsets.data(), MPI_INT32_T,
                held.row_index.get(), receive_counts.data(), receive_offsets.data(), MPI_INT32_T,
                comm);
  MPI_Alltoallv(from.col_index.get(), send_counts.data(), send_offsets.data(), MPI_INT32_T,
                held.col_index.get(), receive_counts.data(), receive_offsets.data(), MPI_INT32_T,
                comm);
  const ExtendedType extended;
  MPI_Alltoallv(from.value.get(), send_counts.data(), send_offsets.data(), extended.type,
                held.value.get(), receive_counts.data(), receive_offsets.data(), extended.type,
                comm);
  rank.share = std::move(held);
  rank.share_begin = mine.begin;
  return std::nullopt;
}

}  // namespace spmv
