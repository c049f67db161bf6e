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
#include "read/coo_matrix.hpp"

namespace spmv {

// The file that the passes of the reader open, and the name that messages
// give it: the matrix file itself, or the memory file that holds the
// unpacked text of a compressed file or archive member.
struct MatrixSource {
  std::string path;  // what to open
  std::string name;  // what messages call it: the path given, or ARCHIVE(MEMBER)
};

// The name of the compression or archive format the file starts with, as
// messages give it ("gzip-compressed", "a tar archive"), or nullptr.
const char* packed_name(int fd);

// Reads up to count bytes at offset: the number read, 0 at end of file, -1 on error.
ssize_t read_at(int fd, char* buffer, std::size_t count, std::int64_t offset);

// Writes all of [data, data + bytes) to fd, again after an interrupted or
// partial write; false with errno set when it cannot (ENOSPC when the file
// takes no more bytes).
bool write_all(int fd, const char* data, std::size_t bytes);

}  // namespace spmv
