// Opening, stamping and reading the matrix file.
#include "read/matrix_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "read/messages.hpp"

namespace spmv {

namespace {

// Bytes at the start of a file that tell compressed files and archives: a tar
// header of 512 bytes holds its magic at offset 257.
constexpr std::size_t packed_head_bytes = 512;

// The file's identity, size and times as fstat gives them now.
std::optional<Failure> stamp_of(int fd, const std::string& path, FileStamp& stamp,
                                struct stat& info) {
  if (::fstat(fd, &info) != 0) return file_failure(path, 0, std::strerror(errno));
  stamp.device = info.st_dev;
  stamp.inode = info.st_ino;
  stamp.bytes = info.st_size;
  stamp.mtime_ns = info.st_mtim.tv_sec * std::int64_t{1000000000} + info.st_mtim.tv_nsec;
  stamp.ctime_ns = info.st_ctim.tv_sec * std::int64_t{1000000000} + info.st_ctim.tv_nsec;
  return std::nullopt;
}

// True when `head` starts with a tar header whose checksum (the octal number
// at offset 148) is the sum of its 512 bytes, the checksum field counted as
// spaces: a text that only happens to hold "ustar" at offset 257 is no tar.
bool tar_checksum_holds(const unsigned char* head, std::size_t bytes) {
  constexpr std::size_t header_bytes = 512;
  constexpr std::size_t checksum_at = 148;
  constexpr std::size_t checksum_bytes = 8;
  if (bytes < header_bytes) return false;
  unsigned sum = 0;
  for (std::size_t i = 0; i < header_bytes; ++i) {
    const bool in_field = i >= checksum_at && i < checksum_at + checksum_bytes;
    sum += in_field ? unsigned{' '} : head[i];
  }
  unsigned written = 0;
  std::size_t i = checksum_at;
  while (i < checksum_at + checksum_bytes && head[i] == ' ') ++i;
  const std::size_t digits_start = i;
  for (; i < checksum_at + checksum_bytes && head[i] >= '0' && head[i] <= '7'; ++i) {
    written = written * 8 + (head[i] - '0');
  }
  return i > digits_start && written == sum;
}

// The name of the compression or archive format whose magic bytes start
// `head`, or nullptr for anything else.
const char* packed_format(const unsigned char* head, std::size_t bytes) {
  const auto starts = [&](std::size_t at, std::initializer_list<unsigned char> magic) {
    return bytes >= at + magic.size() && std::equal(magic.begin(), magic.end(), head + at);
  };
  if (starts(0, {0x1f, 0x8b})) return "gzip-compressed";
  if (starts(0, {'B', 'Z', 'h'}) && bytes > 3 && head[3] >= '1' && head[3] <= '9') {
    return "bzip2-compressed";
  }
  if (starts(0, {0xfd, '7', 'z', 'X', 'Z', 0x00})) return "xz-compressed";
  if (starts(0, {0x28, 0xb5, 0x2f, 0xfd})) return "zstd-compressed";
  if (starts(257, {'u', 's', 't', 'a', 'r'}) && tar_checksum_holds(head, bytes)) {
    return "a tar archive";
  }
  return nullptr;
}

}  // namespace

FileDescriptor::~FileDescriptor() {
  if (fd >= 0) ::close(fd);
}

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept : fd(std::exchange(other.fd, -1)) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) ::close(fd);
    fd = std::exchange(other.fd, -1);
  }
  return *this;
}

namespace {

// Refuses what is not a regular file by its path, before it is opened:
// opening a device can have effects of its own, and a socket cannot be opened.
std::optional<Failure> refuse_by_kind(const std::string& path, const struct stat& info) {
  if (S_ISDIR(info.st_mode)) return file_failure(path, 0, "is a directory");
  if (!S_ISREG(info.st_mode)) {
    return file_failure(path, 0, "is not a regular file (the matrix file is read twice)");
  }
  return std::nullopt;
}

}  // namespace

std::optional<Failure> open_matrix_file(const std::string& path, FileDescriptor& file,
                                        FileStamp& stamp) {
  struct stat by_path {};
  if (::stat(path.c_str(), &by_path) == 0) {
    if (auto failure = refuse_by_kind(path, by_path)) return failure;
  }
  file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (file.fd < 0) return file_failure(path, 0, std::strerror(errno));
  struct stat info {};
  if (auto failure = stamp_of(file.fd, path, stamp, info)) return failure;
  if (auto failure = refuse_by_kind(path, info)) return failure;  // replaced meanwhile
  ::fcntl(file.fd, F_SETFL, ::fcntl(file.fd, F_GETFL) & ~O_NONBLOCK);
  ::posix_fadvise(file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::nullopt;
}

std::optional<Failure> check_unchanged(int fd, const std::string& path, const FileStamp& first) {
  FileStamp now;
  struct stat info {};
  if (auto failure = stamp_of(fd, path, now, info)) return failure;
  if (now == first) return std::nullopt;
  return changed_file_failure(path);
}

ssize_t read_at(int fd, char* buffer, std::size_t count, std::int64_t offset) {
  for (;;) {
    const ssize_t got = ::pread(fd, buffer, count, offset);
    if (got >= 0 || errno != EINTR) return got;
  }
}

bool write_all(int fd, const char* data, std::size_t bytes) {
  while (bytes > 0) {
    const ssize_t written = ::write(fd, data, bytes);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return false;
    if (written == 0) {
      errno = ENOSPC;
      return false;
    }
    data += written;
    bytes -= static_cast<std::size_t>(written);
  }
  return true;
}

const char* packed_name(int fd) {
  unsigned char head[packed_head_bytes];
  const ssize_t got = read_at(fd, reinterpret_cast<char*>(head), sizeof head, 0);
  return got > 0 ? packed_format(head, static_cast<std::size_t>(got)) : nullptr;
}

std::optional<Failure> refuse_packed(int fd, const std::string& path) {
  const char* format = packed_name(fd);
  if (format == nullptr) return std::nullopt;
  const bool archive = format[0] == 'a';
  return file_failure(
      path, 0, std::string(format) + (archive ? "; unpack it first" : "; decompress it first"));
}

Failure changed_file_failure(const std::string& path) {
  return file_failure(path, 0, "the file changed while it was being read");
}

}  // namespace spmv
