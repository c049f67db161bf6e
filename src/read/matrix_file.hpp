// The matrix file itself: opening it for one pass, reading at an offset,
// telling one version of it from another, and refusing what is not a plain
// text file.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "base/failure.hpp"

namespace spmv {

// An open file descriptor, closed when it goes out of scope.
struct FileDescriptor {
  int fd = -1;  // the descriptor, -1 when none is open
  FileDescriptor() = default;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&& other) noexcept;
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  ~FileDescriptor();
};

// The file that the passes of the reader open, and the name that messages
// give it: the matrix file itself, or the memory file that holds the
// unpacked text of a compressed file or archive member.
struct MatrixSource {
  std::string path;  // what to open
  std::string name;  // what messages call it: the path given, or ARCHIVE(MEMBER)
};

// One version of a file, as fstat sees it: writing to the file moves its
// modification and change times, replacing it changes the inode.
struct FileStamp {
  std::uint64_t device = 0;   // st_dev
  std::uint64_t inode = 0;    // st_ino
  std::int64_t bytes = 0;     // st_size
  std::int64_t mtime_ns = 0;  // st_mtim, in nanoseconds
  std::int64_t ctime_ns = 0;  // st_ctim, in nanoseconds
  bool operator==(const FileStamp&) const = default;
};

// Opens the matrix file for one pass and stamps it; only a regular file can be
// read twice. The open does not block, so that a FIFO (which would wait for a
// writer) is refused at once.
std::optional<Failure> open_matrix_file(const std::string& path, FileDescriptor& file,
                                        FileStamp& stamp);

// Refuses the file when it is no longer the version the first pass opened.
std::optional<Failure> check_unchanged(int fd, const std::string& path, const FileStamp& first);

// The name of the compression or archive format the file starts with, as
// messages give it ("gzip-compressed", "a tar archive"), or nullptr.
const char* packed_name(int fd);

// Refuses a compressed file or an archive with a message that says what it
// is, instead of a complaint about its first bytes as a header.
std::optional<Failure> refuse_packed(int fd, const std::string& path);

// Reads up to count bytes at offset: the number read, 0 at end of file, -1 on error.
ssize_t read_at(int fd, char* buffer, std::size_t count, std::int64_t offset);

// Writes all of [data, data + bytes) to fd, again after an interrupted or
// partial write; false with errno set when it cannot (ENOSPC when the file
// takes no more bytes).
bool write_all(int fd, const char* data, std::size_t bytes);

}  // namespace spmv
