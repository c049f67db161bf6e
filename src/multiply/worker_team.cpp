// Starting the worker team: its limits, a trial of thread creation where a
// limit could stop it, and the team itself.
#include "multiply/worker_team.hpp"

#include <omp.h>
#include <pthread.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "base/memory_budget.hpp"

namespace spmv {

namespace {

// Bytes of a thread's guard page, and of address space kept free beside the
// threads' stacks for the runtime and the C library.
constexpr std::uint64_t guard_bytes = 4096;
constexpr std::uint64_t thread_margin_bytes = std::uint64_t{64} << 20;

Failure team_failure(std::int32_t thread_count, const std::string& reason) {
  return Failure{Failure::Kind::threads,
                 "spmv: cannot run " + std::to_string(thread_count) + " threads: " + reason};
}

// A size as the OpenMP runtime reads OMP_STACKSIZE: digits, then B, K, M or G
// (kibibytes when there is none); 0 when the text is not such a size.
std::uint64_t parse_stack_size(const char* text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long number = std::strtoull(text, &end, 10);
  if (end == text || errno != 0) return 0;
  while (*end == ' ' || *end == '\t') ++end;
  std::uint64_t unit = 1024;
  switch (*end) {
    case '\0':
      break;
    case 'b':
    case 'B':
      unit = 1;
      ++end;
      break;
    case 'k':
    case 'K':
      ++end;
      break;
    case 'm':
    case 'M':
      unit = std::uint64_t{1} << 20;
      ++end;
      break;
    case 'g':
    case 'G':
      unit = std::uint64_t{1} << 30;
      ++end;
      break;
    default:
      return 0;
  }
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0' || number > UINT64_MAX / unit) return 0;  // the runtime ignores it too
  return number * unit;
}

// Threads that exist on the machine now, from the kernel's run-queue figures.
long threads_on_machine() {
  std::ifstream loadavg("/proc/loadavg");
  double load = 0;
  std::string running_and_total;
  if (!(loadavg >> load >> load >> load >> running_and_total)) return -1;
  const auto slash = running_and_total.find('/');
  return slash == std::string::npos ? -1 : std::atol(running_and_total.c_str() + slash + 1);
}

// Threads of the trial wait here until every one of them has been created.
struct Gate {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t opened = PTHREAD_COND_INITIALIZER;
  bool open = false;
};

void* wait_at_gate(void* argument) {
  Gate& gate = *static_cast<Gate*>(argument);
  pthread_mutex_lock(&gate.mutex);
  while (!gate.open) pthread_cond_wait(&gate.opened, &gate.mutex);
  pthread_mutex_unlock(&gate.mutex);
  return nullptr;
}

// Creates `count` threads with stacks of `stack_bytes`, all alive at once, and
// ends them again. Gives how many could be created; `error` is why the next
// one could not.
long try_thread_creation(long count, std::uint64_t stack_bytes, int& error) {
  Gate gate;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, stack_bytes);
  std::vector<pthread_t> created;
  created.reserve(static_cast<std::size_t>(count));
  error = 0;
  for (long i = 0; i < count && error == 0; ++i) {
    pthread_t thread;
    error = pthread_create(&thread, &attributes, wait_at_gate, &gate);
    if (error == 0) created.push_back(thread);
  }
  pthread_attr_destroy(&attributes);
  pthread_mutex_lock(&gate.mutex);
  gate.open = true;
  pthread_cond_broadcast(&gate.opened);
  pthread_mutex_unlock(&gate.mutex);
  for (const pthread_t thread : created) pthread_join(thread, nullptr);
  return static_cast<long>(created.size());
}

std::string mib_text(std::uint64_t bytes) {
  char text[48];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
  return text;
}

// Refuses a team that the process or address-space limit would not let the
// runtime create. Only where such a limit could matter are threads really
// created, once each, and ended again.
std::optional<Failure> check_thread_creation(std::int32_t thread_count) {
  const long extra = thread_count - 1;  // the main thread is worker 0
  if (extra == 0) return std::nullopt;
  rlimit processes{};
  rlimit address_space{};
  getrlimit(RLIMIT_NPROC, &processes);
  getrlimit(RLIMIT_AS, &address_space);
  const bool space_limited = address_space.rlim_cur != RLIM_INFINITY;
  const long existing = threads_on_machine();
  const bool processes_limited =
      processes.rlim_cur != RLIM_INFINITY &&
      (existing < 0 || static_cast<rlim_t>(existing + extra) > processes.rlim_cur);
  const std::uint64_t stack_bytes = openmp_stack_bytes();
  if (stack_bytes > memory_and_swap_bytes()) {
    return team_failure(thread_count,
                        "each thread's stack (OMP_STACKSIZE, or else ulimit -s) takes " +
                            mib_text(stack_bytes) +
                            ", more than the machine's memory and swap space");
  }
  if (!space_limited && !processes_limited) return std::nullopt;
  const std::string space_text = "each thread's stack takes " + mib_text(stack_bytes) +
                                 " of address space, and the address-space limit (ulimit -v) is " +
                                 mib_text(address_space.rlim_cur);
  // The stacks with their guard pages, and room for what the runtime and the
  // C library map beside them (the stacks of the trial stay cached a while).
  const std::uint64_t stacks = static_cast<std::uint64_t>(extra) * (stack_bytes + guard_bytes);
  const std::uint64_t mapped = mapped_bytes();
  const std::uint64_t left = address_space.rlim_cur > mapped ? address_space.rlim_cur - mapped : 0;
  if (space_limited && stacks + thread_margin_bytes > left) {
    return team_failure(thread_count, space_text);
  }
  int error = 0;
  const long created = try_thread_creation(extra, stack_bytes, error);
  if (created == extra) return std::nullopt;
  std::string reason = "only " + std::to_string(created) + " of the " + std::to_string(extra) +
                       " threads beside the main one could be created (" + std::strerror(error) +
                       ")";
  if (processes_limited) {
    reason += "; the limit on processes and threads of this user (ulimit -u) is " +
              std::to_string(processes.rlim_cur);
  }
  if (space_limited) reason += "; " + space_text;
  return team_failure(thread_count, reason);
}

}  // namespace

std::uint64_t openmp_stack_bytes() {
  for (const char* name : {"OMP_STACKSIZE", "GOMP_STACKSIZE"}) {
    const char* text = std::getenv(name);
    if (text == nullptr) continue;
    if (const std::uint64_t bytes = parse_stack_size(text)) return bytes;
  }
  pthread_attr_t defaults;
  std::size_t bytes = 0;
  if (pthread_getattr_default_np(&defaults) == 0) {
    pthread_attr_getstacksize(&defaults, &bytes);
    pthread_attr_destroy(&defaults);
  }
  return bytes;
}

std::optional<Failure> start_worker_team(std::int32_t thread_count) {
  omp_set_dynamic(0);
  const int thread_limit = omp_get_thread_limit();
  if (thread_limit < thread_count) {
    return team_failure(thread_count, "the OpenMP thread limit (OMP_THREAD_LIMIT) is " +
                                          std::to_string(thread_limit));
  }
  if (auto failure = check_thread_creation(thread_count)) return failure;
  int team = 0;
#pragma omp parallel num_threads(thread_count)
  {
#pragma omp master
    team = omp_get_num_threads();
  }
  if (team < thread_count) {
    return team_failure(thread_count,
                        "the OpenMP runtime started a team of only " + std::to_string(team));
  }
  return std::nullopt;
}

}  // namespace spmv
