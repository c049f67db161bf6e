// The entry scanner with 16-byte vectors: SSSE3's byte shuffle and
// multiply-add, SSE4.1 beside them. Only this file's own functions are
// compiled for those instructions; it runs where scan_path_supported says so.
#include <immintrin.h>

#include <bit>
#include <cstdint>

#include "read/entries.hpp"
#include "read/read_state.hpp"
#include "read/scan/scan_entries.hpp"
#include "read/text_fields.hpp"

// Everything above keeps the baseline instruction set; the inline functions
// it defines may be inlined below, never the other way round.
#pragma GCC push_options
#pragma GCC target("ssse3,sse4.1")

#include "read/scan/entry_scanner.hpp"

namespace spmv {

namespace {

struct Sse41 {
  // Classifies the 64 bytes at p, 16 at a time.
  static WindowMasks classify(const char* p) {
    WindowMasks masks;
    for (int part = 0; part < 4; ++part) {
      const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * part));
      const __m128i from_zero = _mm_sub_epi8(text, _mm_set1_epi8('0'));
      const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(from_zero, _mm_set1_epi8(9)), from_zero);
      const int shift = 16 * part;
      masks.newline |= std::uint64_t{static_cast<std::uint16_t>(
                           _mm_movemask_epi8(_mm_cmpeq_epi8(text, _mm_set1_epi8('\n'))))}
                       << shift;
      masks.space |= std::uint64_t{static_cast<std::uint16_t>(
                         _mm_movemask_epi8(_mm_cmpeq_epi8(text, _mm_set1_epi8(' '))))}
                     << shift;
      masks.digit |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(digit))} << shift;
    }
    return masks;
  }

  // The value of the run of `count` (0 to 16) digits at q: moved to the end
  // of a vector behind zeros, then joined pairwise by multiply-adds into two
  // groups of eight.
  static std::uint64_t digit_run(const char* q, int count) {
    __m128i digits =
        _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q)), _mm_set1_epi8('0'));
    digits = _mm_shuffle_epi8(
        digits,
        _mm_load_si128(reinterpret_cast<const __m128i*>(right_align_controls.control[count])));
    const __m128i pairs = _mm_maddubs_epi16(
        digits, _mm_setr_epi8(10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1));
    const __m128i fours = _mm_madd_epi16(pairs, _mm_setr_epi16(100, 1, 100, 1, 100, 1, 100, 1));
    const __m128i eights = _mm_madd_epi16(_mm_packus_epi32(fours, fours),
                                          _mm_setr_epi16(10000, 1, 10000, 1, 10000, 1, 10000, 1));
    const auto both = static_cast<std::uint64_t>(_mm_cvtsi128_si64(eights));
    return (both & 0xffffffff) * small_powers_of_ten[8] + (both >> 32);
  }

  static void digit_runs(const char* a, int a_count, const char* b, int b_count,
                         std::uint64_t& a_value, std::uint64_t& b_value) {
    a_value = digit_run(a, a_count);
    b_value = digit_run(b, b_count);
  }
};

}  // namespace

const char* scan_entries_sse41(ReadState& state, const char* p, const char* stop) {
  return scan_lines<Sse41>(state, p, stop);
}

}  // namespace spmv

#pragma GCC pop_options
