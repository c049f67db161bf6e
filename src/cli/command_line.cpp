// Converting the command line the way atoi does, with the checks a run needs.
#include "cli/command_line.hpp"

#include <algorithm>
#include <charconv>
#include <climits>
#include <string_view>
#include <vector>

#include "base/whole_number.hpp"

namespace spmv {

namespace {

// The nearest 32-bit value to `value`.
std::int32_t clamp_to_int32(std::int64_t value) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX));
}

// Reads the seconds of --min-time: decimal digits with at most one decimal
// point, from 0 to max_min_time; nothing for anything else (a sign, an
// exponent, blanks, inf or nan).
std::optional<double> parse_seconds(std::string_view text) {
  const bool digits_and_point = std::all_of(
      text.begin(), text.end(), [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
  if (!digits_and_point || std::count(text.begin(), text.end(), '.') > 1) return std::nullopt;
  double seconds = 0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), seconds, std::chars_format::fixed);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  if (seconds > max_min_time) return std::nullopt;
  return seconds;
}

// The options given so far, each of which may be given once.
struct OptionsSeen {
  bool report = false;    // --report
  bool repeat = false;    // --repeat
  bool min_time = false;  // --min-time
};

// Whether `name` is an option that takes a value.
bool known_option(std::string_view name) {
  return name == "--report" || name == "--repeat" || name == "--min-time";
}

// Sets the option `name` (one that known_option knows) to `value` in
// `config`; the misuse, or an empty string.
std::string set_option(std::string_view name, const std::string& value, OptionsSeen& seen,
                       RunConfig& config) {
  bool& given = name == "--report" ? seen.report : name == "--repeat" ? seen.repeat : seen.min_time;
  if (given) return "option '" + std::string(name) + "' is given more than once";
  given = true;
  if (name == "--report") {
    if (value.empty()) return "--report needs a file name, not ''";
    config.report_path = value;
  } else if (name == "--repeat") {
    const auto repeats = parse_whole_number(value.c_str(), 0, max_repeat_count);
    if (!repeats) {
      return "--repeat must be a whole number from 0 to " + std::to_string(max_repeat_count) +
             ", not '" + value + "'";
    }
    config.repeat_count = static_cast<std::int32_t>(*repeats);
  } else {
    const auto seconds = parse_seconds(value);
    if (!seconds) {
      return "--min-time must be a decimal number of seconds from 0 to " +
             std::to_string(static_cast<int>(max_min_time)) + ", not '" + value + "'";
    }
    config.min_time = *seconds;
  }
  return "";
}

// "1 argument is", "3 arguments are": a count of arguments in a sentence.
std::string arguments_are(std::size_t count) {
  if (count == 0) return "no argument is";
  return std::to_string(count) + (count == 1 ? " argument is" : " arguments are");
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

CommandLine read_command_line(int argc, const char* const* argv) {
  CommandLine line;
  RunConfig& config = line.config;
  // -h is help only as the first argument: anywhere else it is a positional
  // argument, as a single "-" always starts one (VERBOSE may be -1).
  if (argc > 1 && std::string_view(argv[1]) == "-h") {
    line.query = Query::help;
    return line;
  }
  OptionsSeen seen;
  std::vector<const char*> positional;
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (options_end || !argument.starts_with("--")) {
      positional.push_back(argv[i]);
      continue;
    }
    if (argument == "--") {
      options_end = true;
    } else if (argument == "--help" || argument == "--version") {
      line.query = argument == "--help" ? Query::help : Query::version;
      return line;
    } else {
      const std::size_t equals = argument.find('=');
      const std::string_view name = argument.substr(0, equals);
      if (!known_option(name)) {
        line.misuse = "unknown option '" + std::string(argument) + "'";
        return line;
      }
      std::string value;
      if (equals != std::string_view::npos) {
        value = argument.substr(equals + 1);
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        line.misuse = "option '" + std::string(name) + "' needs a value";
        return line;
      }
      line.misuse = set_option(name, value, seen, config);
      if (!line.misuse.empty()) return line;
    }
  }
  if (positional.size() < 4) {
    line.misuse = "THREADS, IGNORED, VERBOSE and MATRIX_FILE are needed, and " +
                  arguments_are(positional.size()) + " given";
    return line;
  }
  const std::int64_t threads = convert_number(positional[0]);
  if (threads < 1 || threads > max_thread_count) {
    line.misuse = "THREADS must be a whole number from 1 to " + std::to_string(max_thread_count) +
                  ", not '" + positional[0] + "'";
    return line;
  }
  config.thread_count = static_cast<std::int32_t>(threads);
  config.ignored = clamp_to_int32(convert_number(positional[1]));
  // An out-of-range value never becomes 1.
  config.verbose = clamp_to_int32(convert_number(positional[2]));
  config.matrix_path = positional[3];
  return line;
}

std::string worker_count_misuse(int processes, std::int32_t threads) {
  if (static_cast<std::int64_t>(processes) * threads <= max_thread_count) return "";
  return "RANKS x THREADS must be from 1 to " + std::to_string(max_thread_count) + ", not " +
         std::to_string(processes) + " x " + std::to_string(threads);
}

}  // namespace spmv
