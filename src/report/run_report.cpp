// The report as JSON, written with nlohmann/json, which escapes every string.
#include "report/run_report.hpp"

#include <omp.h>

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "build_info.hpp"
#include "multiply/repeated_multiply.hpp"
#include "multiply/result_digest.hpp"
#include "report/run_warnings.hpp"
#include "report/source_state.hpp"

namespace spmv {

namespace {

using nlohmann::ordered_json;

constexpr std::int64_t column_bytes = 4;     // input element
constexpr std::int64_t row_bytes = 16 + 16;  // a partial sum read and written
constexpr const char* byte_model =
    "24 bytes per slot (row and column indices, 4 bytes each, and the 16-byte stored value) + 4 "
    "bytes per column (the input element) + 32 bytes per row (one 16-byte partial sum read and "
    "written): every array element the multiply needs, moved once";
constexpr const char* unit_byte_model =
    "8 bytes per slot (row and column indices, 4 bytes each; a pattern matrix holds no values, "
    "each is 1) + 4 bytes per column (the input element) + 32 bytes per row (one 16-byte partial "
    "sum read and written): every array element the multiply needs, moved once";

// True when the matrix that `record` read holds no values.
bool unit_values_of(const RunRecord& record) {
  return record.read.has_value() && holds_unit_values(record.read->form);
}

// A time as "YYYY-MM-DDTHH:MM:SSZ".
std::string utc_text(std::time_t time) {
  std::tm parts{};
  char text[32] = "";
  if (gmtime_r(&time, &parts) != nullptr) std::strftime(text, sizeof text, "%FT%TZ", &parts);
  return text;
}

// A rate of `amount` per second in units of 10^9, or null without a time.
ordered_json giga_rate(double amount, double seconds) {
  return seconds > 0 ? ordered_json(amount / seconds / 1e9) : ordered_json(nullptr);
}

ordered_json machine_json(const MachineContext& machine) {
  return {{"host", machine.host},
          {"cpu_model", machine.cpu_model},
          {"logical_cpus", machine.logical_cpus},
          {"affinity_cpus", machine.affinity_cpus},
          {"numa_nodes", machine.numa_nodes}};
}

ordered_json openmp_json(const MachineContext& machine, const RunRecord& record) {
  ordered_json environment = ordered_json::object();
  for (const auto& [name, value] : machine.openmp_environment) environment[name] = value;
  ordered_json openmp = {{"environment", environment}};
  if (record.team_size > 0) {
    openmp["team_size"] = record.team_size;
    openmp["oversubscribed"] = record.team_size > machine.affinity_cpus;
  }
  return openmp;
}

ordered_json matrix_json(const RunConfig& config, const ReadReport& read, const MatrixShape& matrix,
                         std::int64_t slots) {
  const auto text_or_null = [](const char* text) {
    return text != nullptr ? ordered_json(text) : ordered_json(nullptr);
  };
  const bool market = read.form.format == FileFormat::matrix_market;
  return {{"path", config.matrix_path},
          {"bytes", read.file_bytes},
          {"form", format_name(read.form.format)},
          {"field", text_or_null(field_name(read.form.field))},
          {"symmetry", text_or_null(market ? symmetry_name(read.form.symmetry) : nullptr)},
          {"first", matrix.header_rows},
          {"n", matrix.columns},
          {"rows", matrix.result_length},
          {"stored_entries", read.stored_entries},
          {"slots", slots},
          {"packing", read.packing.empty() ? ordered_json(nullptr) : ordered_json(read.packing)},
          {"member", read.member.empty() ? ordered_json(nullptr) : ordered_json(read.member)},
          {"packed_bytes",
           read.packing.empty() ? ordered_json(nullptr) : ordered_json(read.packed_bytes)},
          {"unpacked_bytes",
           read.packing.empty() ? ordered_json(nullptr) : ordered_json(read.unpacked_bytes)}};
}

// The OpenMP runtime this program was built with, and its compiler's version.
constexpr const char* openmp_runtime =
#if defined(__clang__)
    "libomp (clang " __clang_version__ ")";
#elif defined(__GNUC__)
    "libgomp (GCC " __VERSION__ ")";
#else
    "unknown";
#endif

// `value`, or null without one.
template <typename T>
ordered_json or_null(const std::optional<T>& value) {
  return value ? ordered_json(*value) : ordered_json(nullptr);
}

// One multiply's time and its rates of flops and of bytes by the byte model.
ordered_json rate_json(double seconds, double flops, double bytes) {
  return {{"seconds", seconds},
          {"gflop_per_second", giga_rate(flops, seconds)},
          {"gbyte_per_second", giga_rate(bytes, seconds)}};
}

// The statistics of `seconds`, with their unit.
ordered_json statistics_json(const TimeStatistics& statistics) {
  return {{"count", statistics.count},
          {"min", statistics.min},
          {"median", statistics.median},
          {"mean", statistics.mean},
          {"stddev", statistics.stddev},
          {"cv", statistics.cv},
          {"unit", "s"}};
}

// The times the statistics describe: the repeats, or the first multiply alone
// when nothing was repeated.
std::vector<double> summarised_times(const RunRecord& record) {
  if (!record.repeat_seconds.empty()) return record.repeat_seconds;
  return {record.multiply_seconds};
}

ordered_json multiply_json(const RunRecord& record, const MatrixShape& matrix) {
  const std::int64_t slots = record.slots;
  const std::vector<double>& repeats = record.repeat_seconds;
  const bool repeated = !repeats.empty();
  const double flops = 2.0 * static_cast<double>(slots);
  const bool unit_values = unit_values_of(record);
  const std::int64_t bytes = multiply_bytes(matrix, slots, unit_values);
  const TimeStatistics statistics = time_statistics(summarised_times(record));
  const auto rate = [&](double seconds) {
    return rate_json(seconds, flops, static_cast<double>(bytes));
  };
  return {{"seconds", record.multiply_seconds},
          {"repeat_seconds", repeats},
          {"repeat_min_seconds",
           repeated ? ordered_json(*std::min_element(repeats.begin(), repeats.end())) : nullptr},
          {"repeat_median_seconds", repeated ? ordered_json(median_of(repeats)) : nullptr},
          {"flops", 2 * slots},
          {"gflop_per_second", giga_rate(flops, record.multiply_seconds)},
          {"bytes", bytes},
          {"gbyte_per_second", giga_rate(static_cast<double>(bytes), record.multiply_seconds)},
          {"byte_model", unit_values ? unit_byte_model : byte_model},
          {"statistics", statistics_json(statistics)},
          {"rates",
           {{"first", rate(record.multiply_seconds)},
            {"fastest", rate(statistics.min)},
            {"median", rate(statistics.median)}}}};
}

// The multiplies measured, first and repeats, one entry each, with their
// rates of slots, bytes and flops.
ordered_json benchmarks_json(const RunRecord& record) {
  ordered_json benchmarks = ordered_json::array();
  if (!record.matrix || !record.performance) return benchmarks;
  const auto slots = static_cast<double>(record.slots);
  const auto bytes =
      static_cast<double>(multiply_bytes(*record.matrix, record.slots, unit_values_of(record)));
  const auto per_second = [](double amount, double seconds) {
    return seconds > 0 ? ordered_json(amount / seconds) : ordered_json(nullptr);
  };
  const auto entry = [&](const char* name, std::size_t iteration, double seconds) {
    return ordered_json{{"name", name},
                        {"iteration", iteration},
                        {"real_time", seconds},
                        {"time_unit", "s"},
                        {"items_per_second", per_second(slots, seconds)},
                        {"bytes_per_second", per_second(bytes, seconds)},
                        {"flops_per_second", per_second(2 * slots, seconds)}};
  };
  benchmarks.push_back(entry("multiply/first", 0, record.multiply_seconds));
  for (std::size_t k = 0; k < record.repeat_seconds.size(); ++k) {
    benchmarks.push_back(entry("multiply/repeat", k + 1, record.repeat_seconds[k]));
  }
  return benchmarks;
}

// A load average as its 1, 5 and 15 minute figures, or null.
ordered_json load_json(const std::optional<LoadAverage>& load) {
  return load ? ordered_json(*load) : ordered_json(nullptr);
}

ordered_json context_json(const RunRecord& record, const MachineContext& machine, std::time_t now) {
  ordered_json caches = ordered_json::array();
  for (const CacheLevel& cache : machine.caches) {
    caches.push_back({{"level", cache.level},
                      {"type", cache.type},
                      {"size_bytes", cache.size_bytes},
                      {"shared_by_cpus", cache.shared_by_cpus}});
  }
  const bool from_git = build_tree_modified >= 0;
  return {
      {"cpu_model", machine.cpu_model},
      {"logical_cpus", machine.logical_cpus},
      {"physical_cores", machine.physical_cores},
      {"threads_per_core", machine.threads_per_core},
      {"memory_bytes", machine.memory_bytes},
      {"caches", caches},
      {"frequency_mhz",
       {{"min", or_null(machine.frequency_mhz.min)},
        {"max", or_null(machine.frequency_mhz.max)},
        {"current", or_null(machine.frequency_mhz.current)}}},
      {"governor", or_null(machine.governor)},
      {"kernel", machine.kernel},
      {"os", machine.os},
      {"openmp", {{"version", _OPENMP}, {"runtime", openmp_runtime}}},
      {"mpi", record.ranks > 0 ? ordered_json(record.mpi_library) : ordered_json(nullptr)},
      {"commit", from_git ? ordered_json(build_commit) : ordered_json(nullptr)},
      {"tree_modified", from_git ? ordered_json(build_tree_modified == 1) : ordered_json(nullptr)},
      {"worker_cpus", record.worker_cpus},
      {"load_average",
       {{"start", load_json(record.load_start)}, {"end", load_json(machine.load_average)}}},
      {"peak_memory_bytes", machine.peak_memory_bytes},
      {"date", utc_text(now)}};
}

// The warnings that the run and its machine call for.
ordered_json warnings_json(const RunConfig& config, const RunRecord& record,
                           const MachineContext& machine) {
  WarningInputs inputs;
  if (record.load_start) inputs.load_start = (*record.load_start)[0];
  if (machine.load_average) inputs.load_end = (*machine.load_average)[0];
  inputs.logical_cpus = machine.logical_cpus;
  inputs.affinity_cpus = machine.affinity_cpus;
  inputs.threads = record.team_size;
  inputs.repeats = static_cast<std::int64_t>(record.repeat_seconds.size());
  inputs.cv = time_statistics(record.repeat_seconds).cv;
  inputs.governors = machine.governors;
  // The CPU numbers of other ranks may be another node's: this process's own.
  const std::size_t own =
      std::min(record.worker_cpus.size(), static_cast<std::size_t>(std::max(record.team_size, 0)));
  inputs.worker_cpus.assign(record.worker_cpus.begin(),
                            record.worker_cpus.begin() + static_cast<std::ptrdiff_t>(own));
  inputs.core_of_cpu = machine.core_of_cpu;
  if (record.performance) {
    double shortest = record.multiply_seconds;
    for (const double seconds : record.repeat_seconds) shortest = std::min(shortest, seconds);
    inputs.shortest = shortest;
  }
  inputs.tick = omp_get_wtick();
  inputs.min_time = config.min_time;
  for (const double seconds : record.repeat_seconds) inputs.repeat_seconds += seconds;
  inputs.max_repeats = max_repeats;
  if (const char* setting = std::getenv("SPMV_SCAN_PATH")) inputs.scan_setting = setting;
  if (record.read) inputs.scan_taken = scan_path_name(record.read->scan_path);
  ordered_json warnings = ordered_json::array();
  for (const Warning& warning : run_warnings(inputs)) {
    warnings.push_back({{"kind", warning.kind}, {"message", warning.message}});
  }
  return warnings;
}

}  // namespace

std::int64_t multiply_bytes(const MatrixShape& matrix, std::int64_t slots, bool unit_values) {
  return slot_bytes(unit_values) * slots + column_bytes * matrix.columns +
         row_bytes * matrix.result_length;
}

std::string report_json(const RunConfig& config, const RunRecord& record,
                        const MachineContext& machine) {
  ordered_json report;
  report["status"] = record.error ? "failed" : "complete";
  if (record.error) report["error"] = *record.error;
  report["program"] = {{"name", record.ranks > 0 ? "spmv-mpi" : "spmv"},
                       {"version", build_version},
                       {"compiler", build_compiler},
                       {"build_type", build_type},
                       {"flags", build_flags}};
  report["arguments"] = record.arguments;
  report["options"] = {{"report", config.report_path},
                       {"repeat", config.repeat_count},
                       {"min_time", config.min_time}};
  report["started_utc"] = utc_text(record.started);
  report["machine"] = machine_json(machine);
  report["openmp"] = openmp_json(machine, record);
  report["run"] = {
      {"threads", config.thread_count}, {"ignored", config.ignored}, {"verbose", config.verbose}};
  if (record.read && record.matrix) {
    report["matrix"] = matrix_json(config, *record.read, *record.matrix, record.slots);
  } else if (record.read && !record.read->packing.empty()) {
    // A compressed file refused while it was unpacked: how far that got.
    const ReadReport& read = *record.read;
    report["matrix"] = {
        {"path", config.matrix_path},
        {"packing", read.packing},
        {"member", read.member.empty() ? ordered_json(nullptr) : ordered_json(read.member)},
        {"packed_bytes", read.packed_bytes},
        {"unpacked_bytes", read.unpacked_bytes}};
  }
  if (record.read && record.matrix) {
    const ReadReport& read = *record.read;
    report["reader"] = {{"scan_path", scan_path_name(read.scan_path)},
                        {"scanned_lines", read.scanned_lines},
                        {"readers", read.readers}};
  }
  ordered_json seconds = ordered_json::object();
  for (const auto& [phase, time] : record.phase_seconds) seconds[phase] = time;
  report["seconds"] = seconds;
  if (record.performance) {
    report["performance"] = {{"line", record.performance->line},
                             {"Tp", record.performance->tp},
                             {"S", record.performance->s},
                             {"E", record.performance->e},
                             {"threads", record.ranks > 0 ? record.workers : config.thread_count}};
  }
  if (record.ranks > 0) {
    report["mpi"] = {
        {"ranks", record.ranks},
        {"threads_per_rank", config.thread_count},
        {"workers", record.workers},
        {"slots_exchanged", record.slots_exchanged},
        {"bytes_exchanged", record.slots_exchanged * slot_bytes(unit_values_of(record))}};
  }
  if (record.matrix && record.performance) {
    report["multiply"] = multiply_json(record, *record.matrix);
  }
  if (!record.digest.empty()) {
    report["result"] = {{"elements", record.matrix ? record.matrix->result_length : 0},
                        {"digest", record.digest},
                        {"digest_of", digest_method}};
  }
  report["warnings"] = warnings_json(config, record, machine);
  report["context"] = context_json(record, machine, std::time(nullptr));
  report["benchmarks"] = benchmarks_json(record);
  // Replace rather than throw on bytes that are not UTF-8 (a path may hold any).
  return report.dump(2, ' ', false, ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace spmv
