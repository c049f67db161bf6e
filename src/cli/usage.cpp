// The usage text, printed by --help and on misuse, and the version line.
#include "cli/usage.hpp"

#include "build_info.hpp"

namespace spmv {

namespace {

// What follows the synopsis, common to both programs; THREADS_LINE and
// WORKERS fill in what differs.
std::string arguments_text(const char* threads_line, const char* what) {
  return std::string(what) + "  THREADS      " + threads_line +
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
         "  --min-time=SECONDS  repeat the multiply until SECONDS of repeats and at least N\n"
         "                 repeats have passed (SECONDS from 0 to 3600, in decimal digits\n"
         "                 with at most one decimal point)\n"
         "Options may stand anywhere, also as --OPTION VALUE, each once; -- ends them.\n"
         "-h is help only as the first argument. Standard output and error are the same\n"
         "with options as without.\n"
         "Exit status: 0 done; 1 matrix file refused, not enough memory, team of threads\n"
         "not started, a repeated multiply that differs, or output or report not\n"
         "written; 2 usage.\n";
}

}  // namespace

std::string usage_text(const std::string& program) {
  const std::string options =
      " [--report=FILE] [--repeat=N] [--min-time=SECONDS] THREADS IGNORED VERBOSE MATRIX_FILE\n";
  if (program == "spmv-mpi") {
    return "usage: mpirun -np RANKS " + program + options + "       " + program +
           " --help | -h | --version\n" +
           arguments_text("worker threads per rank; RANKS x THREADS from 1 to 4096\n",
                          "Times the product of a sparse matrix and a vector of ones on RANKS MPI\n"
                          "processes of THREADS threads each, and prints Tp, S and E of the\n"
                          "RANKS x THREADS workers; the dump is that of spmv with RANKS x THREADS\n"
                          "threads. Each rank reads its own share of the file, which must be\n"
                          "uncompressed and reachable by every rank under the same name. Rank 0\n"
                          "alone writes; every rank exits with the same status.\n");
  }
  return "usage: " + program + options + "       " + program + " --help | -h | --version\n" +
         arguments_text("number of worker threads, from 1 to 4096\n",
                        "Times the product of a sparse matrix and a vector of ones on THREADS "
                        "threads and\nprints Tp, S and E.\n");
}

std::string version_text(const std::string& program) {
  return program + " " + build_version + "\n";
}

}  // namespace spmv
