// How a run ends: its failure or output on the standard streams, its report,
// and the exit status.
#pragma once

#include <optional>
#include <string>

#include "base/failure.hpp"
#include "base/run_types.hpp"
#include "read/matrix_file.hpp"
#include "report/run_report.hpp"

namespace spmv {

// Reports a failure on the standard streams and gives the exit status:
// "Error Reading File" on standard output for a refused matrix file, the
// message on standard error.
int report_failure(const Failure& failure);

// `failure` as `program` tells it: the messages that the run's parts start
// with "spmv: " name `program` instead ("spmv-mpi: ").
Failure told_by(const char* program, Failure failure);

// Gives the exit status once everything is written: a lost performance line,
// dump or help text is a failed run, and `program`'s message says why.
// `error` is the errno of an earlier failure to produce output, or 0. The
// message, when there is one, also goes to `message` (when given).
int finish_output(const char* program, int status, int error = 0, std::string* message = nullptr);

// Ends the run with `failure` reported, when there is one, then writes the
// report when one was asked for; gives the exit status. `program` tells the
// messages.
int conclude(const char* program, const RunConfig& config, const FileDescriptor& report_file,
             RunRecord& record, int status, const std::optional<Failure>& failure = std::nullopt);

}  // namespace spmv
