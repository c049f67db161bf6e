// Repeated multiplies: the same product again, timed, and held to the first.
#include "multiply/repeated_multiply.hpp"

#include <string>

#include "multiply/result_digest.hpp"

namespace spmv {

bool repeats_suffice(std::int64_t done, std::int32_t count, double min_time, double seconds) {
  return done >= max_repeats || (done >= count && seconds >= min_time);
}

Failure repeat_failure(std::int32_t repeat, std::int32_t count, std::int64_t element) {
  return Failure{Failure::Kind::result, "spmv: repeated multiply " + std::to_string(repeat) +
                                            " of " + std::to_string(count) +
                                            " gave another result than the first: element " +
                                            std::to_string(element + 1) + " differs"};
}

std::int64_t first_difference(const PartialSums& partials, const ResultVector& first) {
  for (std::int32_t i = 0; i < first.n; ++i) {
    // The reduction's own order: ((0 + p0) + p1) + ...
    Extended sum = 0;
    for (const auto& partial : partials.table) sum += partial[i];
    if (!same_bits(sum, first.element[i])) return i;
  }
  return -1;
}

std::int64_t first_difference(const ResultVector& again, const ResultVector& first) {
  for (std::int32_t i = 0; i < first.n; ++i) {
    if (!same_bits(again.element[i], first.element[i])) return i;
  }
  return -1;
}

}  // namespace spmv
