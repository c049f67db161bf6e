// What a measurement ran on: the machine, the processors the process may use
// and the OpenMP settings in force, for the report of a run.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace spmv {

// The load averages over 1, 5 and 15 minutes.
using LoadAverage = std::array<double, 3>;

// One cache of CPU 0, as the kernel describes it.
struct CacheLevel {
  std::int32_t level = 0;           // 1, 2, 3...
  std::string type;                 // "Data", "Instruction" or "Unified"
  std::int64_t size_bytes = 0;      // its size
  std::int32_t shared_by_cpus = 0;  // the CPUs that share it
};

// CPU 0's clock rates, in MHz, where cpufreq tells them.
struct FrequencyMhz {
  std::optional<double> min;      // the lowest the hardware runs at
  std::optional<double> max;      // the highest
  std::optional<double> current;  // when the context was read
};

// The context of a run, as the report records it.
struct MachineContext {
  std::string host;                // the node's host name
  std::string cpu_model;           // the first "model name" of /proc/cpuinfo; empty if none
  std::int32_t logical_cpus = 0;   // processors online
  std::int32_t affinity_cpus = 0;  // processors in the affinity mask the process started with
  std::int32_t numa_nodes = 0;     // NUMA nodes the kernel shows; 0 when it shows none
  std::vector<std::pair<std::string, std::string>> openmp_environment;  // OMP_* settings, as set
  std::int32_t physical_cores = 0;          // distinct cores of the CPUs; 0 when not shown
  std::int32_t threads_per_core = 0;        // the most CPUs of one core; 0 when not shown
  std::vector<std::int64_t> core_of_cpu;    // CPU c's core, numbered from 0; -1 where not shown
  std::int64_t memory_bytes = 0;            // MemTotal of /proc/meminfo; 0 when not shown
  std::vector<CacheLevel> caches;           // CPU 0's caches, in the kernel's order
  FrequencyMhz frequency_mhz;               // CPU 0's clock rates
  std::optional<std::string> governor;      // CPU 0's frequency governor (the first CPU's with one)
  std::vector<std::string> governors;       // every governor of the CPUs, each once
  std::string kernel;                       // uname's release and version
  std::string os;                           // PRETTY_NAME of /etc/os-release; empty if none
  std::optional<LoadAverage> load_average;  // when the context was read
  std::int64_t peak_memory_bytes = 0;       // the process's largest resident size so far
};

// The OpenMP variables that the report records when they are set.
inline constexpr const char* recorded_openmp_variables[] = {
    "OMP_PROC_BIND", "OMP_PLACES",       "OMP_NUM_THREADS", "OMP_WAIT_POLICY",
    "OMP_DYNAMIC",   "OMP_THREAD_LIMIT", "OMP_STACKSIZE"};

// Reads the context of this process and machine.
MachineContext describe_machine();

// describe_machine() with the files of /proc, /sys and /etc read beneath the
// folder `root` ("" for the real ones).
MachineContext describe_machine_under(const std::string& root);

// The load averages of `root`/proc/loadavg, when it can be read.
std::optional<LoadAverage> load_average_under(const std::string& root);

// The count of CPUs in a kernel CPU list such as "0-3,8,10-11"; 0 for none.
std::int32_t cpu_list_count(const std::string& list);

// Bytes of a kernel cache size such as "32K", "1024K" or "8M"; 0 when unreadable.
std::int64_t cache_size_bytes(const std::string& size);

}  // namespace spmv
