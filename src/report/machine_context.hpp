// What a measurement ran on: the machine, the processors the process may use
// and the OpenMP settings in force, for the report of a run.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace spmv {

// The context of a run, as the report records it.
struct MachineContext {
  std::string host;                // the node's host name
  std::string cpu_model;           // the first "model name" of /proc/cpuinfo; empty if none
  std::int32_t logical_cpus = 0;   // processors online
  std::int32_t affinity_cpus = 0;  // processors in the affinity mask the process started with
  std::int32_t numa_nodes = 0;     // NUMA nodes the kernel shows; 0 when it shows none
  std::vector<std::pair<std::string, std::string>> openmp_environment;  // OMP_* settings, as set
};

// The OpenMP variables that the report records when they are set.
inline constexpr const char* recorded_openmp_variables[] = {
    "OMP_PROC_BIND", "OMP_PLACES",       "OMP_NUM_THREADS", "OMP_WAIT_POLICY",
    "OMP_DYNAMIC",   "OMP_THREAD_LIMIT", "OMP_STACKSIZE"};

// Reads the context of this process and machine.
MachineContext describe_machine();

}  // namespace spmv
