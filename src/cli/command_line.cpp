// Converting the command line the way atoi does, with the checks a run needs.
#include "cli/command_line.hpp"

#include <algorithm>
#include <climits>
#include <string_view>

#include "base/whole_number.hpp"

namespace spmv {

namespace {

std::int32_t clamp_to_int32(std::int64_t value) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX));
}

// The text after `name` when `argument` starts with it; nullptr otherwise.
const char* option_value(const char* argument, std::string_view name) {
  return std::string_view(argument).starts_with(name) ? argument + name.size() : nullptr;
}

}  // namespace

std::int64_t convert_number(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  std::int64_t magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    magnitude = magnitude * 10 + (*p - '0');
    if (magnitude > INT64_MAX / 20) magnitude = INT64_MAX / 20;  // saturate, far past int32
  }
  return negative ? -magnitude : magnitude;
}

std::optional<RunConfig> parse_run_config(int argc, const char* const* argv) {
  RunConfig config;
  // Options: no thread count starts with "--", so none of them changes the
  // meaning of a call without options.
  bool report_seen = false;
  bool repeat_seen = false;
  for (; argc > 1 && std::string_view(argv[1]).starts_with("--"); --argc, ++argv) {
    if (const char* file = option_value(argv[1], "--report=")) {
      if (report_seen || *file == '\0') return std::nullopt;
      config.report_path = file;
      report_seen = true;
    } else if (const char* count = option_value(argv[1], "--repeat=")) {
      const auto repeats = parse_whole_number(count, 0, max_repeat_count);
      if (repeat_seen || !repeats) return std::nullopt;
      config.repeat_count = static_cast<std::int32_t>(*repeats);
      repeat_seen = true;
    } else {
      return std::nullopt;
    }
  }
  if (argc < 5) return std::nullopt;
  const std::int64_t threads = convert_number(argv[1]);
  const std::int64_t ignored = convert_number(argv[2]);
  const std::int64_t verbose = convert_number(argv[3]);
  if (threads < 1 || threads > max_thread_count) return std::nullopt;
  config.thread_count = static_cast<std::int32_t>(threads);
  config.ignored = clamp_to_int32(ignored);
  config.verbose = clamp_to_int32(verbose);  // an out-of-range value never becomes 1
  config.matrix_path = argv[4];
  return config;
}

}  // namespace spmv
