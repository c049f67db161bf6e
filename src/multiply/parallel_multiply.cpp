// Parallel multiply: vectors, the worker team and the reduction.
#include "multiply/parallel_multiply.hpp"

#include <omp.h>
#include <sched.h>

#include <algorithm>

#include "base/allocation.hpp"
#include "base/memory_budget.hpp"

namespace spmv {

SlotBlock block_of_worker(std::int64_t nnz, std::int64_t workers, std::int64_t worker) {
  const std::int64_t q = nnz / workers;
  const std::int64_t r = nnz % workers;
  if (worker < r) return SlotBlock{worker * (q + 1), q + 1};
  return SlotBlock{worker * q + r, q};
}

Outcome<RunVectors> prepare_vectors(VectorLengths lengths, std::int32_t thread_count,
                                    SlotArrays matrix) {
  Outcome<RunVectors> outcome;
  RunVectors& v = outcome.value;
  const auto columns = static_cast<std::size_t>(lengths.input);
  const auto length = static_cast<std::size_t>(lengths.result);
  v.input.n = lengths.input;
  v.input.element = try_allocate<std::int32_t>(columns);
  v.partials.thread_count = thread_count;
  v.partials.n = lengths.result;
  v.result.n = lengths.result;
  v.result.element = try_allocate<Extended>(length);
  bool allocated = v.input.element && v.result.element;
  try {
    v.partials.table.resize(static_cast<std::size_t>(thread_count));
  } catch (const std::bad_alloc&) {
    allocated = false;
  }
  for (auto& partial : v.partials.table) {
    if (!allocated) break;
    partial = try_allocate<Extended>(length);
    allocated = (partial != nullptr);
  }
  if (!allocated) {
    outcome.failure = memory_failure(lengths, matrix, thread_count);
    return outcome;
  }
  std::fill_n(v.input.element.get(), columns, 1);
  zero_partials(v.partials);
  std::fill_n(v.result.element.get(), length, Extended{0});
  return outcome;
}

void zero_partials(PartialSums& partials) {
  // Each worker zeroes its own partial vector, so that its pages are first
  // touched (and placed) by the thread that will write them.
  std::vector<std::unique_ptr<Extended[]>>& table = partials.table;
  const auto length = static_cast<std::size_t>(partials.n);
#pragma omp parallel num_threads(partials.thread_count)
  {
    const auto team = static_cast<std::size_t>(omp_get_num_threads());
    for (auto w = static_cast<std::size_t>(omp_get_thread_num()); w < table.size(); w += team) {
      std::fill_n(table[w].get(), length, Extended{0});
    }
  }
}

void multiply_partials(const CooMatrix& matrix, const InputVector& input, PartialSums& partials,
                       RunClock& clock) {
  multiply_share(matrix, ShareLayout{matrix.nnz, 0, 0, 0}, input, partials, clock);
}

namespace {

// Adds slots [begin, end) of the arrays into y. Consecutive slots of one row
// are summed in a register and stored once: the 80-bit register holds exactly
// what the 80-bit element would, so the additions and their rounding are
// those of one addition per slot. With unit values each slot adds x itself,
// which is exactly x times a value of 1.
template <bool unit_values>
void add_slots(const std::int32_t* rows, const std::int32_t* cols, const Extended* values,
               const std::int32_t* x, std::int64_t begin, std::int64_t end, Extended* y) {
  for (std::int64_t k = begin; k < end;) {
    const std::int32_t row = rows[k];
    Extended sum = y[row - 1];
    do {
      if constexpr (unit_values) {
        sum += static_cast<Extended>(x[cols[k] - 1]);
      } else {
        sum += static_cast<Extended>(x[cols[k] - 1]) * values[k];
      }
      ++k;
    } while (k < end && rows[k] == row);
    y[row - 1] = sum;
  }
}

}  // namespace

void multiply_share(const CooMatrix& share, const ShareLayout& layout, const InputVector& input,
                    PartialSums& partials, RunClock& clock) {
  const std::int32_t* rows = share.row_index.get();
  const std::int32_t* cols = share.col_index.get();
  const Extended* values = share.value.get();
  const std::int32_t* x = input.element.get();
  // Sized before the clock starts; a worker's one write lands in its own slot.
  clock.worker_cpus.assign(static_cast<std::size_t>(partials.thread_count), -1);
  std::int32_t* worker_cpus = clock.worker_cpus.data();
#pragma omp parallel num_threads(partials.thread_count)
  {
    const int thread = omp_get_thread_num();
    if (thread == 0) {
      clock.t_mult_begin = omp_get_wtime();
      clock.team_size = omp_get_num_threads();
    }
    // One call a worker a multiply: the CPU it starts its block on.
    worker_cpus[thread] = sched_getcpu();
    const std::int64_t workers =
        layout.total_workers > 0 ? layout.total_workers : omp_get_num_threads();
    const SlotBlock block =
        block_of_worker(layout.total_slots, workers, layout.first_worker + thread);
    Extended* y = partials.table[static_cast<std::size_t>(thread)].get();
    const std::int64_t begin = block.begin - layout.share_begin;
    const std::int64_t end = begin + block.count;
    if (share.unit_values) {
      add_slots<true>(rows, cols, values, x, begin, end, y);
    } else {
      add_slots<false>(rows, cols, values, x, begin, end, y);
    }
#pragma omp barrier
    if (thread == 0) clock.t_mult_end = omp_get_wtime();
  }
}

void reduce_partials(const PartialSums& partials, ResultVector& result) {
  for (std::int32_t i = 0; i < result.n; ++i) {
    Extended sum = result.element[i];
    for (const auto& partial : partials.table) sum += partial[i];
    result.element[i] = sum;
  }
}

}  // namespace spmv
