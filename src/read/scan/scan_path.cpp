// Which instruction sets the processor offers the entry scanner.
#include "read/scan/scan_path.hpp"

#include <cstdlib>

namespace spmv {

const char* scan_path_name(ScanPath path) {
  switch (path) {
    case ScanPath::sse41:
      return "sse4.1";
    case ScanPath::avx2:
      return "avx2";
    case ScanPath::baseline:
      break;
  }
  return "baseline";
}

std::optional<ScanPath> scan_path_named(std::string_view name) {
  for (const ScanPath path : all_scan_paths) {
    if (name == scan_path_name(path)) return path;
  }
  return std::nullopt;
}

bool scan_path_supported(ScanPath path) {
  __builtin_cpu_init();
  switch (path) {
    case ScanPath::sse41:
      return __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1");
    case ScanPath::avx2:
      // The AVX2 flag is set only where the operating system saves the
      // 256-bit registers.
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
             __builtin_cpu_supports("bmi2");
    case ScanPath::baseline:
      break;
  }
  return true;
}

ScanPath scan_path_for(const char* wanted) {
  const std::optional<ScanPath> named = wanted != nullptr ? scan_path_named(wanted) : std::nullopt;
  ScanPath best = ScanPath::baseline;
  for (const ScanPath path : all_scan_paths) {
    if (named && path > *named) break;
    if (scan_path_supported(path)) best = path;
  }
  return best;
}

ScanPath chosen_scan_path() {
  static const ScanPath chosen = scan_path_for(std::getenv("SPMV_SCAN_PATH"));
  return chosen;
}

}  // namespace spmv
