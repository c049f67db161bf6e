// The memory a run needs, against the memory the process may still use.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "failure.hpp"
#include "run_types.hpp"

namespace spmv {

// The tightest limit on the memory the process may still take.
struct MemoryLimit {
  std::uint64_t bytes = 0;  // what the run may still allocate
  std::string description;  // which limit that is and what it leaves, for messages
};

// Bytes of address space the process maps now.
std::uint64_t mapped_bytes();

// Bytes of physical memory and swap space of the machine.
std::uint64_t memory_and_swap_bytes();

// The least of: physical memory, the cgroup's memory.max, and what the
// address-space limit (ulimit -v) leaves beside what the process maps already
// (thread stacks included).
MemoryLimit usable_memory();

// Bytes that the matrix arrays (`slots` entries) and the vectors of a run
// (`lengths`, a partial vector for each thread) take.
std::uint64_t run_bytes_needed(VectorLengths lengths, std::int64_t slots,
                               std::int64_t thread_count);

// The failure of a run that cannot get the memory its sizes call for, naming
// the limit in the way.
// `kept_bytes` is memory the run holds beside them (the unpacked text of a
// compressed matrix file).
Failure memory_failure(VectorLengths lengths, std::int64_t slots, std::int64_t thread_count,
                       std::uint64_t kept_bytes = 0);

// Refuses a run whose arrays and vectors, with `kept_bytes` beside them,
// would not fit in usable_memory().
std::optional<Failure> check_run_memory(VectorLengths lengths, std::int64_t slots,
                                        std::int64_t thread_count, std::uint64_t kept_bytes = 0);

}  // namespace spmv
