// Compressed matrix files and archives: gzip, bzip2, xz and zstd streams and
// tar archives (plain or compressed), told by their first bytes, unpacked
// once into memory so that both passes of the reader read the text.
//
// src/unpack owns the packing of a matrix file: the layers of compression
// undone one stream at a time (unpack_layers.hpp), the archive member
// chosen (archive_member.hpp), and the unpacked text with its memory limit
// (here).
#pragma once

#include <cstdint>
#include <string>

#include "base/failure.hpp"
#include "read/matrix_file.hpp"

namespace spmv {

struct ReadProgress;

// The unpacked text of a compressed file or of one archive member.
struct UnpackedText {
  FileDescriptor text;            // a memory file that holds the text
  std::string name;               // for messages: PATH, or PATH(MEMBER) for an archive member
  std::string member;             // the archive member read; empty for a compressed file
  std::string format;             // what the file was, e.g. "gzip-compressed"
  std::int64_t packed_bytes = 0;  // size of the file as stored
  std::int64_t bytes = 0;         // size of the text
};

// Unpacks the compressed file or archive at `path` (open as `fd`, stamped as
// `stamp`, of the format `packing` that packed_name gave) into memory. An archive is read through
// its member NAME.mtx, NAME being the archive's name without its extensions; without one, through
// the one .mtx member that holds a coordinate matrix; otherwise it is refused, with the candidates
// listed. Corrupt or truncated data is refused with the library's reason; text larger than the
// memory the process may use is refused before it fills it. `progress`, when given, counts the
// packed bytes consumed against the packed size.
Outcome<UnpackedText> unpack_matrix(const std::string& path, int fd, const FileStamp& stamp,
                                    const char* packing, ReadProgress* progress = nullptr);

}  // namespace spmv
