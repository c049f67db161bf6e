// The product of the matrix and a vector of ones, computed by a team of
// workers that each fill a private partial vector, then summed once.
//
// src/multiply owns the arithmetic of a run: the vectors, the static blocks
// of slots (here), the team of threads (worker_team.hpp), the repeats held
// to the first result (repeated_multiply.hpp) and the result's digest
// (result_digest.hpp).
#pragma once

#include <cstdint>

#include "base/failure.hpp"
#include "base/memory_budget.hpp"
#include "base/run_types.hpp"

namespace spmv {

// The vectors of one run, as prepare_vectors builds them.
struct RunVectors {
  InputVector input;     // one 1 per column
  PartialSums partials;  // thread_count vectors of one zero per row
  ResultVector result;   // one zero per row
};

// The contiguous run of slots that one worker takes: [begin, begin + count).
struct SlotBlock {
  std::int64_t begin = 0;  // first slot
  std::int64_t count = 0;  // number of slots
};

// Static block division of nnz slots over a team of `workers`: the first
// nnz % workers workers take one slot more than the rest.
SlotBlock block_of_worker(std::int64_t nnz, std::int64_t workers, std::int64_t worker);

// Builds the input vector (ones), the partial vectors and the result (zeros)
// of these lengths. `matrix`, the arrays the matrix already holds, completes
// the sizes that a memory failure reports.
Outcome<RunVectors> prepare_vectors(VectorLengths lengths, std::int32_t thread_count,
                                    SlotArrays matrix = {});

// Sets every partial vector to zeros, each on the worker that will fill it.
void zero_partials(PartialSums& partials);

// Where a team's slots lie in a product shared by several processes: thread
// t takes block first_worker + t of the static division of total_slots over
// total_workers, and the team holds the slots from share_begin on.
struct ShareLayout {
  std::int64_t total_slots = 0;    // slots of the whole matrix
  std::int64_t total_workers = 0;  // workers of every process; 0: this team alone
  std::int64_t first_worker = 0;   // this team's first worker
  std::int64_t share_begin = 0;    // first slot this team holds
};

// Runs this team's blocks of a shared product into its partial vectors and
// records when its multiply began and ended.
void multiply_share(const CooMatrix& share, const ShareLayout& layout, const InputVector& input,
                    PartialSums& partials, RunClock& clock);

// Runs the multiply on the worker team and records when it began and ended.
void multiply_partials(const CooMatrix& matrix, const InputVector& input, PartialSums& partials,
                       RunClock& clock);

// Adds the partial vectors into the result, element by element, in worker order.
void reduce_partials(const PartialSums& partials, ResultVector& result);

}  // namespace spmv
