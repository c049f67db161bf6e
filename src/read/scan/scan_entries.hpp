// The vector scanners of entry lines: each reads, from p on, the entry lines
// of the common shape that start before `stop`, and gives the start of the
// first line it leaves to the baseline reader (or `stop`).
#pragma once

#include "read/read_state.hpp"
#include "read/scan/scan_path.hpp"

namespace spmv {

// With 16-byte vectors (SSSE3 and SSE4.1).
const char* scan_entries_sse41(ReadState& state, const char* p, const char* stop);

// With 32-byte vectors (AVX2, BMI1 and BMI2).
const char* scan_entries_avx2(ReadState& state, const char* p, const char* stop);

// The scanner of the reader's path; p itself on the baseline path.
inline const char* scan_entries(ReadState& state, const char* p, const char* stop) {
  switch (state.setting.scan_path) {
    case ScanPath::sse41:
      return scan_entries_sse41(state, p, stop);
    case ScanPath::avx2:
      return scan_entries_avx2(state, p, stop);
    case ScanPath::baseline:
      break;
  }
  return p;
}

}  // namespace spmv
