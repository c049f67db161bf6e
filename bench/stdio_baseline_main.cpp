// The straightforward stdio version of a run, as a baseline for whole-run
// timings: fgetc newline count, fscanf per entry, one read-modify-write per
// slot. Same arguments and performance line as spmv.
#include <omp.h>

#include <cstdio>
#include <cstdlib>

#include "stdio_reference.hpp"

using namespace spmv;

int main(int argc, char** argv) {
  const double t_start = omp_get_wtime();
  if (argc < 5) return 2;
  const int threads = std::atoi(argv[1]);
  omp_set_num_threads(threads);
  const ReferenceMatrix matrix = stdio_read(argv[4]);
  const double t_ready = omp_get_wtime();
  const std::vector<Extended> product = reference_product(matrix, threads);
  const double t_end = omp_get_wtime();
  const double tp = (t_end - t_ready) / threads + (t_ready - t_start);
  std::printf("Work took Tp: %f seconds with S: %f , E: %f in %d number  of threads\n", tp,
              1.0 / tp, 1.0 / tp / threads, threads);
  return product.size() == static_cast<std::size_t>(matrix.n) ? 0 : 1;
}
