// The JSON report of a run: what was measured, on what, with what settings,
// and how long each phase took.
//
// src/report owns what a run writes about itself: the report (here) and its
// file (report_file.hpp), the machine it describes (machine_context.hpp),
// the performance line (performance_line.hpp) and the dump
// (verbose_dump.hpp).
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/run_types.hpp"
#include "read/coo_matrix.hpp"
#include "report/machine_context.hpp"
#include "report/performance_line.hpp"
#include "report/run_statistics.hpp"

namespace spmv {

// Everything a run learns about itself, filled phase by phase; a failed run
// leaves the later parts empty.
struct RunRecord {
  std::vector<std::string> arguments;  // the command line after the program name
  std::time_t started = 0;             // calendar time of the start
  std::vector<std::pair<std::string, double>> phase_seconds;  // in the order the phases ran
  std::optional<ReadReport> read;                             // how the file was read, once it was
  std::optional<MatrixShape> matrix;                          // once the file was read
  std::int64_t slots = 0;  // entries after symmetric expansion: what the multiply takes
  std::optional<Performance> performance;  // once the multiply was timed
  double multiply_seconds = 0;             // the timed multiply
  std::int32_t team_size = 0;              // workers that ran it
  std::vector<double> repeat_seconds;      // the repeated multiplies
  std::string digest;                      // result digest, once the result is summed
  std::optional<std::string> error;        // the failure's message, when the run failed
  std::int32_t ranks = 0;                  // MPI processes of a distributed run, 0 for one process
  std::int64_t workers = 0;                // workers of every rank, when distributed
  std::int64_t slots_exchanged = 0;        // slots that moved between ranks, when distributed
  std::optional<LoadAverage> load_start;   // the load averages when the run started
  std::vector<std::int32_t> worker_cpus;   // the CPU of each worker of every process in the
                                           // timed multiply, in worker order
  std::string mpi_library;                 // the MPI library's version; empty for one process
};

// Bytes that the multiply moves in the byte model the report states: every
// array element it needs, moved once; a matrix with unit values holds none.
std::int64_t multiply_bytes(const MatrixShape& matrix, std::int64_t slots, bool unit_values);

// The report of the run as a JSON document, with a final newline.
std::string report_json(const RunConfig& config, const RunRecord& record,
                        const MachineContext& machine);

}  // namespace spmv
