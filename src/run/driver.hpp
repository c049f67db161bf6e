// The run: its phases, in order, once for every way of launching it.
//
// Owns the order of a measurement: start, the team of threads, the read, the
// vectors, the timed multiply, the reduction, the repeats, the digest, the
// dump, the performance line, the report and the exit status. A launcher (one
// process, or MPI ranks) plugs in only what differs between them: how the
// matrix is read and placed, how the partial vectors are summed, how the dump
// is gathered and how the processes come to one verdict.
//
// src/run owns this order, the launcher of a run in one process
// (one_process.hpp) and how a run ends (run_ending.hpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/failure.hpp"
#include "base/run_types.hpp"
#include "multiply/parallel_multiply.hpp"
#include "read/coo_matrix.hpp"
#include "report/run_report.hpp"

namespace spmv {

// What the read leaves for the phases after it.
struct PlacedMatrix {
  MatrixShape shape;             // the whole matrix: header rows, vector lengths
  std::int64_t slots = 0;        // slots of the whole matrix
  std::int64_t local_slots = 0;  // slots this process holds and multiplies
  ReadReport report;             // how the file was read, as far as it got
};

// The operations a launcher plugs into the run. Where a launcher has several
// processes, every operation is called on every process in the same order,
// so that it may be a collective call; process 0 alone writes the output.
struct Launcher {
  const char* program = "spmv";  // the program's name, for its usage and version texts
  int process = 0;               // this process among the run's processes
  int processes = 1;             // processes of the run, each with the requested threads
  bool distributed = false;      // the report describes the processes

  // Every process gets the failure of the lowest process that has one.
  std::function<std::optional<Failure>(const std::optional<Failure>&)> agree;
  // Reads the matrix file and keeps this process's slots.
  std::function<Outcome<PlacedMatrix>(const RunConfig&)> read;
  // A memory failure of this process's vectors, told as this process's own.
  std::function<std::optional<Failure>(std::optional<Failure>)> own_failure;
  // Waits until every process has come this far.
  std::function<void()> wait_for_all;
  // One multiply of this process's slots into the zeroed partial vectors;
  // records when it began and ended, and how many workers ran it.
  std::function<void(RunVectors&, RunClock&)> multiply;
  // Sums every process's partial vectors, in worker order, into process 0's result.
  std::function<void(const PartialSums&, ResultVector&)> reduce;
  // After a repeated multiply: the first element whose sum differs bit for
  // bit from process 0's first result, or -1; the same on every process.
  std::function<std::int64_t(const RunVectors&)> first_difference;
  // Writes the dump on process 0; gives 0, or the errno of a failed write.
  std::function<int(std::FILE*, const RunConfig&, const RunVectors&)> dump;
  // Slots that moved between processes during the read, on process 0.
  std::function<std::int64_t()> slots_exchanged;
  // Process 0's `value` on every process, so that all of them decide alike.
  std::function<double(double)> from_process_0;
  // Every process's worker CPUs, in worker order, on process 0.
  std::function<std::vector<std::int32_t>(const std::vector<std::int32_t>&)> gather_worker_cpus;
  // The MPI library's version text; empty for one process.
  std::string mpi_library;
  // Ends this process; every process gives process 0's exit status.
  std::function<int(int)> end;
};

// Reads the command line once, inside the run's timed start-up: answers a
// query (--help or --version), refuses misuse with the reason in one line and
// then the usage on standard error, or runs the measurement it asks for with
// `launcher`'s operations; gives the exit status.
int run_measurement(int argc, char** argv, const Launcher& launcher);

}  // namespace spmv
