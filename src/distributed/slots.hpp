// Moving the slots between MPI ranks so that each holds those of its workers.
#pragma once

#include <mpi.h>

#include <cstdint>
#include <optional>

#include "base/failure.hpp"
#include "distributed/pieces.hpp"
#include "distributed/read.hpp"

namespace spmv {

// The 80-bit values travel as their 16 bytes, so that every bit arrives.
struct ExtendedType {
  MPI_Datatype type;
  ExtendedType() {
    MPI_Type_contiguous(sizeof(Extended), MPI_BYTE, &type);
    MPI_Type_commit(&type);
  }
  ~ExtendedType() { MPI_Type_free(&type); }
  ExtendedType(const ExtendedType&) = delete;
  ExtendedType& operator=(const ExtendedType&) = delete;
};

// The slots [begin, end) of the global order that rank `rank` must hold: the
// static blocks of its thread_count workers out of ranks x thread_count.
struct SlotRange {
  std::int64_t begin = 0;  // first slot
  std::int64_t end = 0;    // one past the last slot
};
SlotRange rank_slots(std::int64_t total_slots, int ranks, std::int32_t thread_count, int rank);

// Replaces each rank's parsed slots (a run of the global order starting at
// share_begin) by the slots of its workers' blocks, in the same arrays: the
// parsed slots of those blocks stay and move into place, and only the slots
// that cross a rank boundary travel between ranks, in messages of at most
// piece_slots elements. A collective call.
std::optional<Failure> exchange_slots(MPI_Comm comm, std::int32_t thread_count,
                                      std::int64_t piece_slots, RankShare& rank);

}  // namespace spmv
