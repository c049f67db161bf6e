// The entry scanner with 32-byte vectors: AVX2, with BMI1 and BMI2 for the
// bit masks. Only this file's own functions are compiled for those
// instructions; it runs where scan_path_supported says so.
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
#pragma GCC target("avx2,bmi,bmi2")

#include "read/scan/entry_scanner.hpp"

namespace spmv {

namespace {

struct Avx2 {
  // The mask of the bytes of `text` where `is` is set.
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

  // The values of the runs of a_count and b_count (0 to 16) digits at a and
  // b, one in each half of a vector: moved to the end of their half behind
  // zeros, then joined pairwise by multiply-adds into two groups of eight.
  static void digit_runs(const char* a, int a_count, const char* b, int b_count,
                         std::uint64_t& a_value, std::uint64_t& b_value) {
    const __m256i text = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(b),
                                             reinterpret_cast<const __m128i*>(a));
    const __m256i controls = _mm256_loadu2_m128i(
        reinterpret_cast<const __m128i*>(right_align_controls.control[b_count]),
        reinterpret_cast<const __m128i*>(right_align_controls.control[a_count]));
    const __m256i digits =
        _mm256_shuffle_epi8(_mm256_sub_epi8(text, _mm256_set1_epi8('0')), controls);
    const __m256i pairs = _mm256_maddubs_epi16(
        digits, _mm256_setr_epi8(10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10,
                                 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1));
    const __m256i fours = _mm256_madd_epi16(
        pairs, _mm256_setr_epi16(100, 1, 100, 1, 100, 1, 100, 1, 100, 1, 100, 1, 100, 1, 100, 1));
    const __m256i eights =
        _mm256_madd_epi16(_mm256_packus_epi32(fours, fours),
                          _mm256_setr_epi16(10000, 1, 10000, 1, 10000, 1, 10000, 1, 10000, 1, 10000,
                                            1, 10000, 1, 10000, 1));
    const auto a_both = static_cast<std::uint64_t>(_mm256_extract_epi64(eights, 0));
    const auto b_both = static_cast<std::uint64_t>(_mm256_extract_epi64(eights, 2));
    a_value = (a_both & 0xffffffff) * small_powers_of_ten[8] + (a_both >> 32);
    b_value = (b_both & 0xffffffff) * small_powers_of_ten[8] + (b_both >> 32);
  }
};

}  // namespace

const char* scan_entries_avx2(ReadState& state, const char* p, const char* stop) {
  return scan_lines<Avx2>(state, p, stop);
}

}  // namespace spmv

#pragma GCC pop_options
