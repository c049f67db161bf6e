// spmv: times a parallel sparse matrix-vector product and prints Tp, S and E.
//
//   spmv [--report=FILE] [--repeat=N] THREADS IGNORED VERBOSE MATRIX_FILE
//   spmv --help | -h | --version
//
// Exit status: 0 after a complete run, 1 when the matrix file cannot be read,
// the run does not fit in memory, a repeated multiply differs from the first
// or its output or report cannot be written, 2 when the command line is
// unusable.
#include <omp.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/run_types.hpp"
#include "cli/command_line.hpp"
#include "cli/usage.hpp"
#include "multiply/parallel_multiply.hpp"
#include "multiply/repeated_multiply.hpp"
#include "multiply/result_digest.hpp"
#include "multiply/worker_team.hpp"
#include "read/coo_matrix.hpp"
#include "read/progress.hpp"
#include "report/performance_line.hpp"
#include "report/report_file.hpp"
#include "report/run_report.hpp"
#include "report/verbose_dump.hpp"
#include "run/run_ending.hpp"

namespace spmv {
namespace {

// Seconds since `since`, and a new start for the next phase.
double lap(double& since) {
  const double now = omp_get_wtime();
  const double seconds = now - since;
  since = now;
  return seconds;
}

}  // namespace
}  // namespace spmv

int main(int argc, char** argv) {
  using namespace spmv;
  // Start-up: everything from here to t_ready counts as serial time in Tp.
  RunClock clock;
  clock.t_start = omp_get_wtime();
  RunRecord record;
  record.started = std::time(nullptr);
  // A closed pipe or a file size limit becomes a write error that is
  // reported, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(usage_text(), stdout);
    return finish_output(0);
  }
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    std::puts("spmv " SPMV_VERSION);
    return finish_output(0);
  }
  const std::optional<RunConfig> parsed = parse_run_config(argc, argv);
  if (!parsed) {
    std::fputs(usage_text(), stderr);
    return 2;
  }
  const RunConfig& config = *parsed;
  record.arguments.assign(argv + 1, argv + argc);
  omp_set_num_threads(config.thread_count);

  // Report file: opened now, so that a report that cannot be written stops
  // the run before it starts; written at the end.
  FileDescriptor report_file;
  if (!config.report_path.empty()) {
    if (const auto failure =
            open_report_file(config.report_path, config.matrix_path, report_file)) {
      return report_failure(*failure);
    }
  }

  // Team: every thread of the run, started before the file is read.
  if (const auto failure = start_worker_team(config.thread_count)) {
    return conclude(config, report_file, record, 1, failure);
  }

  // Matrix input: a newline count, then the header and entries. Where
  // standard error is a terminal, a long read shows its progress there; the
  // line is gone before anything else is written.
  ReadReport how_read;
  const Outcome<CooMatrix> read = [&] {
    ProgressLine progress(config.matrix_path, STDERR_FILENO);
    ReadOptions options;
    options.progress = progress.counter();
    return read_coo_matrix(config.matrix_path, config.thread_count, options, &how_read);
  }();
  record.phase_seconds = {{"first_pass", how_read.first_pass_seconds},
                          {"second_pass", how_read.second_pass_seconds}};
  if (!how_read.packing.empty()) {
    record.phase_seconds.insert(record.phase_seconds.begin(), {"unpack", how_read.unpack_seconds});
  }
  record.read = how_read;
  if (read.failure) return conclude(config, report_file, record, 1, read.failure);
  const CooMatrix& matrix = read.value;
  record.matrix = matrix.shape;
  record.slots = matrix.nnz;

  // Vectors: ones to multiply, zeroed partial vectors and result.
  double phase_start = omp_get_wtime();
  Outcome<RunVectors> prepared =
      prepare_vectors(vector_lengths(matrix), config.thread_count, matrix.nnz);
  if (prepared.failure) return conclude(config, report_file, record, 1, prepared.failure);
  RunVectors& vectors = prepared.value;
  clock.t_ready = omp_get_wtime();
  record.phase_seconds.emplace_back("vectors", clock.t_ready - phase_start);
  record.phase_seconds.emplace_back("serial", clock.t_ready - clock.t_start);

  // Multiply on the worker team, then the reduction on this thread alone.
  multiply_partials(matrix, vectors.input, vectors.partials, clock);
  phase_start = clock.t_mult_end;
  reduce_partials(vectors.partials, vectors.result);
  record.multiply_seconds = clock.t_mult_end - clock.t_mult_begin;
  record.team_size = clock.team_size;
  record.phase_seconds.emplace_back("multiply", record.multiply_seconds);
  record.phase_seconds.emplace_back("reduction", lap(phase_start));
  record.performance = measure_performance(config, clock);

  // Repeated multiplies, each held to the first result bit for bit.
  if (config.repeat_count > 0) {
    const auto differs = repeat_multiply(matrix, vectors.input, vectors.partials, vectors.result,
                                         config.repeat_count, record.repeat_seconds);
    record.phase_seconds.emplace_back("repeats", lap(phase_start));
    if (differs) return conclude(config, report_file, record, 1, differs);
  }
  if (!config.report_path.empty()) record.digest = result_digest(vectors.result);

  // Output: the dump when asked for, then the performance line.
  int dump_error = 0;
  if (config.verbose == 1) {
    phase_start = omp_get_wtime();
    dump_error = dump_run(stderr, config, matrix, vectors.input, vectors.result);
    record.phase_seconds.emplace_back("dump", lap(phase_start));
  }
  std::fputs(record.performance->line.c_str(), stdout);
  std::string lost;
  const int status = finish_output(0, dump_error, &lost);
  if (status != 0) record.error = lost;
  return conclude(config, report_file, record, status);
}
