// Failures as values: what a phase gives back when it cannot finish.
#pragma once

#include <optional>
#include <string>

namespace spmv {

// What went wrong when a phase could not finish; main prints it and ends the run.
struct Failure {
  enum class Kind {
    matrix_file,  // the matrix file could not be read, or was refused
    memory,       // the run needs more memory than there is
    threads,      // the team of THREADS threads cannot be started
    result,       // a repeated multiply did not give the first result bit for bit
    report,       // the report file cannot be opened or written
  };
  Kind kind;
  std::string message;  // one line for standard error, without the newline
};

// The result of a phase that can fail: a value, or the reason it is missing.
template <typename T>
struct Outcome {
  T value{};                       // meaningful only when failure is empty
  std::optional<Failure> failure;  // set when the phase could not finish
};

}  // namespace spmv
