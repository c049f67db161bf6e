// The matrix file, read in its two passes.
#include "coo_matrix.hpp"

#include "coo_matrix_lines.hpp"
#include "coo_matrix_second_pass.hpp"

namespace spmv {

Outcome<CooMatrix> read_coo_matrix(const std::string& path, std::int32_t thread_count,
                                   const ReadOptions& options, ReadReport* report) {
  const Outcome<LineCount> lines = count_lines(path, thread_count, options);
  if (lines.failure) return Outcome<CooMatrix>{CooMatrix{}, lines.failure};
  return read_entries(path, lines.value, thread_count, options, report);
}

}  // namespace spmv
