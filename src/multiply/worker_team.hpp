// The run's team of OpenMP threads, started once before the file is read.
#pragma once

#include <cstdint>
#include <optional>

#include "base/failure.hpp"
#include "base/run_types.hpp"

namespace spmv {

// Turns off the runtime's dynamic adjustment of team sizes and starts a team
// of thread_count threads, which the runtime then keeps for every later
// region of that size. Refuses, before anything is read, a thread count that
// the OpenMP thread limit does not allow, or that the limits on processes
// (ulimit -u) or address space (ulimit -v) would make fail: the OpenMP runtime
// would otherwise end the process with its own message, or run a smaller team.
std::optional<Failure> start_worker_team(std::int32_t thread_count);

// Bytes of stack that each OpenMP thread gets: OMP_STACKSIZE (or
// GOMP_STACKSIZE) as the runtime reads it, else the default of new threads.
std::uint64_t openmp_stack_bytes();

}  // namespace spmv
