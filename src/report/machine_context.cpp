// The machine, the processors and the OpenMP settings of this process.
#include "report/machine_context.hpp"

#include <dirent.h>
#include <omp.h>
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
  // The OpenMP runtime counts the processors of the affinity mask the process
  // started with; the mask itself is narrowed once threads are bound.
  context.affinity_cpus = omp_get_num_procs();
  context.numa_nodes = numa_node_count();
  for (const char* name : recorded_openmp_variables) {
    if (const char* value = std::getenv(name)) context.openmp_environment.emplace_back(name, value);
  }
  return context;
}

}  // namespace spmv
