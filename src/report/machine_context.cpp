// The machine, the processors and the OpenMP settings of this process.
#include "report/machine_context.hpp"

#include <dirent.h>
#include <omp.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace spmv {

namespace {

// The first line of the file at `path`, when it can be read.
std::optional<std::string> first_line(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  if (!std::getline(file, line)) return std::nullopt;
  return line;
}

// The whole number that starts the file at `path`, when it holds one.
std::optional<std::int64_t> number_in(const std::string& path) {
  const std::optional<std::string> line = first_line(path);
  if (!line) return std::nullopt;
  char* end = nullptr;
  const long long value = std::strtoll(line->c_str(), &end, 10);
  if (end == line->c_str()) return std::nullopt;
  return value;
}

// The first "model name" of /proc/cpuinfo, without its label.
std::string cpu_model_name(const std::string& root) {
  std::ifstream cpuinfo(root + "/proc/cpuinfo");
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

// The numbers N of the entries named `prefix`N (digits only) in `folder`, in order.
std::vector<std::int32_t> numbered_entries(const std::string& folder, const char* prefix) {
  std::vector<std::int32_t> numbers;
  DIR* entries = opendir(folder.c_str());
  if (entries == nullptr) return numbers;
  const std::size_t length = std::strlen(prefix);
  while (const dirent* entry = readdir(entries)) {
    const char* name = entry->d_name;
    if (std::strncmp(name, prefix, length) != 0 || name[length] == '\0') continue;
    if (std::strspn(name + length, "0123456789") != std::strlen(name + length)) continue;
    numbers.push_back(static_cast<std::int32_t>(std::atoi(name + length)));
  }
  closedir(entries);
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

// The cores of the CPUs, from each CPU's topology: physical_cores,
// threads_per_core and core_of_cpu of `context`.
void read_topology(const std::string& cpus, const std::vector<std::int32_t>& numbers,
                   MachineContext& context) {
  std::map<std::pair<std::int64_t, std::int64_t>, std::int64_t> core_numbers;
  std::map<std::int64_t, std::int32_t> cpus_of_core;
  for (const std::int32_t cpu : numbers) {
    const std::string topology = cpus + "/cpu" + std::to_string(cpu) + "/topology/";
    const auto package = number_in(topology + "physical_package_id");
    const auto core = number_in(topology + "core_id");
    if (!package || !core) continue;
    const auto [found, added] = core_numbers.emplace(
        std::pair{*package, *core}, static_cast<std::int64_t>(core_numbers.size()));
    if (context.core_of_cpu.size() <= static_cast<std::size_t>(cpu)) {
      context.core_of_cpu.resize(static_cast<std::size_t>(cpu) + 1, -1);
    }
    context.core_of_cpu[static_cast<std::size_t>(cpu)] = found->second;
    ++cpus_of_core[found->second];
  }
  context.physical_cores = static_cast<std::int32_t>(core_numbers.size());
  for (const auto& [core, count] : cpus_of_core) {
    context.threads_per_core = std::max(context.threads_per_core, count);
  }
}

// CPU 0's caches, from its cache/indexN folders.
std::vector<CacheLevel> read_caches(const std::string& cpu0) {
  std::vector<CacheLevel> caches;
  const std::string folder = cpu0 + "/cache";
  for (const std::int32_t index : numbered_entries(folder, "index")) {
    const std::string cache = folder + "/index" + std::to_string(index) + "/";
    CacheLevel level;
    level.level = static_cast<std::int32_t>(number_in(cache + "level").value_or(0));
    level.type = first_line(cache + "type").value_or("");
    level.size_bytes = cache_size_bytes(first_line(cache + "size").value_or(""));
    level.shared_by_cpus = cpu_list_count(first_line(cache + "shared_cpu_list").value_or(""));
    caches.push_back(level);
  }
  return caches;
}

// A cpufreq rate in kHz as MHz, when the file holds one.
std::optional<double> mhz_in(const std::string& path) {
  const auto khz = number_in(path);
  if (!khz) return std::nullopt;
  return static_cast<double>(*khz) / 1000;
}

// The PRETTY_NAME of an os-release file, without its quotes.
std::string os_name(const std::string& root) {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::ifstream file(root + path);
    std::string line;
    while (std::getline(file, line)) {
      if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
      std::string value = line.substr(std::strlen("PRETTY_NAME="));
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
      }
      return value;
    }
  }
  return {};
}

// MemTotal of /proc/meminfo, in bytes; 0 when not shown.
std::int64_t total_memory(const std::string& root) {
  std::ifstream meminfo(root + "/proc/meminfo");
  std::string label;
  std::int64_t kib = 0;
  std::string unit;
  while (meminfo >> label >> kib >> unit) {
    if (label == "MemTotal:") return kib * 1024;
  }
  return 0;
}

}  // namespace

