// The usage text, printed by --help and on misuse.
#include "cli/usage.hpp"

namespace spmv {

const char* usage_text() {
  return "usage: spmv [--report=FILE] [--repeat=N] THREADS IGNORED VERBOSE MATRIX_FILE\n"
         "       spmv --help | -h | --version\n"
         "Times the product of a sparse matrix and a vector of ones on THREADS threads and\n"
         "prints Tp, S and E.\n"
         "  THREADS      number of worker threads, from 1 to 4096\n"
         "  IGNORED      an integer that has no effect\n"
         "  VERBOSE      1 dumps the matrix, input and result vectors to standard error\n"
         "  MATRIX_FILE  a header 'first n nnz', then one 'row col value' line per entry;\n"
         "               or a Matrix Market coordinate file (real, integer or pattern;\n"
         "               general, symmetric or skew-symmetric)\n"
         "  --report=FILE  also write a JSON report of the run to FILE: the machine, the\n"
         "                 settings, the matrix, each phase's time, Tp, S, E, a digest of\n"
         "                 the result and the multiply's GFLOP/s and GB/s\n"
         "  --repeat=N     after the timed multiply, N more (0 to 1000000), each timed for\n"
         "                 the report and checked to give the same result bit for bit\n"
         "Options come before THREADS. Standard output and error are the same with them.\n"
         "Exit status: 0 done; 1 matrix file refused, not enough memory, team of threads\n"
         "not started, a repeated multiply that differs, or output or report not\n"
         "written; 2 usage.\n";
}

}  // namespace spmv
