// Reading the matrix file across MPI ranks: no rank reads the whole file.
// Each rank counts the newlines of its own byte range, rank 0 reads the
// header for all, each rank parses the lines that start in its range on its
// threads, and the slots then move to the ranks whose workers multiply them.
#pragma once

#include <mpi.h>

#include <cstdint>
#include <string>

#include "base/failure.hpp"
#include "base/run_types.hpp"
#include "read/coo_matrix.hpp"

namespace spmv {

// One rank's part of the matrix after the read.
struct RankShare {
  CooMatrix share;               // the shape of the whole matrix; the slots of this
                                 // rank's workers, in the global order
  std::int64_t total_slots = 0;  // slots of the whole matrix
  std::int64_t share_begin = 0;  // global index of the share's first slot
  std::int64_t room = 0;         // slots the share's arrays have room for
  std::int64_t slots_sent = 0;   // slots this rank sent to other ranks
  ReadReport report;             // how the file was read (the same on every rank)
};

// Reads the matrix file on every rank of `comm`, each with thread_count
// threads, so that rank r holds the slots of the static blocks of workers
// r * thread_count ... r * thread_count + thread_count - 1 out of ranks x
// thread_count workers. Gives every rank the same failure when any rank
// finds one: the refusal a sequential read would give (the lowest line wins).
// Slots move between ranks in messages of at most piece_slots elements.
// A collective call.
Outcome<RankShare> read_distributed(MPI_Comm comm, const std::string& path,
                                    std::int32_t thread_count, std::int64_t piece_slots,
                                    const ReadOptions& options = {});

}  // namespace spmv
