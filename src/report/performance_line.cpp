// Tp, S and E from the clock readings of a run.
#include "report/performance_line.hpp"

#include <cstdlib>

namespace spmv {

namespace {

// Prints one figure as the line does (%f) and reads it back, so that a report
// holds exactly the printed number.
double as_printed(double value, std::string& text) {
  char field[64];
  std::snprintf(field, sizeof field, "%f", value);
  text = field;
  return std::strtod(field, nullptr);
}

}  // namespace

Performance measure_performance(const RunConfig& config, const RunClock& clock) {
  const double threads = static_cast<double>(config.thread_count);
  const double tp =
      (clock.t_mult_end - clock.t_mult_begin) / threads + (clock.t_ready - clock.t_start);
  const double s = 1.0 / tp;
  const double e = s / threads;
  Performance performance;
  std::string tp_text, s_text, e_text;
  performance.tp = as_printed(tp, tp_text);
  performance.s = as_printed(s, s_text);
  performance.e = as_printed(e, e_text);
  performance.line = "Work took Tp: " + tp_text + " seconds with S: " + s_text + " , E: " + e_text +
                     " in " + std::to_string(config.thread_count) + " number  of threads\n";
  return performance;
}

void print_performance(std::FILE* out, const RunConfig& config, const RunClock& clock) {
  std::fputs(measure_performance(config, clock).line.c_str(), out);
}

}  // namespace spmv
