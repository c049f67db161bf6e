// The memory limits the program finds: cgroup v1 and v2 limit files and
// /proc/meminfo, laid out in fake trees as the kernel lays them out.
#include "base/memory_budget.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "test_support.hpp"

using namespace spmv;

namespace {

// The machine's physical memory, as the limits fall back on it.
std::uint64_t physical_bytes() {
  return static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) *
         static_cast<std::uint64_t>(sysconf(_SC_PAGE_SIZE));
}

constexpr std::uint64_t mib = std::uint64_t{1} << 20;
const std::string v2 = "/sys/fs/cgroup";
const std::string v1 = "/sys/fs/cgroup/memory";
const std::string v1_file = "/memory.limit_in_bytes";
const std::string v1_none = "9223372036854771712\n";

TEST(MemoryBudget, CgroupLimitsOfBothVersionsAndEveryParentLeastWins) {
  const struct {
    const char* what;
    Files files;
    std::uint64_t bytes;  // the limit expected; 0 when the tree sets none
    std::string path;     // the file expected to be named
  } cases[] = {
      {"v2 root of a cgroup namespace",
       {{"/proc/self/cgroup", "0::/\n"}, {v2 + "/memory.max", "536870912\n"}},
       512 * mib,
       v2 + "/memory.max"},
      {"v2 root without /proc/self/cgroup",
       {{v2 + "/memory.max", "536870912\n"}},
       512 * mib,
       v2 + "/memory.max"},
      {"v2 own deep cgroup, a parent tighter than the child",
       {{"/proc/self/cgroup", "0::/a/b/c\n"},
        {v2 + "/a/memory.max", "268435456\n"},
        {v2 + "/a/b/memory.max", "max\n"},
        {v2 + "/a/b/c/memory.max", "536870912\n"}},
       256 * mib,
       v2 + "/a/memory.max"},
      {"v2 own deep cgroup, the child tighter than its parents",
       {{"/proc/self/cgroup", "0::/a/b/c\n"},
        {v2 + "/a/memory.max", "536870912\n"},
        {v2 + "/a/b/c/memory.max", "134217728\n"},
        {v2 + "/memory.max", "max\n"}},
       128 * mib,
       v2 + "/a/b/c/memory.max"},
      {"v2 own cgroup missing, the root's limit stands",
       {{"/proc/self/cgroup", "0::/gone/x\n"}, {v2 + "/memory.max", "314572800\n"}},
       300 * mib,
       v2 + "/memory.max"},
      {"v2 path leaving the namespace is not followed out of the hierarchy",
       {{"/proc/self/cgroup", "0::/../x\n"},
        {"/sys/fs/x/memory.max", "33554432\n"},
        {v2 + "/memory.max", "67108864\n"}},
       64 * mib,
       v2 + "/memory.max"},
      {"v1 own cgroup under a root without limit",
       {{"/proc/self/cgroup", "9:name=systemd:/\n4:memory:/x/y\n1:cpu:/\n0::/\n"},
        {v1 + v1_file, v1_none},
        {v1 + "/x/y" + v1_file, "209715200\n"}},
       200 * mib,
       v1 + "/x/y" + v1_file},
      {"v1 parent tighter than the child",
       {{"/proc/self/cgroup", "4:memory:/x/y\n"},
        {v1 + "/x" + v1_file, "157286400\n"},
        {v1 + "/x/y" + v1_file, v1_none}},
       150 * mib,
       v1 + "/x" + v1_file},
      {"v1 memory among combined controllers",
       {{"/proc/self/cgroup", "4:cpu,memory:/x\n"}, {v1 + "/x" + v1_file, "104857600\n"}},
       100 * mib,
       v1 + "/x" + v1_file},
      {"v1 combined controllers mounted under their list",
       {{"/proc/self/cgroup", "4:cpu,memory:/x\n"},
        {v2 + "/cpu,memory/x" + v1_file, "104857600\n"}},
       100 * mib,
       v2 + "/cpu,memory/x" + v1_file},
      {"v1 tighter than v2",
       {{"/proc/self/cgroup", "4:memory:/x\n0::/a\n"},
        {v2 + "/a/memory.max", "419430400\n"},
        {v1 + "/x" + v1_file, "314572800\n"}},
       300 * mib,
       v1 + "/x" + v1_file},
      {"v2 tighter than v1",
       {{"/proc/self/cgroup", "4:memory:/x\n0::/a\n"},
        {v2 + "/a/memory.max", "209715200\n"},
        {v1 + "/x" + v1_file, "314572800\n"}},
       200 * mib,
       v2 + "/a/memory.max"},
      {"a controller whose name only contains memory",
       {{"/proc/self/cgroup", "4:memory_x:/x\n"}, {v1 + "/x" + v1_file, "104857600\n"}},
       0,
       ""},
      {"max everywhere",
       {{"/proc/self/cgroup", "0::/a\n"},
        {v2 + "/a/memory.max", "max\n"},
        {v2 + "/memory.max", "max\n"}},
       0,
       ""},
      {"v1's huge value for no limit", {{v1 + v1_file, v1_none}}, 0, ""},
      {"garbage values",
       {{"/proc/self/cgroup", "0::/a/b/c/d/e\n4:memory:/f\n"},
        {v2 + "/a/memory.max", "12abc\n"},
        {v2 + "/a/b/memory.max", "-5\n"},
        {v2 + "/a/b/c/memory.max", "\n"},
        {v2 + "/a/b/c/d/memory.max", "0\n"},
        {v2 + "/a/b/c/d/e/memory.max", "99999999999999999999999\n"},
        {v2 + "/memory.max", "1e9\n"},
        {v1 + "/f" + v1_file, "0x1000000\n"}},
       0,
       ""},
      {"garbage lines of /proc/self/cgroup",
       {{"/proc/self/cgroup", "memory\n4:memory\n4:memory:x\n0:a\n"},
        {v1 + "/x" + v1_file, "104857600\n"}},
       0,
       ""},
  };
  const FakeRoot empty({});
  const MemoryLimit unlimited = usable_memory_under(empty.path());
  for (const auto& c : cases) {
    const FakeRoot root(c.files);
    const MemoryLimit limit = usable_memory_under(root.path());
    if (c.bytes == 0) {
      EXPECT_EQ(limit.bytes, unlimited.bytes) << c.what << ": " << limit.description;
      EXPECT_EQ(limit.description, unlimited.description) << c.what;
    } else {
      EXPECT_EQ(limit.bytes, c.bytes) << c.what << ": " << limit.description;
      EXPECT_EQ(limit.description, "the cgroup memory limit (" + c.path + ") is " +
                                       std::to_string(c.bytes / mib) + ".0 MiB")
          << c.what;
    }
  }
}

