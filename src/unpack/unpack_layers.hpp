// The layers of a compressed file, undone one stream at a time: the file at
// the bottom, gzip members inflated with zlib (which holds every member to
// its CRC-32 and length, at any depth), and libarchive's readers for bzip2,
// xz and zstd streams and for the tar format.
#pragma once

#include <archive.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace spmv {

struct GzipInflater;

// One stream of the chain; each reads its packed bytes from the one below.
struct UnpackLayer {
  UnpackLayer* below = nullptr;        // the stream read from; null for the file itself
  int fd = -1;                         // the file, for the bottom layer
  std::int64_t offset = 0;             // bytes of the file read so far, for the bottom layer
  std::unique_ptr<GzipInflater> gzip;  // set for a gzip layer
  archive* library = nullptr;          // set for a library layer (raw or tar data)
  std::vector<char> block;             // the block last given out
  std::vector<char> ahead;             // bytes read ahead by peek_layer, given out first
  std::string error;                   // why a read failed, once one has
  UnpackLayer();
  UnpackLayer(const UnpackLayer&) = delete;
  UnpackLayer& operator=(const UnpackLayer&) = delete;
  ~UnpackLayer();
};

// The layers of one file, the file first; each stays where it is while
// the ones above read from it.
struct UnpackChain {
  std::vector<std::unique_ptr<UnpackLayer>> layers;  // outermost (the file) first
};

// Most layers of compression one file may have; a file packed more often is
// refused rather than given a buffer per layer without end.
inline constexpr int max_unpack_layers = 16;

// Starts the chain with the file `fd`, read from its start.
void add_file_layer(UnpackChain& chain, int fd);

// Adds a gzip layer over the top of the chain.
void add_gzip_layer(UnpackChain& chain);

// Adds a library layer over the top of the chain and opens it: bzip2, xz and
// zstd streams are undone (a gzip stream is not: it is left as data, for a
// gzip layer above), the data is then read as a tar archive or as one raw
// stream. Gives the library's status of the open (ARCHIVE_OK on success).
int add_library_layer(UnpackChain& chain);

// The next block of `layer`'s data into *data: its size, 0 at the end, -1
// with layer.error set when the data is corrupt, truncated or unreadable.
// A library layer gives the data of its current entry.
la_ssize_t read_layer(UnpackLayer& layer, const char** data);

// At least `bytes` bytes of `layer`'s data (fewer only at its end), without
// taking them: the next read_layer gives them again. -1 as read_layer.
la_ssize_t peek_layer(UnpackLayer& layer, std::size_t bytes, const char** data);

// The library's reason for the last failure of `reader`, which it does not
// always give.
std::string library_reason(archive* reader);

// Why a layer of the chain below the top one failed, when one did: the
// reason behind what the top layer's library may give as one of its own
// (such as an unrecognised format, for data that ended early); else empty.
std::string failure_below(const UnpackChain& chain);

// The compressions of the chain, innermost (the first applied) first, as
// "gzip", "xz", ...
std::vector<std::string> compression_names(const UnpackChain& chain);

// True when `data` starts with a gzip member's magic number.
bool starts_gzip(const char* data, std::size_t bytes);

}  // namespace spmv
