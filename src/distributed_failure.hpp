// Failures of a run shared by several MPI processes: every rank ends the same
// way, with the message that one rank found.
#pragma once

#include <mpi.h>

#include <optional>

#include "failure.hpp"

namespace spmv {

// Every rank learns the failure of the lowest rank that has one, or nullopt
// when no rank has one. A collective call: every rank must make it.
std::optional<Failure> agree_on_failure(MPI_Comm comm, const std::optional<Failure>& mine);

// Every rank gets the failure that rank `owner` holds. A collective call.
Failure share_failure(MPI_Comm comm, int owner, const std::optional<Failure>& mine);

}  // namespace spmv
