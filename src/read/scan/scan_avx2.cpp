// The entry scanner with 32-byte vectors: AVX2, with BMI1 and BMI2 for the
// bit masks. Only this file's own functions are compiled for those
// instructions; it runs where scan_path_supported says so.
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
#pragma clang attribute push(__attribute__((target("avx2,bmi,bmi2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2")
#endif

#include "read/scan/entry_scanner.hpp"

namespace spmv {

namespace {

struct Avx2 {
  // The mask of the bytes where `is` is set.
  static std::uint64_t bits(__m256i is) {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(is));
  }

  // Classifies the 64 bytes at p, 32 at a time.
  static WindowMasks classify(const char* p) {
    WindowMasks masks;
    for (int part = 0; part < 2; ++part) {
      const __m256i text = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * part));
      const __m256i from_zero = _mm256_sub_epi8(text, _mm256_set1_epi8('0'));
      const int shift = 32 * part;
      masks.newline |= bits(_mm256_cmpeq_epi8(text, _mm256_set1_epi8('\n'))) << shift;
      masks.space |= bits(_mm256_cmpeq_epi8(text, _mm256_set1_epi8(' '))) << shift;
      masks.digit |=
          bits(_mm256_cmpeq_epi8(_mm256_min_epu8(from_zero, _mm256_set1_epi8(9)), from_zero))
          << shift;
    }
    return masks;
  }

  // The row and column in the first half of one vector, 8 digits each, and
  // the value's run in the second half, each moved behind zeros by a shuffle,
  // then joined pairwise by multiply-adds: the row, the column and the run's
  // two groups of 8 digits.
  static LineValues convert(const LineDigits& d) {
    const __m128i pair =
        _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(d.row)),
                           _mm_loadl_epi64(reinterpret_cast<const __m128i*>(d.col)));
    const __m256i text = _mm256_inserti128_si256(
        _mm256_castsi128_si256(pair), _mm_loadu_si128(reinterpret_cast<const __m128i*>(d.run)), 1);
    const __m256i controls = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(
            index_pair_controls.control[d.row_digits][d.col_digits]))),
        _mm_load_si128(
            reinterpret_cast<const __m128i*>(right_align_controls.control[d.run_digits])),
        1);
    const __m256i digits =
        _mm256_shuffle_epi8(_mm256_sub_epi8(text, _mm256_set1_epi8('0')), controls);
    const __m256i pairs = _mm256_maddubs_epi16(digits, _mm256_set1_epi16(0x010a));
    const __m256i fours = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00010064));
    const __m256i eights =
        _mm256_madd_epi16(_mm256_packus_epi32(fours, fours), _mm256_set1_epi32(0x00012710));
    const auto indices = static_cast<std::uint64_t>(_mm256_extract_epi64(eights, 0));
    const auto groups = static_cast<std::uint64_t>(_mm256_extract_epi64(eights, 2));
    return line_values(indices, groups);
  }
};

}  // namespace

const char* scan_entries_avx2(ReadState& state, const char* p, const char* stop) {
  return scan_lines<Avx2>(state, p, stop);
}

}  // namespace spmv

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
