// The phases of a run, in order; every exit passes through finish().
#include "run/driver.hpp"

#include <omp.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "cli/command_line.hpp"
#include "cli/usage.hpp"
#include "multiply/repeated_multiply.hpp"
#include "multiply/result_digest.hpp"
#include "multiply/worker_team.hpp"
#include "report/performance_line.hpp"
#include "report/report_file.hpp"
#include "run/run_ending.hpp"

namespace spmv {
namespace {

// What the phases of one run share.
struct Run {
  const Launcher& launcher;           // the launcher's operations
  const RunConfig& config;            // the parsed command line
  RunRecord& record;                  // what the run has learnt, for the report
  const FileDescriptor& report_file;  // the report, opened before the run starts
  bool speaks() const { return launcher.process == 0; }
};

// Seconds since `since`, and a new start for the next phase.
double lap(double& since) {
  const double now = omp_get_wtime();
  const double seconds = now - since;
  since = now;
  return seconds;
}

// Ends the run: process 0 reports the failure, when there is one, and writes
// the report; every process gives the same status.
int finish(const Run& run, int status, const std::optional<Failure>& failure = std::nullopt) {
  if (run.speaks()) {
    status =
        conclude(run.launcher.program, run.config, run.report_file, run.record, status, failure);
  }
  return run.launcher.end(status);
}

// Settles a command line that asks for no run: process 0 prints the help or
// version text on standard output for a query, or the misuse in one line and
// then the usage on standard error; every process gives the same status.
// Nothing for a usable command line.
std::optional<int> settle_without_run(const Launcher& launcher, const CommandLine& line) {
  std::string misuse = line.misuse;
  if (line.query == Query::none && misuse.empty()) {
    misuse = worker_count_misuse(launcher.processes, line.config.thread_count);
  }
  if (line.query == Query::none && misuse.empty()) return std::nullopt;
  int status = misuse.empty() ? 0 : 2;
  if (launcher.process == 0 && line.query != Query::none) {
    std::fputs(
        (line.query == Query::help ? usage_text(launcher.program) : version_text(launcher.program))
            .c_str(),
        stdout);
    status = finish_output(launcher.program, 0);
  } else if (launcher.process == 0) {
    std::fprintf(stderr, "%s: %s\n%s", launcher.program, misuse.c_str(),
                 usage_text(launcher.program).c_str());
  }
  return launcher.end(status);
}

// Further multiplies, each timed and its product held to the first: at
// least the repeat count, and until their time reaches the least time asked
// for (process 0's times decide, for every process alike).
std::optional<Failure> repeat_multiplies(const Run& run, RunVectors& vectors) {
  const std::int32_t count = run.config.repeat_count;
  const double min_time = run.config.min_time;
  double total = 0;
  RunClock clock;
  for (std::int64_t done = 0; !repeats_suffice(done, count, min_time, total);) {
    const auto repeat = static_cast<std::int32_t>(++done);
    zero_partials(vectors.partials);
    run.launcher.multiply(vectors, clock);
    double seconds = clock.t_mult_end - clock.t_mult_begin;
    if (min_time > 0) seconds = run.launcher.from_process_0(seconds);
    run.record.repeat_seconds.push_back(seconds);
    total += seconds;
    const std::int64_t element = run.launcher.first_difference(vectors);
    if (element >= 0) return repeat_failure(repeat, std::max(count, repeat), element);
  }
  return std::nullopt;
}

// The phases from the read to the end, once the command line, the report
// file and the team of threads are in place.
int measure(const Run& run, RunClock& clock) {
  const Launcher& launcher = run.launcher;
  const RunConfig& config = run.config;
  RunRecord& record = run.record;

  // Matrix input: the file read, this process's slots kept.
  const Outcome<PlacedMatrix> read = launcher.read(config);
  const ReadReport& how_read = read.value.report;
  record.phase_seconds = {{"first_pass", how_read.first_pass_seconds},
                          {"second_pass", how_read.second_pass_seconds}};
  if (!how_read.packing.empty()) {
    record.phase_seconds.insert(record.phase_seconds.begin(), {"unpack", how_read.unpack_seconds});
  }
  record.read = how_read;
  if (read.failure) return finish(run, 1, read.failure);
  record.matrix = read.value.shape;
  record.slots = read.value.slots;

  // Vectors: ones to multiply, zeroed partial vectors and result.
  double phase_start = omp_get_wtime();
  const VectorLengths lengths{read.value.shape.columns, read.value.shape.result_length};
  Outcome<RunVectors> prepared = prepare_vectors(
      lengths, config.thread_count,
      {read.value.local_slots, slot_bytes(holds_unit_values(read.value.report.form))});
  if (const auto failure = launcher.agree(launcher.own_failure(prepared.failure))) {
    return finish(run, 1, failure);
  }
  RunVectors& vectors = prepared.value;
  launcher.wait_for_all();
  clock.t_ready = omp_get_wtime();
  record.phase_seconds.emplace_back("vectors", clock.t_ready - phase_start);
  record.phase_seconds.emplace_back("serial", clock.t_ready - clock.t_start);

  // Multiply on the worker teams, then the reduction in worker order.
  launcher.multiply(vectors, clock);
  phase_start = clock.t_mult_end;
  launcher.reduce(vectors.partials, vectors.result);
  record.multiply_seconds = clock.t_mult_end - clock.t_mult_begin;
  record.team_size = clock.team_size;
  record.phase_seconds.emplace_back("multiply", record.multiply_seconds);
  record.phase_seconds.emplace_back("reduction", lap(phase_start));
  // Counted after the timed phases, which the count must not slow.
  record.slots_exchanged = launcher.slots_exchanged();
  record.worker_cpus = launcher.gather_worker_cpus(clock.worker_cpus);
  RunConfig workers = config;
  workers.thread_count = static_cast<std::int32_t>(record.workers);
  record.performance = measure_performance(workers, clock);

  // Repeated multiplies, each held to the first result bit for bit.
  if (config.repeat_count > 0 || config.min_time > 0) {
    const auto differs = repeat_multiplies(run, vectors);
    record.phase_seconds.emplace_back("repeats", lap(phase_start));
    if (differs) return finish(run, 1, differs);
  }
  if (run.speaks() && !config.report_path.empty()) record.digest = result_digest(vectors.result);

  // Output on process 0: the dump when asked for, then the performance line.
  int dump_error = 0;
  if (config.verbose == 1) {
    phase_start = omp_get_wtime();
    dump_error = launcher.dump(stderr, config, vectors);
    record.phase_seconds.emplace_back("dump", lap(phase_start));
  }
  int status = 0;
  if (run.speaks()) {
    std::fputs(record.performance->line.c_str(), stdout);
    std::string lost;
    status = finish_output(run.launcher.program, 0, dump_error, &lost);
    if (status != 0) record.error = lost;
  }
  return finish(run, status);
}

}  // namespace

int run_measurement(int argc, char** argv, const Launcher& launcher) {
  // Start-up: everything from here to t_ready counts as serial time in Tp.
  RunClock clock;
  clock.t_start = omp_get_wtime();
  RunRecord record;
  record.started = std::time(nullptr);
  if (launcher.process == 0) record.load_start = load_average_under("");
  record.mpi_library = launcher.mpi_library;
  // A closed pipe or a file size limit becomes a write error that is
  // reported, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  const CommandLine line = read_command_line(argc, argv);
  if (const auto settled = settle_without_run(launcher, line)) return *settled;
  const RunConfig& config = line.config;
  record.arguments.assign(argv + 1, argv + argc);
  record.workers = static_cast<std::int64_t>(launcher.processes) * config.thread_count;
  if (launcher.distributed) record.ranks = launcher.processes;
  omp_set_num_threads(config.thread_count);

  // Report file: opened now, on process 0, so that a report that cannot be
  // written stops the run before it starts; written at the end.
  FileDescriptor report_file;
  std::optional<Failure> failure;
  if (launcher.process == 0 && !config.report_path.empty()) {
    failure = open_report_file(config.report_path, config.matrix_path, report_file);
  }
  if ((failure = launcher.agree(failure))) {
    if (launcher.process == 0) report_failure(told_by(launcher.program, *failure));
    return launcher.end(1);
  }
  const Run run{launcher, config, record, report_file};

  // Team: every thread of the run, started before the file is read.
  if ((failure = launcher.agree(start_worker_team(config.thread_count)))) {
    return finish(run, 1, failure);
  }
  return measure(run, clock);
}

}  // namespace spmv
