// spmv-mpi: the measurement of spmv across MPI ranks. With R ranks of
// THREADS threads each, the run has P = R x THREADS workers and gives the
// dump that `spmv P 0 1 FILE` gives, byte for byte.
//
//   mpirun -np R spmv-mpi [--report=FILE] [--repeat=N] THREADS IGNORED VERBOSE MATRIX_FILE
//
// Only rank 0 writes to standard output and standard error; every rank ends
// with the same exit status, as spmv's.
#include <mpi.h>
#include <omp.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "cli/command_line.hpp"
#include "cli/usage.hpp"
#include "distributed/failure.hpp"
#include "distributed/output.hpp"
#include "distributed/read.hpp"
#include "multiply/parallel_multiply.hpp"
#include "multiply/repeated_multiply.hpp"
#include "multiply/result_digest.hpp"
#include "multiply/worker_team.hpp"
#include "read/messages.hpp"
#include "report/performance_line.hpp"
#include "report/report_file.hpp"
#include "run/run_ending.hpp"

namespace spmv {
namespace {

// The ranks of the run and this process's place among them.
struct Ranks {
  MPI_Comm comm = MPI_COMM_WORLD;
  int rank = 0;
  int count = 1;
};

// Ends this process's part of the run: rank 0 reports and writes, every rank
// returns the same status.
int end_run(const Ranks& ranks, const RunConfig& config, const FileDescriptor& report_file,
            RunRecord& record, int status, const std::optional<Failure>& failure = std::nullopt) {
  if (ranks.rank == 0) status = conclude(config, report_file, record, status, failure);
  MPI_Bcast(&status, 1, MPI_INT, 0, ranks.comm);
  MPI_Finalize();
  return status;
}

// One multiply of every rank's share, from a barrier before it to a barrier
// after it; rank 0's clock times it.
void timed_multiply(const Ranks& ranks, const RankShare& share, const RunConfig& config,
                    RunVectors& vectors, RunClock& clock) {
  const ShareLayout layout{
      share.total_slots, static_cast<std::int64_t>(ranks.count) * config.thread_count,
      static_cast<std::int64_t>(ranks.rank) * config.thread_count, share.share_begin};
  RunClock team_clock;
  MPI_Barrier(ranks.comm);
  clock.t_mult_begin = omp_get_wtime();
  multiply_share(share.share, layout, vectors.input, vectors.partials, team_clock);
  MPI_Barrier(ranks.comm);
  clock.t_mult_end = omp_get_wtime();
  clock.team_size = team_clock.team_size;
}

// Further multiplies, each timed and its product held to the first on rank 0.
std::optional<Failure> repeat_distributed(const Ranks& ranks, const RankShare& share,
                                          const RunConfig& config, RunVectors& vectors,
                                          std::vector<double>& seconds) {
  ResultVector again{vectors.result.n,
                     std::make_unique<Extended[]>(static_cast<std::size_t>(vectors.result.n))};
  for (std::int32_t repeat = 1; repeat <= config.repeat_count; ++repeat) {
    zero_partials(vectors.partials);
    RunClock clock;
    timed_multiply(ranks, share, config, vectors, clock);
    seconds.push_back(clock.t_mult_end - clock.t_mult_begin);
    reduce_in_worker_order(ranks.comm, vectors.partials, again);
    std::int64_t differs = ranks.rank == 0 ? first_difference(again, vectors.result) : -1;
    MPI_Bcast(&differs, 1, MPI_INT64_T, 0, ranks.comm);
    if (differs >= 0) {
      return repeat_failure(repeat, config.repeat_count, differs);
    }
  }
  return std::nullopt;
}

}  // namespace
}  // namespace spmv

