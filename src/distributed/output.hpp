// The result and the dump of a product shared by MPI ranks, both in the
// order of one process: partial vectors summed in worker order, slots dumped
// in file order, on rank 0.
#pragma once

#include <mpi.h>

#include <cstdio>

#include "base/run_types.hpp"
#include "distributed/read.hpp"

namespace spmv {

// Sums the partial vectors of every rank in worker order, rank by rank:
// rank 0 adds its partials into a zeroed `result` and passes the running sum
// to rank 1, which adds its own, and so on; the last rank sends the sum back
// to rank 0, whose `result` then holds the product. A collective call.
void reduce_in_worker_order(MPI_Comm comm, const PartialSums& partials, ResultVector& result);

// Writes the dump on rank 0: the path, every rank's slots in order (each rank
// sends its own in pieces of at most piece_slots), the input and the result.
// Gives rank 0's dump_run status (0 or an errno); 0 on the other ranks.
// A collective call.
int dump_distributed(MPI_Comm comm, std::FILE* out, const RunConfig& config, const RankShare& rank,
                     const InputVector& input, const ResultVector& result,
                     std::int64_t piece_slots);

}  // namespace spmv
