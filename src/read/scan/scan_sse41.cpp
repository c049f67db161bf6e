// The entry scanner with 16-byte vectors: SSSE3's byte shuffle and
// multiply-add, SSE4.1 beside them. Only this file's own functions are
// compiled for those instructions; it runs where scan_path_supported says so.
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstdint>

#include "read/entries.hpp"
#include "read/read_state.hpp"
#include "read/scan/scan_entries.hpp"
#include "read/text_fields.hpp"

// Everything above keeps the baseline instruction set; the inline functions
// it defines may be inlined below, never the other way round.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("ssse3,sse4.1"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("ssse3,sse4.1")
#endif

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
      masks.newline |= bits(_mm_cmpeq_epi8(text, _mm_set1_epi8('\n'))) << shift;
      masks.space |= bits(_mm_cmpeq_epi8(text, _mm_set1_epi8(' '))) << shift;
      masks.digit |= bits(digit) << shift;
    }
    return masks;
  }

  // The mask of the bytes where `is` is set.
  static std::uint64_t bits(__m128i is) {
    return static_cast<std::uint16_t>(_mm_movemask_epi8(is));
  }

  // The row and column in one vector, 8 digits a half, and the value's run
  // in another, each moved behind zeros by a shuffle; then joined pairwise
  // by multiply-adds, both vectors together in the last step: the row, the
  // column and the run's two groups of 8 digits.
  static LineValues convert(const LineDigits& d) {
    const __m128i zero = _mm_set1_epi8('0');
    const __m128i pair = _mm_shuffle_epi8(
        _mm_sub_epi8(_mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(d.row)),
                                        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(d.col))),
                     zero),
        _mm_load_si128(reinterpret_cast<const __m128i*>(
            index_pair_controls.control[d.row_digits][d.col_digits])));
    const __m128i run = _mm_shuffle_epi8(
        _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(d.run)), zero),
        _mm_load_si128(
            reinterpret_cast<const __m128i*>(right_align_controls.control[d.run_digits])));
    const __m128i tens = _mm_setr_epi8(10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1);
    const __m128i hundreds = _mm_setr_epi16(100, 1, 100, 1, 100, 1, 100, 1);
    const __m128i pair_fours = _mm_madd_epi16(_mm_maddubs_epi16(pair, tens), hundreds);
    const __m128i run_fours = _mm_madd_epi16(_mm_maddubs_epi16(run, tens), hundreds);
    const __m128i eights = _mm_madd_epi16(_mm_packus_epi32(pair_fours, run_fours),
                                          _mm_setr_epi16(10000, 1, 10000, 1, 10000, 1, 10000, 1));
    const auto indices = static_cast<std::uint64_t>(_mm_cvtsi128_si64(eights));
    const auto groups = static_cast<std::uint64_t>(_mm_extract_epi64(eights, 1));
    return line_values(indices, groups);
  }
};

}  // namespace

const char* scan_entries_sse41(ReadState& state, const char* p, const char* stop) {
  return scan_lines<Sse41>(state, p, stop);
}

}  // namespace spmv

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
