// Repeated multiplies of the same matrix after the timed one: how a
// repeat's result is held to the first, and the failure when it differs.
#pragma once

#include <cstdint>

#include "base/failure.hpp"
#include "base/run_types.hpp"

namespace spmv {

// The first element whose sum of the partial vectors, in worker order, is not
// bit for bit that of `first`; -1 when none is.
std::int64_t first_difference(const PartialSums& partials, const ResultVector& first);

// The first element of `again` that is not bit for bit that of `first`; -1
// when none is.
std::int64_t first_difference(const ResultVector& again, const ResultVector& first);

// The most repeated multiplies a run makes, whatever --min-time asks for.
inline constexpr std::int64_t max_repeats = 1000000;

// True when repeating may stop: after `done` repeats taking `seconds` in
// all, at least `count` repeats have run and their time has reached
// `min_time`, or the most repeats have run.
bool repeats_suffice(std::int64_t done, std::int32_t count, double min_time, double seconds);

// The failure of repeated multiply `repeat` of `count` whose result differs
// from the first in `element` (0-based).
Failure repeat_failure(std::int32_t repeat, std::int32_t count, std::int64_t element);

}  // namespace spmv
