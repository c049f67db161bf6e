// Mean, spread and median of the multiply times.
#include "report/run_statistics.hpp"

#include <algorithm>
#include <cmath>

namespace spmv {

double median_of(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

TimeStatistics time_statistics(const std::vector<double>& seconds) {
  TimeStatistics statistics;
  if (seconds.empty()) return statistics;
  const auto count = static_cast<double>(seconds.size());
  statistics.count = static_cast<std::int64_t>(seconds.size());
  statistics.min = *std::min_element(seconds.begin(), seconds.end());
  statistics.median = median_of(seconds);
  double sum = 0;
  for (const double time : seconds) sum += time;
  statistics.mean = sum / count;
  // Two passes: the squares of the deviations from the mean, not the
  // difference of two large sums, which loses the digits of a small spread.
  if (seconds.size() > 1) {
    double squares = 0;
    for (const double time : seconds) {
      const double deviation = time - statistics.mean;
      squares += deviation * deviation;
    }
    statistics.stddev = std::sqrt(squares / (count - 1));
  }
  statistics.cv = statistics.mean != 0 ? statistics.stddev / statistics.mean : 0;
  return statistics;
}

}  // namespace spmv
