// The memory a run needs, against the memory the process may still use.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/failure.hpp"
#include "base/run_types.hpp"

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

// The least of: physical memory, the memory limits of the process's cgroup
// and of every cgroup above it (cgroup v2 memory.max and cgroup v1
// memory.limit_in_bytes, as /proc/self/cgroup names them), and what the
// address-space limit (ulimit -v) leaves beside what the process maps already
// (thread stacks included). This is what the run's arrays may take.
MemoryLimit usable_memory();

// usable_memory() with /proc/self/cgroup and the cgroup files under /sys read
// beneath the folder `root` ("" for the real ones); physical memory and the
// address-space limit are the process's own.
MemoryLimit usable_memory_under(const std::string& root);

// Bytes of memory the machine can still give without swapping: MemAvailable
// of /proc/meminfo, or the physical memory where the kernel gives none.
std::uint64_t available_memory_bytes();

// available_memory_bytes() with /proc/meminfo read beneath the folder `root`.
std::uint64_t available_memory_bytes_under(const std::string& root);

// The most that the unpacked text of a compressed matrix file may take: the
// least of usable_memory() and available_memory_bytes(). The text lives in a
// memory file, whose pages count to none of the figures that usable_memory()
// is checked against, so it is held to what the machine can give now as well.
MemoryLimit unpacked_text_limit();

// unpacked_text_limit() with its files read beneath the folder `root`.
MemoryLimit unpacked_text_limit_under(const std::string& root);

// The arrays of a matrix: how many slots, and the bytes each takes
// (slot_bytes()).
struct SlotArrays {
  std::int64_t slots = 0;       // slots held
  std::int64_t bytes_each = 0;  // bytes per slot
};

// The arrays of `slots` slots of m.
inline SlotArrays slot_arrays(const CooMatrix& m, std::int64_t slots) {
  return {slots, slot_bytes(m.unit_values)};
}

// Bytes that the matrix arrays and the vectors of a run (`lengths`, a
// partial vector for each thread) take; UINT64_MAX when they pass it.
std::uint64_t run_bytes_needed(VectorLengths lengths, SlotArrays arrays, std::int64_t thread_count);

// The failure of a run that cannot get the memory its sizes call for, naming
// the limit in the way.
// `kept_bytes` is memory the run holds beside them (the unpacked text of a
// compressed matrix file).
Failure memory_failure(VectorLengths lengths, SlotArrays arrays, std::int64_t thread_count,
                       std::uint64_t kept_bytes = 0);

// Refuses a run whose arrays and vectors, with `kept_bytes` beside them,
// would not fit in usable_memory().
std::optional<Failure> check_run_memory(VectorLengths lengths, SlotArrays arrays,
                                        std::int64_t thread_count, std::uint64_t kept_bytes = 0);

}  // namespace spmv
