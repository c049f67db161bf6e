// One process: read_coo_matrix with a progress line, the team's multiply and
// the reduction on this thread.
#include "run/one_process.hpp"

#include <unistd.h>

#include "multiply/repeated_multiply.hpp"
#include "read/progress.hpp"
#include "report/verbose_dump.hpp"

namespace spmv {

namespace {

// Reads the whole file; where standard error is a terminal, a long read
// shows its progress there, and the line is gone before anything else is
// written.
Outcome<PlacedMatrix> read_whole(OneProcess& state, const RunConfig& config) {
  Outcome<PlacedMatrix> placed;
  ProgressLine progress(config.matrix_path, STDERR_FILENO);
  ReadOptions options;
  options.progress = progress.counter();
  Outcome<CooMatrix> read =
      read_coo_matrix(config.matrix_path, config.thread_count, options, &placed.value.report);
  placed.failure = std::move(read.failure);
  if (placed.failure) return placed;
  state.matrix = std::move(read.value);
  const CooMatrix& m = state.matrix;
  placed.value.shape = m.shape;
  placed.value.slots = m.nnz;
  placed.value.local_slots = m.nnz;
  return placed;
}

}  // namespace

Launcher one_process_launcher(OneProcess& state) {
  Launcher launcher;
  launcher.program = "spmv";
  launcher.agree = [](const std::optional<Failure>& failure) { return failure; };
  launcher.read = [&state](const RunConfig& config) { return read_whole(state, config); };
  launcher.own_failure = [](std::optional<Failure> failure) { return failure; };
  launcher.wait_for_all = [] {};
  launcher.multiply = [&state](RunVectors& vectors, RunClock& clock) {
    multiply_partials(state.matrix, vectors.input, vectors.partials, clock);
  };
  launcher.reduce = [](const PartialSums& partials, ResultVector& result) {
    reduce_partials(partials, result);
  };
  launcher.first_difference = [](const RunVectors& vectors) {
    return first_difference(vectors.partials, vectors.result);
  };
  launcher.dump = [&state](std::FILE* out, const RunConfig& config, const RunVectors& vectors) {
    return dump_run(out, config, state.matrix, vectors.input, vectors.result);
  };
  launcher.slots_exchanged = [] { return std::int64_t{0}; };
  launcher.from_process_0 = [](double value) { return value; };
  launcher.gather_worker_cpus = [](const std::vector<std::int32_t>& cpus) { return cpus; };
  launcher.end = [](int status) { return status; };
  return launcher;
}

}  // namespace spmv
