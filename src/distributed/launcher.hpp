// The launcher of a run over MPI ranks: each rank reads its share of the
// file and multiplies the slots of its workers; the ranks sum the partial
// vectors in worker order, gather the dump on rank 0 and agree on every
// verdict.
//
// src/distributed owns spmv-mpi: its main, this launcher, the read of each
// rank's share (read.hpp), the slots moved to the ranks of their workers
// (slots.hpp), the reduction and dump gathered in worker order (output.hpp)
// and one failure agreed by every rank (failure.hpp).
#pragma once

#include <mpi.h>

#include <cstdint>

#include "base/run_types.hpp"
#include "distributed/read.hpp"
#include "distributed/slots.hpp"
#include "run/driver.hpp"

namespace spmv {

// What a rank holds between the launcher's operations.
struct RankState {
  MPI_Comm comm = MPI_COMM_WORLD;  // the ranks of the run
  int rank = 0;                    // this rank
  int ranks = 1;                   // ranks of the run
  std::int32_t threads = 1;        // threads of each rank, once the command line is read
  RankShare share;                 // this rank's slots, once read
  ResultVector again;              // a repeated multiply's product, on rank 0
  MessagePieces pieces;            // the most slots in one message
};

// The operations of a run over the ranks of state.comm, which keep their
// state in `state`.
Launcher rank_launcher(RankState& state);

}  // namespace spmv
