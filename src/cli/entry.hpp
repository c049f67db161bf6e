// The entry of spmv and spmv-mpi: the command line read once, before the
// driver starts the run.
#pragma once

#include "run/driver.hpp"

namespace spmv {

// Answers a query (--help or --version) wherever it stands, refuses misuse
// with the reason in one line and then the usage on standard error (process
// 0 alone writes; every process gives status 2), or hands a usable command
// line to the driver; gives the exit status.
int run_command_line(int argc, char** argv, const Launcher& launcher);

}  // namespace spmv
