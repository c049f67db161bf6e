// The command line: four positional arguments into a RunConfig.
//
// src/cli owns what the user types and reads back: the options and
// arguments (here), the usage and version texts (usage.hpp), and spmv's
// main, which hands the run to the driver in src/run.
#pragma once

#include <cstdint>
#include <optional>

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

// Fills a RunConfig from argv: options first (--report=FILE, --repeat=N), then
// the four arguments. nullopt when the command line is unusable: an unknown,
// repeated or empty option, a repeat count that is not a whole number from 0
// to max_repeat_count, fewer than four arguments, or a thread count outside
// 1..max_thread_count.
std::optional<RunConfig> parse_run_config(int argc, const char* const* argv);

}  // namespace spmv