std::int32_t cpu_list_count(const std::string& list) {
  std::int32_t count = 0;
  std::istringstream ranges(list);
  std::string range;
  while (std::getline(ranges, range, ',')) {
    const char* text = range.c_str();
    char* end = nullptr;
    const long first = std::strtol(text, &end, 10);
    if (end == text) continue;
    long last = first;
    if (*end == '-') last = std::strtol(end + 1, nullptr, 10);
    if (last >= first) count += static_cast<std::int32_t>(last - first + 1);
  }
  return count;
}

std::int64_t cache_size_bytes(const std::string& size) {
  char* end = nullptr;
  const long long value = std::strtoll(size.c_str(), &end, 10);
  if (end == size.c_str() || value < 0) return 0;
  switch (*end) {
    case 'K':
      return value << 10;
    case 'M':
      return value << 20;
    case 'G':
      return value << 30;
    default:
      return value;
  }
}

std::optional<LoadAverage> load_average_under(const std::string& root) {
  std::ifstream file(root + "/proc/loadavg");
  LoadAverage load{};
  if (!(file >> load[0] >> load[1] >> load[2])) return std::nullopt;
  return load;
}

MachineContext describe_machine_under(const std::string& root) {
  MachineContext context;
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) == 0) context.host = host;
  context.cpu_model = cpu_model_name(root);
  context.logical_cpus = static_cast<std::int32_t>(sysconf(_SC_NPROCESSORS_ONLN));
  // The OpenMP runtime counts the processors of the affinity mask the process
  // started with; the mask itself is narrowed once threads are bound.
  context.affinity_cpus = omp_get_num_procs();
  context.numa_nodes =
      static_cast<std::int32_t>(numbered_entries(root + "/sys/devices/system/node", "node").size());
  for (const char* name : recorded_openmp_variables) {
    if (const char* value = std::getenv(name)) context.openmp_environment.emplace_back(name, value);
  }
  const std::string cpus = root + "/sys/devices/system/cpu";
  const std::vector<std::int32_t> numbers = numbered_entries(cpus, "cpu");
  read_topology(cpus, numbers, context);
  context.memory_bytes = total_memory(root);
  context.caches = read_caches(cpus + "/cpu0");
  const std::string cpufreq = cpus + "/cpu0/cpufreq/";
  context.frequency_mhz = {mhz_in(cpufreq + "cpuinfo_min_freq"),
                           mhz_in(cpufreq + "cpuinfo_max_freq"),
                           mhz_in(cpufreq + "scaling_cur_freq")};
  for (const std::int32_t cpu : numbers) {
    const auto governor =
        first_line(cpus + "/cpu" + std::to_string(cpu) + "/cpufreq/scaling_governor");
    if (!governor) continue;
    if (!context.governor) context.governor = governor;
    if (std::find(context.governors.begin(), context.governors.end(), *governor) ==
        context.governors.end()) {
      context.governors.push_back(*governor);
    }
  }
  utsname names{};
  if (uname(&names) == 0) context.kernel = std::string(names.release) + " " + names.version;
  context.os = os_name(root);
  context.load_average = load_average_under(root);
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) == 0) context.peak_memory_bytes = usage.ru_maxrss * 1024LL;
  return context;
}

MachineContext describe_machine() {
  return describe_machine_under("");
}

}  // namespace spmv
