// Further multiplies of the same matrix after the timed one, each timed and
// checked against the first result.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/failure.hpp"
#include "base/run_types.hpp"

namespace spmv {

// Runs `count` more multiplies into freshly zeroed partial vectors, appending
// each one's seconds to `seconds`, and checks that each one's reduction equals
// `first` bit for bit. The partial vectors hold the last multiply's sums after.
std::optional<Failure> repeat_multiply(const CooMatrix& matrix, const InputVector& input,
                                       PartialSums& partials, const ResultVector& first,
                                       std::int32_t count, std::vector<double>& seconds);

// The first element whose sum of the partial vectors, in worker order, is not
// bit for bit that of `first`; -1 when none is.
std::int64_t first_difference(const PartialSums& partials, const ResultVector& first);

// The first element of `again` that is not bit for bit that of `first`; -1
// when none is.
std::int64_t first_difference(const ResultVector& again, const ResultVector& first);

// The failure of repeated multiply `repeat` of `count` whose result differs
// from the first in `element` (0-based).
Failure repeat_failure(std::int32_t repeat, std::int32_t count, std::int64_t element);

}  // namespace spmv
