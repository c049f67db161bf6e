// The matrix file, read in its two passes.
#include "coo_matrix.hpp"

#include <omp.h>

#include "coo_matrix_lines.hpp"
#include "coo_matrix_second_pass.hpp"

namespace spmv {

Outcome<CooMatrix> read_coo_matrix(const std::string& path, std::int32_t thread_count,
                                   const ReadOptions& options, ReadReport* report) {
  ReadReport local_report;
  ReadReport& how = report != nullptr ? *report : local_report;
  const double start = omp_get_wtime();
  const Outcome<LineCount> lines = count_lines(path, thread_count, options);
  const double counted = omp_get_wtime();
  if (lines.failure) {
    how = ReadReport{};
    how.first_pass_seconds = counted - start;
    return Outcome<CooMatrix>{CooMatrix{}, lines.failure};
  }
  Outcome<CooMatrix> outcome = read_entries(path, lines.value, thread_count, options, &how);
  how.first_pass_seconds = counted - start;
  how.second_pass_seconds = omp_get_wtime() - counted;
  return outcome;
}

}  // namespace spmv
