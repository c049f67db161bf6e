// Opening the report file early and writing it whole at the end.
#include "report/report_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "read/messages.hpp"

namespace spmv {

namespace {

Failure report_failure(const std::string& path, const std::string& reason) {
  return Failure{Failure::Kind::report,
                 "spmv: cannot write the report " + printable_path(path) + ": " + reason};
}

// How a report went to a new file beside its target.
struct Replacement {
  bool made = false;               // a new file could be made beside the target
  std::optional<Failure> failure;  // why it could not be made, written or put in place
};

// Writes `text` to a new file in the folder of `target`, with `mode` and,
// where `owner` is given and this user may give it, the same owner, and
// renames it to `target`: the report `path` is there whole or not at all.
Replacement rename_into_place(const std::string& target, const std::string& path, mode_t mode,
                              const struct stat* owner, const std::string& text) {
  const std::size_t slash = target.find_last_of('/');
  const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
  std::string temporary = target.substr(0, name) + "." + target.substr(name) + ".XXXXXX";
  FileDescriptor out;
  out.fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (out.fd < 0) return {false, report_failure(path, std::strerror(errno))};
  Replacement replaced{true, std::nullopt};
  if (owner != nullptr) {
    [[maybe_unused]] const int owned = ::fchown(out.fd, owner->st_uid, owner->st_gid);
  }
  if (::fchmod(out.fd, mode) != 0 || !write_all(out.fd, text.data(), text.size()) ||
      ::fsync(out.fd) != 0 || ::rename(temporary.c_str(), target.c_str()) != 0) {
    replaced.failure = report_failure(path, std::strerror(errno));
    ::unlink(temporary.c_str());
  }
  return replaced;
}

// Writes `text` to a new file in the folder of the regular file `path`
// (followed through symbolic links), which `opened` describes, and renames it
// over that file with its owner and mode, so that a write that fails (a full
// disk) leaves its old content whole. Not made where the file was replaced
// meanwhile, has other names, or its folder takes no new file.
Replacement replace_beside(const std::string& path, const struct stat& opened,
                           const std::string& text) {
  const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                             &std::free);
  struct stat now {};
  if (!resolved || ::stat(resolved.get(), &now) != 0 || now.st_dev != opened.st_dev ||
      now.st_ino != opened.st_ino || now.st_nlink > 1) {
    // Replaced meanwhile, or known by other names too, which a new file
    // would leave with the old report: written where it was opened.
    return {};
  }
  return rename_into_place(resolved.get(), path, opened.st_mode & 07777, &opened, text);
}

// Writes `text` as the new file `path`, which did not exist when the run
// started, with the mode that creating it gives, whole or not at all, so
// that a run that fails or is killed before then leaves no file there.
std::optional<Failure> create_whole(const std::string& path, const std::string& text) {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return rename_into_place(path, path, 0666 & ~mask, nullptr, text).failure;
}

}  // namespace

std::optional<Failure> open_report_file(const std::string& path, const std::string& matrix_path,
                                        FileDescriptor& file) {
  // A report that does not exist yet: made now to show that it can be, and
  // removed again until the end, which writes it whole.
  FileDescriptor probe;
  probe.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (probe.fd >= 0) {
    ::unlink(path.c_str());
    return std::nullopt;
  }
  if (errno != EEXIST) return report_failure(path, std::strerror(errno));
  file.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (file.fd < 0) {
    if (errno == ENXIO) return report_failure(path, "it is a FIFO that nobody reads");
    return report_failure(path, std::strerror(errno));
  }
  ::fcntl(file.fd, F_SETFL, ::fcntl(file.fd, F_GETFL) & ~O_NONBLOCK);
  // With standard output or error closed, the report would take its number
  // and receive the performance line or the dump: keep it above them.
  if (file.fd <= STDERR_FILENO) {
    FileDescriptor above;
    above.fd = ::fcntl(file.fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (above.fd < 0) return report_failure(path, std::strerror(errno));
    file = std::move(above);
  }
  struct stat report {};
  if (::fstat(file.fd, &report) != 0) return std::nullopt;
  const auto same = [&report](const struct stat& other) {
    return report.st_dev == other.st_dev && report.st_ino == other.st_ino;
  };
  struct stat matrix {};
  if (::stat(matrix_path.c_str(), &matrix) == 0 && same(matrix)) {
    return report_failure(path, "it is the matrix file");
  }
  // The file or pipe that receives the performance line or the dump would
  // lose them to the report, or get the report in the middle of them. A
  // terminal or /dev/null may take both.
  if (S_ISREG(report.st_mode) || S_ISFIFO(report.st_mode) || S_ISSOCK(report.st_mode)) {
    const struct {
      int fd;
      const char* reason;
    } streams[] = {{STDOUT_FILENO, "it is standard output"},
                   {STDERR_FILENO, "it is standard error"}};
    for (const auto& stream : streams) {
      struct stat standard {};
      if (::fstat(stream.fd, &standard) == 0 && same(standard)) {
        return report_failure(path, stream.reason);
      }
    }
  }
  return std::nullopt;
}

std::optional<Failure> write_report_file(const FileDescriptor& file, const std::string& path,
                                         const std::string& text) {
  if (file.fd < 0) return create_whole(path, text);
  struct stat status {};
  if (::fstat(file.fd, &status) == 0 && S_ISREG(status.st_mode)) {
    Replacement replaced = replace_beside(path, status, text);
    if (replaced.made) return std::move(replaced.failure);
    // No file can be made beside it (a folder without write access): the
    // report is written in place.
    if (::ftruncate(file.fd, 0) != 0) return report_failure(path, std::strerror(errno));
  }
  if (!write_all(file.fd, text.data(), text.size())) {
    return report_failure(path, std::strerror(errno));
  }
  return std::nullopt;
}

}  // namespace spmv
