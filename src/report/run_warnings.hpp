// What may make a run's figures untrustworthy: a busy or oversubscribed
// machine, times that spread, a CPU clock that changes, threads that share a
// core, and multiplies too short for the clock. Each decision is a plain
// function of plain figures, so that it can be checked without the machine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace spmv {

// One warning of the report.
struct Warning {
  std::string kind;     // "load", "oversubscribed", "spread", "governor", "smt", "shared_cpu",
                        // "short", "min_time" or "scan_path"
  std::string message;  // what was seen, in a sentence
};

// The coefficient of variation above which the repeats' times are called spread.
inline constexpr double spread_cv_limit = 0.05;
// The fewest repeats whose spread is judged.
inline constexpr std::int64_t spread_min_repeats = 3;
// A timed multiply shorter than this many ticks of the clock is too short.
inline constexpr double short_ticks = 100;
// A timed multiply shorter than this many seconds is too short.
inline constexpr double short_seconds = 1e-3;

// The 1-minute load average at the start or the end above the CPUs online.
std::optional<Warning> load_warning(std::optional<double> start, std::optional<double> end,
                                    std::int32_t cpus);

// More threads than the CPUs of the affinity mask.
std::optional<Warning> oversubscribed_warning(std::int32_t threads, std::int32_t affinity_cpus);

// The repeats' coefficient of variation above the limit, with enough repeats.
std::optional<Warning> spread_warning(double cv, std::int64_t repeats);

// A frequency governor other than "performance" among `governors` (one per
// CPU that has one).
std::optional<Warning> governor_warning(const std::vector<std::string>& governors);

// Two workers on one CPU ("shared_cpu"), or on two hardware threads of one
// core ("smt"). worker_cpus[w] is worker w's CPU (negative: unknown);
// core_of_cpu[c] names CPU c's core (negative: unknown).
std::optional<Warning> smt_warning(const std::vector<std::int32_t>& worker_cpus,
                                   const std::vector<std::int64_t>& core_of_cpu);

// The shortest timed multiply under 100 ticks of the clock (`tick`
// seconds) or under 1 ms.
std::optional<Warning> short_warning(double shortest, double tick);

// Repeats that stopped at the limit of `max_repeats` before their time,
// `seconds`, reached the `min_time` that --min-time asked for (0: not asked).
std::optional<Warning> min_time_warning(double min_time, double seconds, std::int64_t repeats,
                                        std::int64_t max_repeats);

// An SPMV_SCAN_PATH setting that names no scan path, or one other than the
// path `taken` (which the processor cannot run); none without a setting.
std::optional<Warning> scan_path_warning(const std::optional<std::string>& setting,
                                         const std::string& taken);

// The figures that the warnings judge.
struct WarningInputs {
  std::optional<double> load_start;         // 1-minute load average at the start
  std::optional<double> load_end;           // and at the end
  std::int32_t logical_cpus = 0;            // CPUs online
  std::int32_t affinity_cpus = 0;           // CPUs of the affinity mask
  std::int32_t threads = 0;                 // threads of the team that multiplied
  double cv = 0;                            // the repeats' coefficient of variation
  std::int64_t repeats = 0;                 // repeats that ran
  std::vector<std::string> governors;       // frequency governors of the CPUs
  std::vector<std::int32_t> worker_cpus;    // CPU of each worker of this process
  std::vector<std::int64_t> core_of_cpu;    // core of each CPU
  std::optional<double> shortest;           // the shortest timed multiply, once one ran
  double min_time = 0;                      // the seconds of repeats that --min-time asked for
  double repeat_seconds = 0;                // the seconds the repeats took in all
  std::int64_t max_repeats = 0;             // the most repeats a run makes
  double tick = 0;                          // the clock's resolution, seconds
  std::optional<std::string> scan_setting;  // SPMV_SCAN_PATH, where it is set
  std::string scan_taken;                   // the scan path that the read took
};

// Every warning that `inputs` call for, in the order of the kinds above.
std::vector<Warning> run_warnings(const WarningInputs& inputs);

}  // namespace spmv
