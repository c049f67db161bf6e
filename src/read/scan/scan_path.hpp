// The instruction sets that the entry scanner can use, and the one a run
// takes: the best that the processor supports, chosen once at start.
#pragma once

#include <optional>
#include <string_view>

namespace spmv {

// How entry lines are read. The baseline reads each line field by field and
// is the reference; the others first classify a window of the text with
// vector instructions and hand every line they cannot take to the baseline.
enum class ScanPath {
  baseline,  // x86-64 as every processor has it
  sse41,     // SSSE3 and SSE4.1: 16-byte vectors
  avx2,      // AVX2, BMI1 and BMI2: 32-byte vectors
};

// Every path, from the baseline up.
inline constexpr ScanPath all_scan_paths[] = {ScanPath::baseline, ScanPath::sse41, ScanPath::avx2};

// The path's name, as the report and SPMV_SCAN_PATH write it.
const char* scan_path_name(ScanPath path);

// The path of that name; nothing for any other text.
std::optional<ScanPath> scan_path_named(std::string_view name);

// True when this processor (and its operating system) can run the path.
bool scan_path_supported(ScanPath path);

// The path for a run given the setting `wanted` (a path's name, or null or
// anything else for none): the best path the processor supports, and never
// a better one than a valid setting names.
ScanPath scan_path_for(const char* wanted);

// scan_path_for() of the environment's SPMV_SCAN_PATH, worked out once and
// the same for the whole run.
ScanPath chosen_scan_path();

}  // namespace spmv
