// The command line: options and four positional arguments into a RunConfig.
//
// src/cli owns what the user types and reads back: the options and
// arguments (here), the usage and version texts (usage.hpp), and spmv's
// main, which hands the command line to the driver in src/run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/run_types.hpp"

namespace spmv {

// Converts text the way atoi does (white space, sign, digits up to the first
// other character; 0 when there is no number), but saturates instead of
// overflowing, so out-of-range input stays visibly out of range.
std::int64_t convert_number(const char* text);

// The most threads a run may ask for. The OpenMP runtime cannot start teams
// of tens of thousands of threads (it stops the process, or overflows its
// stack), and no machine that this measures has that many cores.
inline constexpr std::int64_t max_thread_count = 4096;

// The most repeated multiplies that --repeat may ask for.
inline constexpr std::int64_t max_repeat_count = 1000000;

// The most seconds of repeated multiplies that --min-time may ask for.
inline constexpr double max_min_time = 3600;

// What a command line asks for besides a run.
enum class Query {
  none,     // a run, or misuse
  help,     // --help anywhere before "--", or -h as the first argument: the usage
  version,  // --version anywhere before "--": the version line
};

// A command line, read: the run it asks for, a query, or why it is unusable.
// The first query or misuse met, reading from the left, decides.
struct CommandLine {
  RunConfig config;           // the run's settings; meaningful when neither of the others is set
  Query query = Query::none;  // the help or version text asked for instead of a run
  std::string misuse;         // why the command line is unusable, one line without the
                              // program's name or a newline; empty when it is usable
};

// Reads argv: options (--report, --repeat, --min-time, each as --NAME=VALUE or
// --NAME VALUE, each at most once) wherever they stand, until "--", which
// ends them; every other argument is positional: THREADS IGNORED VERBOSE
// MATRIX_FILE in this order, any more ignored. An argument that starts with
// "--" is an option; one that starts with a single "-" is positional, so that
// VERBOSE may be -1. Misuse: an unknown, repeated or empty option, an option
// without its value, a repeat count that is not a whole number from 0 to
// max_repeat_count, a time that is not a decimal number from 0 to
// max_min_time, fewer than four positional arguments, or a thread count
// outside 1..max_thread_count.
CommandLine read_command_line(int argc, const char* const* argv);

// Why `processes` processes of `threads` threads each cannot run; empty when
// they can: the run's workers are limited as one process's threads are.
std::string worker_count_misuse(int processes, std::int32_t threads);

}  // namespace spmv
