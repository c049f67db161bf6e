// The report as JSON, written with nlohmann/json, which escapes every string.
#include "report/run_report.hpp"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "build_info.hpp"
#include "multiply/result_digest.hpp"

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

ordered_json multiply_json(const RunRecord& record, const MatrixShape& matrix) {
  const std::int64_t slots = record.slots;
  const std::vector<double>& repeats = record.repeat_seconds;
  const bool repeated = !repeats.empty();
  const double flops = 2.0 * static_cast<double>(slots);
  const bool unit_values = unit_values_of(record);
  const std::int64_t bytes = multiply_bytes(matrix, slots, unit_values);
  return {{"seconds", record.multiply_seconds},
          {"repeat_seconds", repeats},
          {"repeat_min_seconds",
           repeated ? ordered_json(*std::min_element(repeats.begin(), repeats.end())) : nullptr},
          {"repeat_median_seconds", repeated ? ordered_json(median_of(repeats)) : nullptr},
          {"flops", 2 * slots},
          {"gflop_per_second", giga_rate(flops, record.multiply_seconds)},
          {"bytes", bytes},
          {"gbyte_per_second", giga_rate(static_cast<double>(bytes), record.multiply_seconds)},
          {"byte_model", unit_values ? unit_byte_model : byte_model}};
}

}  // namespace

std::int64_t multiply_bytes(const MatrixShape& matrix, std::int64_t slots, bool unit_values) {
  return slot_bytes(unit_values) * slots + column_bytes * matrix.columns +
         row_bytes * matrix.result_length;
}

double median_of(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
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
  report["options"] = {{"report", config.report_path}, {"repeat", config.repeat_count}};
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
  // Replace rather than throw on bytes that are not UTF-8 (a path may hold any).
  return report.dump(2, ' ', false, ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace spmv
