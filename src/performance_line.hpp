// The line that reports a run: Tp, S and E for the thread count used.
#pragma once

#include <cstdio>

#include "run_types.hpp"

namespace spmv {

// Writes the performance line, with Tp, S and E computed from the clock.
void print_performance(std::FILE* out, const RunConfig& config, const RunClock& clock);

}  // namespace spmv
