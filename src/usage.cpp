// The usage text, printed by --help and on misuse.
#include "usage.hpp"

namespace spmv {

const char* usage_text() {
  return "usage: spmv THREADS IGNORED VERBOSE MATRIX_FILE\n"
         "       spmv --help | -h | --version\n"
         "Times the product of a sparse matrix and a vector of ones on THREADS threads and\n"
         "prints Tp, S and E.\n"
         "  THREADS      number of worker threads, from 1 to 4096\n"
         "  IGNORED      an integer that has no effect\n"
         "  VERBOSE      1 dumps the matrix, input and result vectors to standard error\n"
         "  MATRIX_FILE  a header 'first n nnz', then one 'row col value' line per entry;\n"
         "               or a Matrix Market coordinate file (real, integer or pattern;\n"
         "               general, symmetric or skew-symmetric)\n"
         "Exit status: 0 done; 1 matrix file refused, not enough memory, team of threads\n"
         "not started or output not written; 2 usage.\n";
}

}  // namespace spmv
