// The slot exchange: each rank keeps, in place, the parsed slots that belong
// to its workers' blocks, and only the slots that cross a rank boundary move,
// rows, columns and values (where held) each in messages of bounded length.
#include "distributed/slots.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/allocation.hpp"
#include "base/memory_budget.hpp"
#include "distributed/failure.hpp"
#include "multiply/parallel_multiply.hpp"
#include "read/coo_matrix.hpp"

namespace spmv {

namespace {

// Slots common to [a, b) and [c, d).
std::int64_t overlap(std::int64_t a, std::int64_t b, std::int64_t c, std::int64_t d) {
  return std::max<std::int64_t>(0, std::min(b, d) - std::max(a, c));
}

// How one rank's slots move: which of its parsed run go to each other rank,
// which slots of its share come from each, and the run it keeps.
struct ExchangePlan {
  std::vector<std::int64_t> send_counts;      // slots for each rank, none for itself
  std::vector<std::int64_t> send_offsets;     // where each rank's slots start in the send buffer
  std::vector<std::int64_t> send_from;        // where each rank's slots start in the parsed run
  std::vector<std::int64_t> receive_counts;   // slots from each rank, none from itself
  std::vector<std::int64_t> receive_offsets;  // where each rank's slots go in the share
  std::int64_t outgoing = 0;                  // slots this rank sends
  std::int64_t kept = 0;                      // parsed slots that stay on this rank
  std::int64_t kept_from = 0;                 // where the kept run starts in the parsed run
  std::int64_t kept_to = 0;                   // where the kept run starts in the share
  std::int64_t crossing = 0;                  // slots that any rank sends
};

// The plan of rank `me` out of `ranks`, whose parsed runs (first global slot
// and length of each, in rank order) are `runs`.
ExchangePlan plan_exchange(const std::vector<std::int64_t>& runs, std::int64_t total_slots,
                           int ranks, std::int32_t thread_count, int me) {
  ExchangePlan plan;
  const auto count = static_cast<std::size_t>(ranks);
  plan.send_counts.assign(count, 0);
  plan.send_offsets.assign(count, 0);
  plan.send_from.assign(count, 0);
  plan.receive_counts.assign(count, 0);
  plan.receive_offsets.assign(count, 0);
  const std::int64_t parsed_begin = runs[2 * static_cast<std::size_t>(me)];
  const std::int64_t parsed_end = parsed_begin + runs[2 * static_cast<std::size_t>(me) + 1];
  const SlotRange mine = rank_slots(total_slots, ranks, thread_count, me);
  for (int q = 0; q < ranks; ++q) {
    const auto i = static_cast<std::size_t>(q);
    const SlotRange theirs = rank_slots(total_slots, ranks, thread_count, q);
    const std::int64_t run_begin = runs[2 * i];
    const std::int64_t run_end = run_begin + runs[2 * i + 1];
    plan.crossing += runs[2 * i + 1] - overlap(run_begin, run_end, theirs.begin, theirs.end);
    const std::int64_t to_them = overlap(parsed_begin, parsed_end, theirs.begin, theirs.end);
    const std::int64_t from_them = overlap(run_begin, run_end, mine.begin, mine.end);
    if (q == me) {
      plan.kept = to_them;
      if (plan.kept > 0) {
        plan.kept_from = std::max(parsed_begin, mine.begin) - parsed_begin;
        plan.kept_to = std::max(parsed_begin, mine.begin) - mine.begin;
      }
      continue;
    }
    plan.send_counts[i] = to_them;
    plan.send_offsets[i] = plan.outgoing;
    if (to_them > 0) plan.send_from[i] = std::max(parsed_begin, theirs.begin) - parsed_begin;
    plan.outgoing += to_them;
    plan.receive_counts[i] = from_them;
    if (from_them > 0) plan.receive_offsets[i] = std::max(run_begin, mine.begin) - mine.begin;
  }
  return plan;
}

// Makes sure that the share's arrays, with room for `room` slots, hold
// `held`: the read makes room for every share that a whole file can give,
// and only a file that changed unseen since may give more; the arrays then
// grow. False when memory runs out.
bool make_room(CooMatrix& share, std::int64_t& room, std::int64_t held) {
  if (held <= room) return true;
  CooMatrix grown;
  grown.shape = share.shape;
  grown.nnz = share.nnz;
  grown.unit_values = share.unit_values;
  if (!allocate_slots(grown, held)) return false;
  const auto parsed = static_cast<std::size_t>(share.nnz);
  std::copy_n(share.row_index.get(), parsed, grown.row_index.get());
  std::copy_n(share.col_index.get(), parsed, grown.col_index.get());
  if (!share.unit_values) std::copy_n(share.value.get(), parsed, grown.value.get());
  share = std::move(grown);
  room = held;
  return true;
}

// Buffers for the slots this rank sends, where any rank sends some; false
// when memory runs out.
bool allocate_outgoing(const ExchangePlan& plan, bool unit_values, CooMatrix& outgoing) {
  if (plan.crossing == 0) return true;
  outgoing.unit_values = unit_values;
  return allocate_slots(outgoing, plan.outgoing);
}

// Moves one array of the share: the outgoing slots into `buffer`, the kept
// run to its place, then the crossing slots to and from the other ranks in
// pieces of at most piece_slots, received straight into their places around
// the kept run. Only ranks with slots to move take part.
template <typename T>
void move_slots(MPI_Comm comm, const ExchangePlan& plan, MPI_Datatype type,
                std::int64_t piece_slots, T* slots, T* buffer) {
  constexpr int exchange_tag = 3;
  for (std::size_t q = 0; q < plan.send_counts.size(); ++q) {
    std::copy_n(slots + plan.send_from[q], plan.send_counts[q], buffer + plan.send_offsets[q]);
  }
  if (plan.kept > 0 && plan.kept_from != plan.kept_to) {
    std::memmove(slots + plan.kept_to, slots + plan.kept_from,
                 static_cast<std::size_t>(plan.kept) * sizeof(T));
  }
  // The pieces of one pair of ranks arrive in the order they were posted.
  std::vector<MPI_Request> requests;
  for (std::size_t q = 0; q < plan.receive_counts.size(); ++q) {
    for (const Piece& piece : pieces_of(plan.receive_counts[q], piece_slots)) {
      MPI_Irecv(slots + plan.receive_offsets[q] + piece.offset, piece.length, type,
                static_cast<int>(q), exchange_tag, comm, &requests.emplace_back());
    }
  }
  for (std::size_t q = 0; q < plan.send_counts.size(); ++q) {
    for (const Piece& piece : pieces_of(plan.send_counts[q], piece_slots)) {
      MPI_Isend(buffer + plan.send_offsets[q] + piece.offset, piece.length, type,
                static_cast<int>(q), exchange_tag, comm, &requests.emplace_back());
    }
  }
  MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
}

}  // namespace

SlotRange rank_slots(std::int64_t total_slots, int ranks, std::int32_t thread_count, int rank) {
  const std::int64_t workers = static_cast<std::int64_t>(ranks) * thread_count;
  const std::int64_t first = static_cast<std::int64_t>(rank) * thread_count;
  const SlotBlock begin = block_of_worker(total_slots, workers, first);
  const SlotBlock last = block_of_worker(total_slots, workers, first + thread_count - 1);
  return SlotRange{begin.begin, last.begin + last.count};
}

std::optional<Failure> exchange_slots(MPI_Comm comm, std::int32_t thread_count,
                                      std::int64_t piece_slots, RankShare& rank) {
  int me = 0;
  int ranks = 1;
  MPI_Comm_rank(comm, &me);
  MPI_Comm_size(comm, &ranks);
  // Where every rank's parsed run lies in the global order.
  const std::int64_t parsed[2] = {rank.share_begin, rank.share.nnz};
  std::vector<std::int64_t> runs(2 * static_cast<std::size_t>(ranks));
  MPI_Allgather(parsed, 2, MPI_INT64_T, runs.data(), 2, MPI_INT64_T, comm);
  const ExchangePlan plan = plan_exchange(runs, rank.total_slots, ranks, thread_count, me);
  const SlotRange mine = rank_slots(rank.total_slots, ranks, thread_count, me);
  const std::int64_t held = mine.end - mine.begin;
  rank.slots_sent = plan.outgoing;
  // The outgoing slots wait in buffers of their own while the kept run moves
  // and the incoming slots land around it.
  CooMatrix& share = rank.share;
  CooMatrix outgoing;
  std::optional<Failure> failure;
  if (!make_room(share, rank.room, held) || !allocate_outgoing(plan, share.unit_values, outgoing)) {
    failure = on_this_rank(
        comm,
        memory_failure(vector_lengths(share),
                       slot_arrays(share, std::max(rank.room, held) + plan.outgoing), thread_count),
        count_of(held, "slot", "slots") + " after the exchange");
  }
  if (auto agreed = agree_on_failure(comm, failure)) return agreed;
  if (plan.crossing > 0) {
    move_slots(comm, plan, MPI_INT32_T, piece_slots, share.row_index.get(),
               outgoing.row_index.get());
    move_slots(comm, plan, MPI_INT32_T, piece_slots, share.col_index.get(),
               outgoing.col_index.get());
    if (!share.unit_values) {
      const ExtendedType extended;
      move_slots(comm, plan, extended.type, piece_slots, share.value.get(), outgoing.value.get());
    }
  }
  share.nnz = held;
  rank.share_begin = mine.begin;
  return std::nullopt;
}

}  // namespace spmv