int main(int argc, char** argv) {
  using namespace spmv;
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
  Ranks ranks;
  MPI_Comm_rank(ranks.comm, &ranks.rank);
  MPI_Comm_size(ranks.comm, &ranks.count);
  // Start-up: everything from here to t_ready counts as serial time in Tp.
  RunClock clock;
  clock.t_start = omp_get_wtime();
  RunRecord record;
  record.started = std::time(nullptr);
  record.ranks = ranks.count;
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  const bool speaks = (ranks.rank == 0);
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
                    std::strcmp(argv[1], "--version") == 0)) {
    int status = 0;
    if (speaks) {
      if (std::strcmp(argv[1], "--version") == 0) {
        std::puts("spmv-mpi " SPMV_VERSION);
      } else {
        std::fputs(usage_text(), stdout);
      }
      status = finish_output(0);
    }
    MPI_Bcast(&status, 1, MPI_INT, 0, ranks.comm);
    MPI_Finalize();
    return status;
  }
  std::optional<RunConfig> parsed = parse_run_config(argc, argv);
  // The run's workers are limited as spmv's threads are.
  if (parsed && static_cast<std::int64_t>(ranks.count) * parsed->thread_count > max_thread_count) {
    parsed.reset();
  }
  if (!parsed) {
    if (speaks) std::fputs(usage_text(), stderr);
    MPI_Finalize();
    return 2;
  }
  const RunConfig& config = *parsed;
  record.arguments.assign(argv + 1, argv + argc);
  record.workers = static_cast<std::int64_t>(ranks.count) * config.thread_count;
  omp_set_num_threads(config.thread_count);

  // Report file, on rank 0 alone.
  FileDescriptor report_file;
  std::optional<Failure> failure;
  if (speaks && !config.report_path.empty()) {
    failure = open_report_file(config.report_path, config.matrix_path, report_file);
  }
  if (const auto agreed = agree_on_failure(ranks.comm, failure)) {
    if (speaks) report_failure(*agreed);
    MPI_Finalize();
    return 1;
  }

  // Team: every thread of every rank, started before the file is read.
  failure = agree_on_failure(ranks.comm, start_worker_team(config.thread_count));
  if (failure) return end_run(ranks, config, report_file, record, 1, failure);

  // Matrix input: each rank reads its share of the file and receives the
  // slots of its workers.
  Outcome<RankShare> read = read_distributed(ranks.comm, config.matrix_path, config.thread_count);
  record.phase_seconds = {{"first_pass", read.value.report.first_pass_seconds},
                          {"second_pass", read.value.report.second_pass_seconds}};
  if (read.failure) return end_run(ranks, config, report_file, record, 1, read.failure);
  const RankShare& share = read.value;
  record.read = share.report;
  record.matrix = share.share.shape;
  record.slots = share.total_slots;

  // Vectors on every rank: ones, zeroed partial vectors, the running sum.
  double phase_start = omp_get_wtime();
  Outcome<RunVectors> prepared =
      prepare_vectors(vector_lengths(share.share), config.thread_count, share.share.nnz);
  failure = on_this_rank(ranks.comm, prepared.failure,
                         count_of(share.share.nnz, "slot", "slots") + " to multiply");
  if ((failure = agree_on_failure(ranks.comm, failure))) {
    return end_run(ranks, config, report_file, record, 1, failure);
  }
  RunVectors& vectors = prepared.value;
  MPI_Barrier(ranks.comm);
  clock.t_ready = omp_get_wtime();
  record.phase_seconds.emplace_back("vectors", clock.t_ready - phase_start);
  record.phase_seconds.emplace_back("serial", clock.t_ready - clock.t_start);

  // Multiply on every rank's team, then the partial vectors summed in worker order.
  timed_multiply(ranks, share, config, vectors, clock);
  phase_start = omp_get_wtime();
  reduce_in_worker_order(ranks.comm, vectors.partials, vectors.result);
  record.multiply_seconds = clock.t_mult_end - clock.t_mult_begin;
  record.team_size = clock.team_size;
  record.phase_seconds.emplace_back("multiply", record.multiply_seconds);
  record.phase_seconds.emplace_back("reduction", omp_get_wtime() - phase_start);
  // Counted for the report after the timed phases, which it must not slow.
  std::int64_t sent = share.slots_sent;
  MPI_Reduce(&sent, &record.slots_exchanged, 1, MPI_INT64_T, MPI_SUM, 0, ranks.comm);
  RunConfig workers_config = config;
  workers_config.thread_count = static_cast<std::int32_t>(record.workers);
  record.performance = measure_performance(workers_config, clock);

  if (config.repeat_count > 0) {
    phase_start = omp_get_wtime();
    failure = repeat_distributed(ranks, share, config, vectors, record.repeat_seconds);
    record.phase_seconds.emplace_back("repeats", omp_get_wtime() - phase_start);
    if (failure) return end_run(ranks, config, report_file, record, 1, failure);
  }
  if (speaks && !config.report_path.empty()) record.digest = result_digest(vectors.result);

  // Output on rank 0: the dump when asked for, then the performance line.
  int dump_error = 0;
  if (config.verbose == 1) {
    phase_start = omp_get_wtime();
    dump_error = dump_distributed(ranks.comm, stderr, config, share, vectors.input, vectors.result);
    record.phase_seconds.emplace_back("dump", omp_get_wtime() - phase_start);
  }
  int status = 0;
  if (speaks) {
    std::fputs(record.performance->line.c_str(), stdout);
    std::string lost;
    status = finish_output(0, dump_error, &lost);
    if (status != 0) record.error = lost;
  }
  return end_run(ranks, config, report_file, record, status);
}
