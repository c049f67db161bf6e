// A chain of streams over a compressed file, each undoing one layer.
#include "unpack/unpack_layers.hpp"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "read/matrix_file.hpp"

namespace spmv {

namespace {

// Bytes a layer gives out at a time.
constexpr std::size_t layer_block_bytes = std::size_t{1} << 20;

}  // namespace

// zlib's inflater over the layer below, across every member of the stream.
struct GzipInflater {
  z_stream stream{};         // the inflater; next_in points into the lower layer's block
  bool input_ended = false;  // the layer below has no more bytes
  GzipInflater() { inflateInit2(&stream, 16 + MAX_WBITS); }
  GzipInflater(const GzipInflater&) = delete;
  GzipInflater& operator=(const GzipInflater&) = delete;
  ~GzipInflater() { inflateEnd(&stream); }
};

UnpackLayer::UnpackLayer() = default;

UnpackLayer::~UnpackLayer() {
  if (library != nullptr) archive_read_free(library);
}

namespace {

// The next block of the file.
la_ssize_t read_file(UnpackLayer& layer, const char** data) {
  const ssize_t got = read_at(layer.fd, layer.block.data(), layer.block.size(), layer.offset);
  if (got < 0) {
    layer.error = std::string("read error: ") + std::strerror(errno);
    return -1;
  }
  layer.offset += got;
  *data = layer.block.data();
  return got;
}

// The next inflated block: members follow each other until the input ends,
// which must be where a member ends; a member's check values must hold.
la_ssize_t read_gzip(UnpackLayer& layer, const char** data) {
  GzipInflater& gzip = *layer.gzip;
  z_stream& z = gzip.stream;
  for (;;) {
    if (z.avail_in == 0 && !gzip.input_ended) {
      const char* in = nullptr;
      const la_ssize_t got = read_layer(*layer.below, &in);
      if (got < 0) {
        layer.error = layer.below->error;
        return -1;
      }
      gzip.input_ended = (got == 0);
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
      z.avail_in = static_cast<uInt>(got);
    }
    if (z.avail_in == 0 && gzip.input_ended) {
      if (z.total_in == 0 && z.total_out == 0) return 0;  // after the last member
      layer.error = "truncated gzip input";
      return -1;
    }
    z.next_out = reinterpret_cast<Bytef*>(layer.block.data());
    z.avail_out = static_cast<uInt>(layer.block.size());
    const int status = inflate(&z, Z_NO_FLUSH);
    if (status == Z_STREAM_END) {
      inflateReset(&z);  // a member ends, its check values verified; another may follow
    } else if (status != Z_OK && status != Z_BUF_ERROR) {
      layer.error = std::string("gzip data error: ") + (z.msg != nullptr ? z.msg : "corrupt data");
      return -1;
    }
    const std::size_t produced = layer.block.size() - z.avail_out;
    if (produced > 0) {
      *data = layer.block.data();
      return static_cast<la_ssize_t>(produced);
    }
  }
}

// The next block of the library's current entry.
la_ssize_t read_library(UnpackLayer& layer, const char** data) {
  const la_ssize_t got = archive_read_data(layer.library, layer.block.data(), layer.block.size());
  if (got < 0) {
    layer.error = library_reason(layer.library);
    return -1;
  }
  *data = layer.block.data();
  return got;
}

// The library's read callback: the next block of the layer below, or its
// failure, whose reason the library then gives.
la_ssize_t library_input(archive* reader, void* below, const void** buffer) {
  UnpackLayer& layer = *static_cast<UnpackLayer*>(below);
  const char* data = nullptr;
  const la_ssize_t got = read_layer(layer, &data);
  if (got < 0) {
    archive_set_error(reader, EIO, "%s", layer.error.c_str());
    return -1;
  }
  *buffer = data;
  return got;
}

// A new layer over the top of the chain.
UnpackLayer& add_layer(UnpackChain& chain) {
  auto layer = std::make_unique<UnpackLayer>();
  layer->below = chain.layers.empty() ? nullptr : chain.layers.back().get();
  layer->block.resize(layer_block_bytes);
  chain.layers.push_back(std::move(layer));
  return *chain.layers.back();
}

}  // namespace

void add_file_layer(UnpackChain& chain, int fd) {
  add_layer(chain).fd = fd;
}

void add_gzip_layer(UnpackChain& chain) {
  add_layer(chain).gzip = std::make_unique<GzipInflater>();
}

int add_library_layer(UnpackChain& chain) {
  UnpackLayer& layer = add_layer(chain);
  layer.library = archive_read_new();
  archive_read_support_filter_bzip2(layer.library);
  archive_read_support_filter_xz(layer.library);
  archive_read_support_filter_zstd(layer.library);
  archive_read_support_format_tar(layer.library);
  archive_read_support_format_raw(layer.library);
  return archive_read_open(layer.library, layer.below, nullptr, library_input, nullptr);
}

la_ssize_t read_layer(UnpackLayer& layer, const char** data) {
  if (!layer.ahead.empty()) {
    layer.block.swap(layer.ahead);
    layer.ahead.clear();
    if (layer.block.size() < layer_block_bytes) {
      // The next read fills the block again: keep its full size.
      const std::size_t held = layer.block.size();
      layer.block.resize(layer_block_bytes);
      *data = layer.block.data();
      return static_cast<la_ssize_t>(held);
    }
    *data = layer.block.data();
    return static_cast<la_ssize_t>(layer.block.size());
  }
  if (layer.gzip) return read_gzip(layer, data);
  if (layer.library != nullptr) return read_library(layer, data);
  return read_file(layer, data);
}

la_ssize_t peek_layer(UnpackLayer& layer, std::size_t bytes, const char** data) {
  std::vector<char> ahead = std::move(layer.ahead);
  layer.ahead.clear();
  while (ahead.size() < bytes) {
    const char* more = nullptr;
    const la_ssize_t got = read_layer(layer, &more);
    if (got < 0) return -1;
    if (got == 0) break;
    ahead.insert(ahead.end(), more, more + got);
  }
  layer.ahead = std::move(ahead);
  *data = layer.ahead.data();
  return static_cast<la_ssize_t>(layer.ahead.size());
}

std::string library_reason(archive* reader) {
  const char* reason = archive_error_string(reader);
  return reason != nullptr ? reason : "the compressed data is corrupt or ends early";
}

std::string failure_below(const UnpackChain& chain) {
  for (std::size_t i = 0; i + 1 < chain.layers.size(); ++i) {
    if (!chain.layers[i]->error.empty()) return chain.layers[i]->error;
  }
  return "";
}

std::vector<std::string> compression_names(const UnpackChain& chain) {
  std::vector<std::string> names;  // outermost first, then reversed
  for (const auto& layer : chain.layers) {
    if (layer->gzip) names.emplace_back("gzip");
    if (layer->library == nullptr) continue;
    // The library lists its filters innermost first.
    for (int i = archive_filter_count(layer->library) - 1; i >= 0; --i) {
      if (archive_filter_code(layer->library, i) != ARCHIVE_FILTER_NONE) {
        names.emplace_back(archive_filter_name(layer->library, i));
      }
    }
  }
  std::reverse(names.begin(), names.end());
  return names;
}

bool starts_gzip(const char* data, std::size_t bytes) {
  return bytes >= 2 && static_cast<unsigned char>(data[0]) == 0x1f &&
         static_cast<unsigned char>(data[1]) == 0x8b;
}

}  // namespace spmv
