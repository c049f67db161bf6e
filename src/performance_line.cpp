// Tp, S and E from the clock readings of a run.
#include "performance_line.hpp"

namespace spmv {

void print_performance(std::FILE* out, const RunConfig& config, const RunClock& clock) {
  const double threads = static_cast<double>(config.thread_count);
  const double tp =
      (clock.t_mult_end - clock.t_mult_begin) / threads + (clock.t_ready - clock.t_start);
  const double s = 1.0 / tp;
  const double e = s / threads;
  std::fprintf(out, "Work took Tp: %f seconds with S: %f , E: %f in %d number  of threads\n", tp, s,
               e, config.thread_count);
}

}  // namespace spmv
