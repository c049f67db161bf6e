// Failures of a run shared by several MPI processes: every rank ends the same
// way, with the message that one rank found.
#pragma once

#include <mpi.h>

#include <optional>
#include <string>

#include "base/failure.hpp"

namespace spmv {

// Every rank learns the failure of the lowest rank that has one, or nullopt
// when no rank has one. A collective call: every rank must make it.
std::optional<Failure> agree_on_failure(MPI_Comm comm, const std::optional<Failure>& mine);

// Every rank gets the failure that rank `owner` holds. A collective call.
Failure share_failure(MPI_Comm comm, int owner, const std::optional<Failure>& mine);

// A memory refusal of this rank, whose sizes are its share's alone, told as
// such: "not enough memory on rank R of N (host H) for its share of the
// matrix (SHARE): " and the rest of the message. Other failures pass as they
// are. Not collective.
std::optional<Failure> on_this_rank(MPI_Comm comm, std::optional<Failure> failure,
                                    const std::string& share);

}  // namespace spmv
