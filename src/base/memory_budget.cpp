// Memory check of a run: what its arrays and vectors take, and which limit
// stands in the way when they do not fit.
#include "base/memory_budget.hpp"

#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

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

// Bytes of physical memory of the machine; 0 when the system does not tell.
std::uint64_t physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

// A cgroup hierarchy that may hold a memory limit of the process, as
// /proc/self/cgroup names it.
struct MemoryHierarchy {
  std::string mount;       // where the hierarchy is mounted, "/sys/fs/cgroup/memory" say
  std::string cgroup;      // the process's cgroup in it, "/a/b" say, "/" for the root
  std::string limit_file;  // the name of the limit file in each cgroup's folder
};

// The cgroup hierarchies that may limit the process's memory: cgroup v2's
// ("0::PATH") and cgroup v1's memory controller ("N:LIST:PATH" where the
// comma-separated LIST holds "memory"), read from `root`/proc/self/cgroup. The
// root cgroup of each stands in where the file does not name one, so that a
// limit set on a container's own hierarchy is found without that file.
std::vector<MemoryHierarchy> memory_hierarchies(const std::string& root) {
  const std::string v2_mount = "/sys/fs/cgroup";
  const std::string v1_mount = "/sys/fs/cgroup/memory";
  std::vector<MemoryHierarchy> found;
  bool has_v2 = false;
  bool has_v1 = false;
  std::ifstream file(root + "/proc/self/cgroup");
  std::string line;
  while (std::getline(file, line)) {
    const auto first = line.find(':');
    const auto second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string id = line.substr(0, first);
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (path.empty() || path[0] != '/') continue;
    if (id == "0" && controllers.empty()) {
      found.push_back({v2_mount, path, "memory.max"});
      has_v2 = true;
      continue;
    }
    std::istringstream list(controllers);
    std::string controller;
    while (std::getline(list, controller, ',')) {
      if (controller != "memory") continue;
      found.push_back({v1_mount, path, "memory.limit_in_bytes"});
      // A co-mounted hierarchy is mounted under its list's name.
      if (controllers != "memory") {
        found.push_back({v2_mount + "/" + controllers, path, "memory.limit_in_bytes"});
      }
      has_v1 = true;
      break;
    }
  }
  if (!has_v2) found.push_back({v2_mount, "/", "memory.max"});
  if (!has_v1) found.push_back({v1_mount, "/", "memory.limit_in_bytes"});
  return found;
}

// The folders of `cgroup` and of every cgroup above it, relative to its
// hierarchy's mount, the root ("") last: "/a/b" gives "/a/b", "/a" and "". A
// path that leaves the hierarchy ("..", a cgroup outside the process's cgroup
// namespace) gives the root alone.
std::vector<std::string> cgroup_and_parents(const std::string& cgroup) {
  std::vector<std::string> folders;
  std::string folder;
  std::istringstream parts(cgroup);
  std::string part;
  while (std::getline(parts, part, '/')) {
    if (part.empty() || part == ".") continue;
    if (part == "..") return {""};
    folder += "/" + part;
    folders.push_back(folder);
  }
  std::reverse(folders.begin(), folders.end());
  folders.push_back("");
  return folders;
}

// The limit in a cgroup limit file: a whole number of bytes. None when the
// file is missing or unreadable, says "max", is not a number, or says 0
// (a process could not live under it, so it is not what it seems).
std::optional<std::uint64_t> read_limit_file(const std::string& path) {
  std::ifstream file(path);
  std::string text;
  if (!std::getline(file, text)) return std::nullopt;
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.pop_back();
  }
  std::uint64_t bytes = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, bytes);
  if (text.empty() || error != std::errc{} || stop != end || bytes == 0) return std::nullopt;
  return bytes;
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
  return usable_memory_under("");
}

