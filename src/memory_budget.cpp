// Memory check of a run: what its arrays and vectors take, and which limit
// stands in the way when they do not fit.
#include "memory_budget.hpp"

#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <fstream>

namespace spmv {

namespace {

// A size for messages: GiB from one GiB up, MiB below, one decimal.
std::string size_text(std::uint64_t bytes) {
  const bool large = bytes >= (std::uint64_t{1} << 30);
  char text[32];
  std::snprintf(text, sizeof text, large ? "%.1f GiB" : "%.1f MiB",
                static_cast<double>(bytes) / (large ? 1024.0 * 1024 * 1024 : 1024.0 * 1024));
  return text;
}

}  // namespace

std::uint64_t mapped_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t pages = 0;
  if (!(statm >> pages)) return 0;
  return pages * static_cast<std::uint64_t>(sysconf(_SC_PAGE_SIZE));
}

std::uint64_t memory_and_swap_bytes() {
  struct sysinfo info {};
  if (sysinfo(&info) != 0) return UINT64_MAX;
  return (static_cast<std::uint64_t>(info.totalram) + info.totalswap) * info.mem_unit;
}

MemoryLimit usable_memory() {
  MemoryLimit limit{UINT64_MAX, "no memory limit is known"};
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages > 0 && page_size > 0) {
    limit.bytes = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
    limit.description = "the machine has " + size_text(limit.bytes);
  }
  std::ifstream cgroup("/sys/fs/cgroup/memory.max");
  std::uint64_t cgroup_limit = 0;
  if (cgroup >> cgroup_limit && cgroup_limit > 0 && cgroup_limit < limit.bytes) {
    limit = {cgroup_limit, "the cgroup memory limit (memory.max) is " + size_text(cgroup_limit)};
  }
  rlimit address_space{};
  if (getrlimit(RLIMIT_AS, &address_space) == 0 && address_space.rlim_cur != RLIM_INFINITY) {
    const std::uint64_t mapped = mapped_bytes();
    const std::uint64_t left =
        address_space.rlim_cur > mapped ? address_space.rlim_cur - mapped : 0;
    if (left < limit.bytes) {
      limit = {left, "the address-space limit (ulimit -v) of " + size_text(address_space.rlim_cur) +
                         " leaves " + size_text(left)};
    }
  }
  return limit;
}

std::uint64_t run_bytes_needed(VectorLengths lengths, std::int64_t slots,
                               std::int64_t thread_count) {
  const auto columns = static_cast<std::uint64_t>(lengths.input);
  const auto rows = static_cast<std::uint64_t>(lengths.result);
  const auto workers = static_cast<std::uint64_t>(thread_count);
  const std::uint64_t matrix =
      static_cast<std::uint64_t>(slots) * (2 * sizeof(std::int32_t) + sizeof(Extended));
  // The input vector, the result and one partial vector per worker.
  const std::uint64_t vectors =
      columns * sizeof(std::int32_t) + rows * sizeof(Extended) + workers * rows * sizeof(Extended);
  const std::uint64_t table = workers * sizeof(std::unique_ptr<Extended[]>);
  return matrix + vectors + table;  // lengths, slots and workers are int32, so no overflow
}

Failure memory_failure(VectorLengths lengths, std::int64_t slots, std::int64_t thread_count,
                       std::uint64_t kept_bytes) {
  const std::uint64_t needed = run_bytes_needed(lengths, slots, thread_count) + kept_bytes;
  const std::int64_t n = lengths.input;
  char line[160];
  std::snprintf(line, sizeof line,
                "not enough memory: the run needs %" PRIu64 " bytes (%s) for n = %" PRId64
                ", nnz = %" PRId64 " and %" PRId64 " threads; ",
                needed, size_text(needed).c_str(), n, slots, thread_count);
  char kept[64] = "";
  if (kept_bytes > 0) {
    std::snprintf(kept, sizeof kept, "(%" PRIu64 " bytes of them unpacked text) ", kept_bytes);
  }
  return Failure{Failure::Kind::memory, std::string(line) + kept + usable_memory().description};
}

std::optional<Failure> check_run_memory(VectorLengths lengths, std::int64_t slots,
                                        std::int64_t thread_count, std::uint64_t kept_bytes) {
  if (run_bytes_needed(lengths, slots, thread_count) + kept_bytes <= usable_memory().bytes) {
    return std::nullopt;
  }
  return memory_failure(lengths, slots, thread_count, kept_bytes);
}

}  // namespace spmv
