// MPI ranks: the distributed read, barriers around the timed multiply, the
// reduction passed from rank to rank, and every verdict shared.
#include "distributed/launcher.hpp"

#include <omp.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "distributed/failure.hpp"
#include "distributed/output.hpp"
#include "multiply/repeated_multiply.hpp"
#include "read/coo_matrix.hpp"

namespace spmv {

namespace {

// Reads this rank's share of the file.
Outcome<PlacedMatrix> read_share(RankState& state, const RunConfig& config) {
  state.threads = config.thread_count;
  Outcome<RankShare> read =
      read_distributed(state.comm, config.matrix_path, config.thread_count, state.pieces.exchange);
  Outcome<PlacedMatrix> placed;
  placed.value.report = read.value.report;
  placed.failure = std::move(read.failure);
  if (placed.failure) return placed;
  state.share = std::move(read.value);
  const CooMatrix& slots = state.share.share;
  placed.value.shape = slots.shape;
  placed.value.slots = state.share.total_slots;
  placed.value.local_slots = slots.nnz;
  return placed;
}

// One multiply of every rank's share, from a barrier before it to a barrier
// after it; rank 0's clock times it.
void timed_multiply(const RankState& state, RunVectors& vectors, RunClock& clock) {
  const ShareLayout layout{
      state.share.total_slots, static_cast<std::int64_t>(state.ranks) * state.threads,
      static_cast<std::int64_t>(state.rank) * state.threads, state.share.share_begin};
  RunClock team_clock;
  // The last multiply's vector, whose room the multiply refills without
  // allocating inside the timed span.
  team_clock.worker_cpus = std::move(clock.worker_cpus);
  MPI_Barrier(state.comm);
  clock.t_mult_begin = omp_get_wtime();
  multiply_share(state.share.share, layout, vectors.input, vectors.partials, team_clock);
  MPI_Barrier(state.comm);
  clock.t_mult_end = omp_get_wtime();
  clock.team_size = team_clock.team_size;
  clock.worker_cpus = std::move(team_clock.worker_cpus);
}

// Every rank's worker CPUs, rank after rank, on rank 0; each rank has the
// same count of workers.
std::vector<std::int32_t> gather_cpus(const RankState& state,
                                      const std::vector<std::int32_t>& cpus) {
  std::vector<std::int32_t> own(static_cast<std::size_t>(state.threads), -1);
  std::copy_n(cpus.begin(), std::min(cpus.size(), own.size()), own.begin());
  std::vector<std::int32_t> all(state.rank == 0 ? own.size() * static_cast<std::size_t>(state.ranks)
                                                : 0);
  MPI_Gather(own.data(), state.threads, MPI_INT32_T, all.data(), state.threads, MPI_INT32_T, 0,
             state.comm);
  return all;
}

// The MPI library's version text.
std::string library_version() {
  char text[MPI_MAX_LIBRARY_VERSION_STRING] = {};
  int length = 0;
  if (MPI_Get_library_version(text, &length) != MPI_SUCCESS) return {};
  std::string version(text, static_cast<std::size_t>(std::max(length, 0)));
  while (!version.empty() && (version.back() == '\n' || version.back() == '\0')) version.pop_back();
  return version;
}

// A repeated multiply's product summed again and held to the first on rank 0.
std::int64_t difference_on_rank_0(RankState& state, const RunVectors& vectors) {
  if (!state.again.element) {
    state.again = ResultVector{
        vectors.result.n, std::make_unique<Extended[]>(static_cast<std::size_t>(vectors.result.n))};
  }
  reduce_in_worker_order(state.comm, vectors.partials, state.again);
  std::int64_t differs = state.rank == 0 ? first_difference(state.again, vectors.result) : -1;
  MPI_Bcast(&differs, 1, MPI_INT64_T, 0, state.comm);
  return differs;
}

}  // namespace

Launcher rank_launcher(RankState& state) {
  MPI_Comm_rank(state.comm, &state.rank);
  MPI_Comm_size(state.comm, &state.ranks);
  // Rank 0's setting holds for all: ranks that split a message differently
  // would receive pieces of another length than were sent.
  state.pieces = message_pieces_from_environment();
  std::int64_t pieces[2] = {state.pieces.exchange, state.pieces.dump};
  MPI_Bcast(pieces, 2, MPI_INT64_T, 0, state.comm);
  state.pieces = MessagePieces{pieces[0], pieces[1]};
  Launcher launcher;
  launcher.program = "spmv-mpi";
  launcher.process = state.rank;
  launcher.processes = state.ranks;
  launcher.distributed = true;
  launcher.agree = [&state](const std::optional<Failure>& failure) {
    return agree_on_failure(state.comm, failure);
  };
  launcher.read = [&state](const RunConfig& config) { return read_share(state, config); };
  launcher.own_failure = [&state](std::optional<Failure> failure) {
    return on_this_rank(state.comm, std::move(failure),
                        count_of(state.share.share.nnz, "slot", "slots") + " to multiply");
  };
  launcher.wait_for_all = [&state] { MPI_Barrier(state.comm); };
  launcher.multiply = [&state](RunVectors& vectors, RunClock& clock) {
    timed_multiply(state, vectors, clock);
  };
  launcher.reduce = [&state](const PartialSums& partials, ResultVector& result) {
    reduce_in_worker_order(state.comm, partials, result);
  };
  launcher.first_difference = [&state](const RunVectors& vectors) {
    return difference_on_rank_0(state, vectors);
  };
  launcher.dump = [&state](std::FILE* out, const RunConfig& config, const RunVectors& vectors) {
    return dump_distributed(state.comm, out, config, state.share, vectors.input, vectors.result,
                            state.pieces.dump);
  };
  launcher.slots_exchanged = [&state] {
    std::int64_t sent = state.share.slots_sent;
    std::int64_t total = 0;
    MPI_Reduce(&sent, &total, 1, MPI_INT64_T, MPI_SUM, 0, state.comm);
    return total;
  };
  launcher.from_process_0 = [&state](double value) {
    MPI_Bcast(&value, 1, MPI_DOUBLE, 0, state.comm);
    return value;
  };
  launcher.gather_worker_cpus = [&state](const std::vector<std::int32_t>& cpus) {
    return gather_cpus(state, cpus);
  };
  launcher.mpi_library = library_version();
  launcher.end = [&state](int status) {
    MPI_Bcast(&status, 1, MPI_INT, 0, state.comm);
    MPI_Finalize();
    return status;
  };
  return launcher;
}

}  // namespace spmv
