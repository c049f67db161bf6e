// The file that receives the report of a run.
#pragma once

#include <optional>
#include <string>

#include "base/failure.hpp"
#include "read/matrix_file.hpp"

namespace spmv {

// Opens the report file at `path` for writing, but leaves its content alone
// until the report is written, so that a path that cannot be written stops
// the run before it starts. A file that does not exist is created and
// removed again at once, and `file` left closed: it is made only when the
// report is written. Refuses the matrix file itself, and what would block (a
// FIFO without a reader).
std::optional<Failure> open_report_file(const std::string& path, const std::string& matrix_path,
                                        FileDescriptor& file);

// Replaces the content of the opened report file with `text`: a regular
// file by a new one renamed over it (with its owner and mode), so that its
// old content survives a failed write; a file with other hard links, or in a
// folder that takes no new file, and anything else (a terminal, a pipe) by
// writing to it. A report that did not exist is made the same way, whole or
// not at all.
std::optional<Failure> write_report_file(const FileDescriptor& file, const std::string& path,
                                         const std::string& text);

}  // namespace spmv