MemoryLimit usable_memory_under(const std::string& root) {
  MemoryLimit limit{UINT64_MAX, "no memory limit is known"};
  if (const std::uint64_t physical = physical_memory_bytes(); physical > 0) {
    limit = {physical, "the machine has " + size_text(physical)};
  }
  // The least limit of any cgroup on the way to the root binds the process;
  // on a tie the deepest is named.
  for (const MemoryHierarchy& hierarchy : memory_hierarchies(root)) {
    for (const std::string& folder : cgroup_and_parents(hierarchy.cgroup)) {
      const std::string path = hierarchy.mount + folder + "/" + hierarchy.limit_file;
      const std::optional<std::uint64_t> bytes = read_limit_file(root + path);
      if (bytes && *bytes < limit.bytes) {
        limit = {*bytes, "the cgroup memory limit (" + path + ") is " + size_text(*bytes)};
      }
    }
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

std::uint64_t available_memory_bytes() {
  return available_memory_bytes_under("");
}

std::uint64_t available_memory_bytes_under(const std::string& root) {
  std::ifstream meminfo(root + "/proc/meminfo");
  std::string line;
  while (std::getline(meminfo, line)) {
    std::istringstream fields(line);
    std::string name;
    std::uint64_t kibibytes = 0;
    std::string unit;
    if (!(fields >> name) || name != "MemAvailable:") continue;
    if (fields >> kibibytes >> unit && unit == "kB" && kibibytes <= UINT64_MAX / 1024) {
      return kibibytes * 1024;
    }
    break;
  }
  const std::uint64_t physical = physical_memory_bytes();
  return physical > 0 ? physical : UINT64_MAX;
}

MemoryLimit unpacked_text_limit() {
  return unpacked_text_limit_under("");
}

MemoryLimit unpacked_text_limit_under(const std::string& root) {
  MemoryLimit limit = usable_memory_under(root);
  const std::uint64_t available = available_memory_bytes_under(root);
  if (available < limit.bytes) {
    limit = {available, "the machine has " + size_text(available) + " available"};
  }
  return limit;
}

std::uint64_t run_bytes_needed(VectorLengths lengths, SlotArrays arrays,
                               std::int64_t thread_count) {
  const auto columns = static_cast<std::uint64_t>(lengths.input);
  const auto rows = static_cast<std::uint64_t>(lengths.result);
  const auto workers = static_cast<std::uint64_t>(thread_count);
  const auto slots = static_cast<std::uint64_t>(arrays.slots);
  const auto each = static_cast<std::uint64_t>(arrays.bytes_each);
  // Slot counts are 64-bit and may come from a header: a count too large for
  // the product needs more than any machine has.
  if (each > 0 && slots > UINT64_MAX / 2 / each) return UINT64_MAX;
  const std::uint64_t matrix = slots * each;
  // The input vector, the result and one partial vector per worker: lengths
  // and workers are int32, so these cannot overflow.
  const std::uint64_t vectors =
      columns * sizeof(std::int32_t) + rows * sizeof(Extended) + workers * rows * sizeof(Extended);
  const std::uint64_t table = workers * sizeof(std::unique_ptr<Extended[]>);
  return matrix + vectors + table;
}

Failure memory_failure(VectorLengths lengths, SlotArrays arrays, std::int64_t thread_count,
                       std::uint64_t kept_bytes) {
  const std::uint64_t run = run_bytes_needed(lengths, arrays, thread_count);
  const std::uint64_t needed = run > UINT64_MAX - kept_bytes ? UINT64_MAX : run + kept_bytes;
  const std::int64_t n = lengths.input;
  char line[160];
  std::snprintf(line, sizeof line,
                "not enough memory: the run needs %" PRIu64 " bytes (%s) for n = %" PRId64
                ", nnz = %" PRId64 " and %" PRId64 " threads; ",
                needed, size_text(needed).c_str(), n, arrays.slots, thread_count);
  char kept[64] = "";
  if (kept_bytes > 0) {
    std::snprintf(kept, sizeof kept, "(%" PRIu64 " bytes of them unpacked text) ", kept_bytes);
  }
  return Failure{Failure::Kind::memory, std::string(line) + kept + usable_memory().description};
}

std::optional<Failure> check_run_memory(VectorLengths lengths, SlotArrays arrays,
                                        std::int64_t thread_count, std::uint64_t kept_bytes) {
  const std::uint64_t run = run_bytes_needed(lengths, arrays, thread_count);
  if (run <= usable_memory().bytes && kept_bytes <= usable_memory().bytes - run) {
    return std::nullopt;
  }
  return memory_failure(lengths, arrays, thread_count, kept_bytes);
}

}  // namespace spmv