TEST(MemoryBudget, AvailableMemoryBoundsTheUnpackedText) {
  const std::string meminfo_head = "MemTotal:       24683716 kB\nMemFree:        23558988 kB\n";
  const struct {
    const char* what;
    Files files;
    std::uint64_t available;   // bytes expected; 0 for the physical memory
    std::uint64_t text_bytes;  // the unpacked text's limit expected
    std::string text_limit;    // and its description
  } cases[] = {
      {"MemAvailable in kB",
       {{"/proc/meminfo", meminfo_head + "MemAvailable:     102400 kB\nBuffers: 1 kB\n"}},
       100 * mib,
       100 * mib,
       "the machine has 100.0 MiB available"},
      {"a cgroup tighter than the available memory",
       {{"/proc/meminfo", meminfo_head + "MemAvailable:     102400 kB\n"},
        {v2 + "/memory.max", "67108864\n"}},
       100 * mib,
       64 * mib,
       "the cgroup memory limit (/sys/fs/cgroup/memory.max) is 64.0 MiB"},
      {"the available memory tighter than a cgroup",
       {{"/proc/meminfo", meminfo_head + "MemAvailable:      51200 kB\n"},
        {v2 + "/memory.max", "67108864\n"}},
       50 * mib,
       50 * mib,
       "the machine has 50.0 MiB available"},
      {"no MemAvailable line (kernels before 3.14)", {{"/proc/meminfo", meminfo_head}}, 0, 0, ""},
      {"no /proc/meminfo", {}, 0, 0, ""},
      {"a MemAvailable that is no number",
       {{"/proc/meminfo", meminfo_head + "MemAvailable: lots kB\n"}},
       0,
       0,
       ""},
  };
  for (const auto& c : cases) {
    const FakeRoot root(c.files);
    const std::uint64_t expected = c.available == 0 ? physical_bytes() : c.available;
    EXPECT_EQ(available_memory_bytes_under(root.path()), expected) << c.what;
    const MemoryLimit limit = unpacked_text_limit_under(root.path());
    if (c.text_bytes == 0) {
      // Without a figure of its own, the text is held to what the run may use.
      const MemoryLimit usable = usable_memory_under(root.path());
      EXPECT_EQ(limit.bytes, usable.bytes) << c.what << ": " << limit.description;
      EXPECT_EQ(limit.description, usable.description) << c.what;
    } else {
      EXPECT_EQ(limit.bytes, c.text_bytes) << c.what << ": " << limit.description;
      EXPECT_EQ(limit.description, c.text_limit) << c.what;
    }
  }
}

}  // namespace
