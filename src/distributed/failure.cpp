// Agreeing on a failure: the lowest failing rank's kind and message, broadcast.
#include "distributed/failure.hpp"

#include <cstdint>
#include <string>

namespace spmv {

Failure share_failure(MPI_Comm comm, int owner, const std::optional<Failure>& mine) {
  int rank = 0;
  MPI_Comm_rank(comm, &rank);
  std::int64_t head[2] = {0, 0};  // kind, message length
  if (rank == owner && mine) {
    head[0] = static_cast<std::int64_t>(mine->kind);
    head[1] = static_cast<std::int64_t>(mine->message.size());
  }
  MPI_Bcast(head, 2, MPI_INT64_T, owner, comm);
  std::string message(static_cast<std::size_t>(head[1]), '\0');
  if (rank == owner && mine) message = mine->message;
  MPI_Bcast(message.data(), static_cast<int>(head[1]), MPI_CHAR, owner, comm);
  return Failure{static_cast<Failure::Kind>(head[0]), std::move(message)};
}

std::optional<Failure> on_this_rank(MPI_Comm comm, std::optional<Failure> failure,
                                    const std::string& share) {
  if (!failure || failure->kind != Failure::Kind::memory) return failure;
  int rank = 0;
  int ranks = 1;
  MPI_Comm_rank(comm, &rank);
  MPI_Comm_size(comm, &ranks);
  char host[MPI_MAX_PROCESSOR_NAME] = "";
  int length = 0;
  if (MPI_Get_processor_name(host, &length) != MPI_SUCCESS) length = 0;
  const std::string head = "not enough memory: ";
  std::string rest = failure->message;
  if (rest.compare(0, head.size(), head) == 0) rest.erase(0, head.size());
  failure->message = "not enough memory on rank " + std::to_string(rank) + " of " +
                     std::to_string(ranks) + " (host " +
                     std::string(host, static_cast<std::size_t>(length)) +
                     ") for its share of the matrix (" + share + "): " + rest;
  return failure;
}

std::optional<Failure> agree_on_failure(MPI_Comm comm, const std::optional<Failure>& mine) {
  int rank = 0;
  int ranks = 1;
  MPI_Comm_rank(comm, &rank);
  MPI_Comm_size(comm, &ranks);
  int candidate = mine ? rank : ranks;
  int owner = ranks;
  MPI_Allreduce(&candidate, &owner, 1, MPI_INT, MPI_MIN, comm);
  if (owner == ranks) return std::nullopt;
  return share_failure(comm, owner, mine);
}

}  // namespace spmv
