// The running sum passed from rank to rank, and the dump gathered piece by piece.
#include "distributed/output.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "distributed/slots.hpp"
#include "multiply/parallel_multiply.hpp"
#include "report/verbose_dump.hpp"

namespace spmv {

namespace {

constexpr int sum_tag = 1;
constexpr int dump_tag = 2;

}  // namespace

void reduce_in_worker_order(MPI_Comm comm, const PartialSums& partials, ResultVector& result) {
  int me = 0;
  int ranks = 1;
  MPI_Comm_rank(comm, &me);
  MPI_Comm_size(comm, &ranks);
  const ExtendedType extended;
  std::fill_n(result.element.get(), result.n, Extended{0});
  if (me > 0) {
    MPI_Recv(result.element.get(), result.n, extended.type, me - 1, sum_tag, comm,
             MPI_STATUS_IGNORE);
  }
  reduce_partials(partials, result);
  if (ranks == 1) return;
  if (me + 1 < ranks) {
    MPI_Send(result.element.get(), result.n, extended.type, me + 1, sum_tag, comm);
  } else {
    MPI_Send(result.element.get(), result.n, extended.type, 0, sum_tag, comm);
  }
  if (me == 0) {
    MPI_Recv(result.element.get(), result.n, extended.type, ranks - 1, sum_tag, comm,
             MPI_STATUS_IGNORE);
  }
}

int dump_distributed(MPI_Comm comm, std::FILE* out, const RunConfig& config, const RankShare& rank,
                     const InputVector& input, const ResultVector& result,
                     std::int64_t piece_slots) {
  int me = 0;
  int ranks = 1;
  MPI_Comm_rank(comm, &me);
  MPI_Comm_size(comm, &ranks);
  const ExtendedType extended;
  const CooMatrix& share = rank.share;
  std::vector<std::int64_t> counts(static_cast<std::size_t>(ranks));
  const std::int64_t held = share.nnz;
  MPI_Gather(&held, 1, MPI_INT64_T, counts.data(), 1, MPI_INT64_T, 0, comm);
  if (me != 0) {
    // Pieces of rows, columns and values, in order, as rank 0 asks for them.
    for (const Piece& piece : pieces_of(share.nnz, piece_slots)) {
      const auto k = static_cast<std::size_t>(piece.offset);
      MPI_Send(&share.row_index[k], piece.length, MPI_INT32_T, 0, dump_tag, comm);
      MPI_Send(&share.col_index[k], piece.length, MPI_INT32_T, 0, dump_tag, comm);
      if (!share.unit_values) {
        MPI_Send(&share.value[k], piece.length, extended.type, 0, dump_tag, comm);
      }
    }
    return 0;
  }
  DumpBuffer buffer = begin_dump(out, config.matrix_path);
  dump_slots(buffer, share.row_index.get(), share.col_index.get(), share.value.get(), share.nnz);
  const auto piece = static_cast<std::size_t>(piece_slots);
  std::vector<std::int32_t> rows(piece), cols(piece);
  std::vector<Extended> values(share.unit_values ? 0 : piece);
  for (int q = 1; q < ranks; ++q) {
    for (const Piece& piece : pieces_of(counts[static_cast<std::size_t>(q)], piece_slots)) {
      MPI_Recv(rows.data(), piece.length, MPI_INT32_T, q, dump_tag, comm, MPI_STATUS_IGNORE);
      MPI_Recv(cols.data(), piece.length, MPI_INT32_T, q, dump_tag, comm, MPI_STATUS_IGNORE);
      if (!share.unit_values) {
        MPI_Recv(values.data(), piece.length, extended.type, q, dump_tag, comm, MPI_STATUS_IGNORE);
      }
      dump_slots(buffer, rows.data(), cols.data(), share.unit_values ? nullptr : values.data(),
                 piece.length);
    }
  }
  return end_dump(buffer, input, result);
}

}  // namespace spmv
