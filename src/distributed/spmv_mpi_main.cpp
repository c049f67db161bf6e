// spmv-mpi: the measurement of spmv across MPI ranks. With R ranks of
// THREADS threads each, the run has P = R x THREADS workers and gives the
// dump that `spmv P 0 1 FILE` gives, byte for byte.
//
//   mpirun -np R spmv-mpi [--report=FILE] [--repeat=N] [--min-time=SECONDS]
//       THREADS IGNORED VERBOSE MATRIX_FILE
//
// Only rank 0 writes to standard output and standard error; every rank ends
// with the same exit status, as spmv's.
#include <mpi.h>

#include "distributed/launcher.hpp"
#include "run/driver.hpp"

int main(int argc, char** argv) {
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
  spmv::RankState state;
  return spmv::run_measurement(argc, argv, spmv::rank_launcher(state));
}
