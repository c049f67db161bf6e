// The warnings of a run's report, each decided from plain figures.
#include "report/run_warnings.hpp"

#include <algorithm>
#include <cstdio>
#include <map>

#include "read/coo_matrix.hpp"
#include "read/scan/scan_path.hpp"

namespace spmv {

namespace {

// `value` with `digits` decimals.
std::string fixed(double value, int digits) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}

}  // namespace

std::optional<Warning> load_warning(std::optional<double> start, std::optional<double> end,
                                    std::int32_t cpus) {
  const bool busy_start = start && *start > cpus;
  const bool busy_end = end && *end > cpus;
  if (!busy_start && !busy_end) return std::nullopt;
  std::string when;
  if (start) when += fixed(*start, 2) + " at the start";
  if (start && end) when += " and ";
  if (end) when += fixed(*end, 2) + " at the end";
  return Warning{"load", "the 1-minute load average was " + when + ", above the " +
                             count_of(cpus, "CPU", "CPUs") +
                             " online: other work shared the machine, and the times may "
                             "be longer than the multiply alone takes"};
}

std::optional<Warning> oversubscribed_warning(std::int32_t threads, std::int32_t affinity_cpus) {
  if (affinity_cpus <= 0 || threads <= affinity_cpus) return std::nullopt;
  return Warning{"oversubscribed", std::to_string(threads) + " threads ran on the " +
                                       count_of(affinity_cpus, "CPU", "CPUs") +
                                       " of the affinity mask: threads took turns on a CPU"};
}

std::optional<Warning> spread_warning(double cv, std::int64_t repeats) {
  if (repeats < spread_min_repeats || !(cv > spread_cv_limit)) return std::nullopt;
  return Warning{"spread", "the times of the " + std::to_string(repeats) + " repeats vary by " +
                               fixed(100 * cv, 1) +
                               "% (coefficient of variation, above 5%): the minimum and median "
                               "are the steadier figures"};
}

std::optional<Warning> governor_warning(const std::vector<std::string>& governors) {
  for (const std::string& governor : governors) {
    if (governor == "performance") continue;
    return Warning{"governor", "a CPU's frequency governor is " + governor +
                                   ", not performance: its clock speed may change during the run"};
  }
  return std::nullopt;
}

std::optional<Warning> smt_warning(const std::vector<std::int32_t>& worker_cpus,
                                   const std::vector<std::int64_t>& core_of_cpu) {
  // The first worker seen on each CPU and on each core.
  std::map<std::int32_t, std::size_t> first_on_cpu;
  std::map<std::int64_t, std::size_t> first_on_core;
  const std::string advice =
      " (OMP_PROC_BIND=close OMP_PLACES=cores gives each thread a core of "
      "its own)";
  for (std::size_t worker = 0; worker < worker_cpus.size(); ++worker) {
    const std::int32_t cpu = worker_cpus[worker];
    if (cpu < 0) continue;
    const std::string workers = " and " + std::to_string(worker);
    // Two workers on one CPU took turns on it, whatever its core holds.
    if (const auto [seen, first] = first_on_cpu.emplace(cpu, worker); !first) {
      return Warning{"shared_cpu", "workers " + std::to_string(seen->second) + workers +
                                       " both ran on CPU " + std::to_string(cpu) +
                                       ": they took turns on it" + advice};
    }
    if (static_cast<std::size_t>(cpu) >= core_of_cpu.size()) continue;
    const std::int64_t core = core_of_cpu[static_cast<std::size_t>(cpu)];
    if (core < 0) continue;
    if (const auto [seen, first] = first_on_core.emplace(core, worker); !first) {
      const std::int32_t other = worker_cpus[seen->second];
      return Warning{"smt", "workers " + std::to_string(seen->second) + workers + " ran on CPUs " +
                                std::to_string(other) + " and " + std::to_string(cpu) +
                                ", two hardware threads of one core: they shared its execution "
                                "units" +
                                advice};
    }
  }
  return std::nullopt;
}

std::optional<Warning> short_warning(double shortest, double tick) {
  const double limit = std::max(short_ticks * tick, short_seconds);
  if (!(shortest < limit)) return std::nullopt;
  char text[256];
  std::snprintf(text, sizeof text,
                "a timed multiply took %.3g s, less than 1 ms or 100 ticks of the clock (%.3g s): "
                "its time is mostly the clock's and the start's; a larger matrix or --min-time "
                "gives steadier figures",
                shortest, tick);
  return Warning{"short", text};
}

std::optional<Warning> min_time_warning(double min_time, double seconds, std::int64_t repeats,
                                        std::int64_t max_repeats) {
  if (!(min_time > 0) || repeats < max_repeats || seconds >= min_time) return std::nullopt;
  char text[256];
  std::snprintf(text, sizeof text,
                "the repeats stopped at the limit of %lld after %.3g s, short of the %.3g s that "
                "--min-time asked for: a larger matrix gives each repeat more time",
                static_cast<long long>(max_repeats), seconds, min_time);
  return Warning{"min_time", text};
}

std::optional<Warning> scan_path_warning(const std::optional<std::string>& setting,
                                         const std::string& taken) {
  if (!setting) return std::nullopt;
  const std::optional<ScanPath> named = scan_path_named(*setting);
  if (!named) {
    return Warning{"scan_path", "SPMV_SCAN_PATH=\"" + *setting +
                                    "\" names no scan path (baseline, sse4.1 or avx2): " + taken +
                                    ", the best that this processor runs, was taken"};
  }
  if (taken != scan_path_name(*named)) {
    return Warning{"scan_path", "SPMV_SCAN_PATH=" + *setting +
                                    " names a path that this processor cannot run: " + taken +
                                    " was taken"};
  }
  return std::nullopt;
}

std::vector<Warning> run_warnings(const WarningInputs& inputs) {
  const std::optional<Warning> found[] = {
      load_warning(inputs.load_start, inputs.load_end, inputs.logical_cpus),
      oversubscribed_warning(inputs.threads, inputs.affinity_cpus),
      spread_warning(inputs.cv, inputs.repeats),
      governor_warning(inputs.governors),
      smt_warning(inputs.worker_cpus, inputs.core_of_cpu),
      inputs.shortest ? short_warning(*inputs.shortest, inputs.tick) : std::nullopt,
      min_time_warning(inputs.min_time, inputs.repeat_seconds, inputs.repeats, inputs.max_repeats),
      scan_path_warning(inputs.scan_setting, inputs.scan_taken)};
  std::vector<Warning> warnings;
  for (const auto& warning : found) {
    if (warning) warnings.push_back(*warning);
  }
  return warnings;
}

}  // namespace spmv
