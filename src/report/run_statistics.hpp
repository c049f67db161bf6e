// Summary figures of a run's multiply times: how fast, and how steady.
#pragma once

#include <cstdint>
#include <vector>

namespace spmv {

// The spread of a set of times, in seconds (count and cv excepted).
struct TimeStatistics {
  std::int64_t count = 0;  // times summarised
  double min = 0;          // the shortest
  double median = 0;       // the middle one (the mean of the middle two for an even count)
  double mean = 0;         // the arithmetic mean
  double stddev = 0;       // the sample standard deviation (n - 1); 0 for fewer than two times
  double cv = 0;           // stddev / mean: the coefficient of variation; 0 when the mean is 0
};

// The median of `values` (the mean of the middle two for an even count); 0
// for none.
double median_of(std::vector<double> values);

// The statistics of `seconds`; every figure 0 for none.
TimeStatistics time_statistics(const std::vector<double>& seconds);

}  // namespace spmv
