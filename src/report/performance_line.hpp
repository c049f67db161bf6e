// The line that reports a run: Tp, S and E for the thread count used.
#pragma once

#include <cstdio>
#include <string>

#include "base/run_types.hpp"

namespace spmv {

// Tp, S and E of a run, as the performance line prints them.
struct Performance {
  double tp = 0;     // modelled parallel time, seconds, rounded as printed
  double s = 0;      // 1 / Tp, rounded as printed
  double e = 0;      // S / THREADS, rounded as printed
  std::string line;  // the performance line, with its newline
};

// Computes Tp, S and E from the clock and formats the performance line.
Performance measure_performance(const RunConfig& config, const RunClock& clock);

// Writes the performance line, with Tp, S and E computed from the clock.
void print_performance(std::FILE* out, const RunConfig& config, const RunClock& clock);

}  // namespace spmv
