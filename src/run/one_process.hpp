// The launcher of a run in one process: the whole file read here, one team
// of threads, nothing to agree on.
#pragma once

#include "base/run_types.hpp"
#include "run/driver.hpp"

namespace spmv {

// What the one-process launcher holds between its operations.
struct OneProcess {
  CooMatrix matrix;  // every slot of the file
};

// The operations of a run in one process, which keep their state in `state`.
Launcher one_process_launcher(OneProcess& state);

}  // namespace spmv
