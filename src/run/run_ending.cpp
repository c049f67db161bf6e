// The end of a run: messages, the check that output was written, the report.
#include "run/run_ending.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "report/machine_context.hpp"
#include "report/report_file.hpp"

namespace spmv {

int report_failure(const Failure& failure) {
  if (failure.kind == Failure::Kind::matrix_file) std::fputs("Error Reading File\n", stdout);
  std::fprintf(stderr, "%s\n", failure.message.c_str());
  return 1;
}

Failure told_by(const char* program, Failure failure) {
  constexpr std::string_view spmv = "spmv: ";
  if (failure.message.starts_with(spmv)) {
    failure.message.replace(0, spmv.size(), std::string(program) + ": ");
  }
  return failure;
}

int finish_output(const char* program, int status, int error, std::string* message) {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout) && !std::ferror(stderr) && error == 0) {
    return status;
  }
  if (error == 0) error = errno != 0 ? errno : EIO;
  const std::string text =
      std::string(program) + ": could not write the results: " + std::strerror(error);
  std::fprintf(stderr, "%s\n", text.c_str());
  if (message != nullptr) *message = text;
  return 1;
}

int conclude(const char* program, const RunConfig& config, const FileDescriptor& report_file,
             RunRecord& record, int status, const std::optional<Failure>& failure) {
  if (failure) {
    const Failure told = told_by(program, *failure);
    record.error = told.message;
    status = report_failure(told);
  }
  if (config.report_path.empty()) return status;
  const std::string text = report_json(config, record, describe_machine());
  if (const auto lost = write_report_file(report_file, config.report_path, text)) {
    std::fprintf(stderr, "%s\n", told_by(program, *lost).message.c_str());
    return 1;
  }
  return status;
}

}  // namespace spmv
