// The texts of the reader's refusals: "PATH: reason" or "PATH:LINE: reason",
// with fields quoted safely.
#pragma once

#include <cstdint>
#include <string>

#include "base/failure.hpp"
#include "read/coo_matrix.hpp"

namespace spmv {

// The path for a message: control characters (a newline, a terminal escape)
// written as \xNN, every other byte as it is.
std::string printable_path(const std::string& path);

// A refusal of the matrix file, "PATH: reason" or "PATH:LINE: reason"
// (no line number when `line` is 0).
Failure file_failure(const std::string& path, std::int64_t line, const std::string& reason);

// A failed read, with the reason errno gives.
Failure read_failure(const std::string& path);

// No memory for a read buffer of `bytes`.
Failure buffer_failure(std::uint64_t bytes);

// The field that starts at p, for messages: at most max_field_text_bytes of
// it, with bytes that are not printable ASCII written as \xNN.
std::string field_text(const char* p);

// The same, in double quotes.
std::string quote_field(const char* p);

}  // namespace spmv
