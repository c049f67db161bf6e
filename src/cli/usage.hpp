// The texts that tell how to call the program and which version it is.
#pragma once

#include <string>

namespace spmv {

// The text that tells how to call `program`: "spmv", or "spmv-mpi", which
// runs under mpirun.
std::string usage_text(const std::string& program);

// The line that --version prints: the program's name and version.
std::string version_text(const std::string& program);

}  // namespace spmv
