// spmv: times a parallel sparse matrix-vector product and prints Tp, S and E.
//
//   spmv THREADS IGNORED VERBOSE MATRIX_FILE
//   spmv --help | -h | --version
//
// Exit status: 0 after a complete run, 1 when the matrix file cannot be read,
// the run does not fit in memory or its output cannot be written, 2 when the
// command line is unusable.
#include <omp.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "command_line.hpp"
#include "coo_matrix.hpp"
#include "parallel_multiply.hpp"
#include "performance_line.hpp"
#include "run_types.hpp"
#include "usage.hpp"
#include "verbose_dump.hpp"
#include "worker_team.hpp"

namespace spmv {
namespace {

// Reports a failure on the standard streams and gives the exit status.
int report(const Failure& failure) {
  if (failure.kind == Failure::Kind::matrix_file) std::fputs("Error Reading File\n", stdout);
  std::fprintf(stderr, "%s\n", failure.message.c_str());
  return 1;
}

// Gives the exit status once everything is written: a lost performance line,
// dump or help text is a failed run, and the message says why. `error` is
// the errno of an earlier failure to produce output, or 0.
int finish_output(int status, int error = 0) {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout) && !std::ferror(stderr) && error == 0) {
    return status;
  }
  if (error == 0) error = errno != 0 ? errno : EIO;
  std::fprintf(stderr, "spmv: could not write the results: %s\n", std::strerror(error));
  return 1;
}

}  // namespace
}  // namespace spmv

int main(int argc, char** argv) {
  using namespace spmv;
  // Start-up: everything from here to t_ready counts as serial time in Tp.
  RunClock clock;
  clock.t_start = omp_get_wtime();
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
  omp_set_num_threads(config.thread_count);

  // Team: every thread of the run, started before the file is read.
  if (const auto failure = start_worker_team(config.thread_count)) return report(*failure);

  // Matrix input: a newline count, then the header and entries.
  const Outcome<CooMatrix> read = read_coo_matrix(config.matrix_path, config.thread_count);
  if (read.failure) return report(*read.failure);
  const CooMatrix& matrix = read.value;

  // Vectors: ones to multiply, zeroed partial vectors and result.
  Outcome<RunVectors> prepared = prepare_vectors(matrix.n, config.thread_count, matrix.nnz);
  if (prepared.failure) return report(*prepared.failure);
  RunVectors& vectors = prepared.value;
  clock.t_ready = omp_get_wtime();

  // Multiply on the worker team, then the reduction on this thread alone.
  multiply_partials(matrix, vectors.input, vectors.partials, clock);
  reduce_partials(vectors.partials, vectors.result);

  // Output: the dump when asked for, then the performance line.
  int dump_error = 0;
  if (config.verbose == 1) {
    dump_error = dump_run(stderr, config, matrix, vectors.input, vectors.result);
  }
  print_performance(stdout, config, clock);
  return finish_output(0, dump_error);
}
