// The machine, the processors and the OpenMP settings of this process.
#include "machine_context.hpp"

#include <dirent.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

namespace spmv {

namespace {

// The first "model name" of /proc/cpuinfo, without its label.
std::string cpu_model_name() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) != 0) continue;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::size_t start = line.find_first_not_of(" \t", colon + 1);
    return start == std::string::npos ? std::string() : line.substr(start);
  }
  return {};
}

// Processors in the affinity mask, for masks of up to 64 Ki processors.
std::int32_t affinity_count() {
  constexpr int most_cpus = 65536;
  cpu_set_t* set = CPU_ALLOC(most_cpus);
  if (set == nullptr) return 0;
  const std::size_t size = CPU_ALLOC_SIZE(most_cpus);
  CPU_ZERO_S(size, set);
  const int count = sched_getaffinity(0, size, set) == 0 ? CPU_COUNT_S(size, set) : 0;
  CPU_FREE(set);
  return count;
}

// Folders node0, node1, ... that the kernel shows for NUMA nodes.
std::int32_t numa_node_count() {
  DIR* nodes = opendir("/sys/devices/system/node");
  if (nodes == nullptr) return 0;
  std::int32_t count = 0;
  while (const dirent* entry = readdir(nodes)) {
    if (std::strncmp(entry->d_name, "node", 4) == 0 && entry->d_name[4] >= '0' &&
        entry->d_name[4] <= '9') {
      ++count;
    }
  }
  closedir(nodes);
  return count;
}

}  // namespace

MachineContext describe_machine() {
  MachineContext context;
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) == 0) context.host = host;
  context.cpu_model = cpu_model_name();
  context.logical_cpus = static_cast<std::int32_t>(sysconf(_SC_NPROCESSORS_ONLN));
  context.affinity_cpus = affinity_count();
  context.numa_nodes = numa_node_count();
  for (const char* name : recorded_openmp_variables) {
    if (const char* value = std::getenv(name)) context.openmp_environment.emplace_back(name, value);
  }
  return context;
}

}  // namespace spmv
