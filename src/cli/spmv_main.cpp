// spmv: times a parallel sparse matrix-vector product and prints Tp, S and E.
//
//   spmv [--report=FILE] [--repeat=N] [--min-time=SECONDS]
//        THREADS IGNORED VERBOSE MATRIX_FILE
//   spmv --help | -h | --version
//
// Exit status: 0 after a complete run, 1 when the matrix file cannot be read,
// the run does not fit in memory, a repeated multiply differs from the first
// or its output or report cannot be written, 2 when the command line is
// unusable.
#include "run/driver.hpp"
#include "run/one_process.hpp"

int main(int argc, char** argv) {
  spmv::OneProcess state;
  return spmv::run_measurement(argc, argv, spmv::one_process_launcher(state));
}
