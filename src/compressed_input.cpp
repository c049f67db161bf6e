// Unpacking with libarchive, which reads every compression and the tar
// format, into a memory file that the reader then treats as the matrix file.
#include "compressed_input.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "coo_matrix_messages.hpp"
#include "memory_budget.hpp"
#include "read_progress.hpp"

namespace spmv {

namespace {

// Bytes taken from the library at a time.
constexpr std::size_t unpack_block_bytes = std::size_t{1} << 20;

// Extensions of compressed files and archives, dropped from an archive's
// name to give the name of the member it is read through.
constexpr const char* packed_extensions[] = {"tar", "gz",  "tgz", "bz2",  "tbz", "tbz2",
                                             "xz",  "txz", "zst", "tzst", "zstd"};

// An archive reader of libarchive, freed when it goes out of scope.
struct ArchiveReader {
  archive* handle = archive_read_new();
  ArchiveReader() = default;
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;
  ~ArchiveReader() { archive_read_free(handle); }
};

// The archive's file name without its directory and packed extensions.
std::string archive_stem(const std::string& path) {
  std::string stem = path.substr(path.find_last_of('/') + 1);
  for (bool dropped = true; dropped;) {
    dropped = false;
    const std::size_t dot = stem.find_last_of('.');
    if (dot == std::string::npos || dot == 0) break;
    for (const char* extension : packed_extensions) {
      if (stem.compare(dot + 1, std::string::npos, extension) == 0) {
        stem.erase(dot);
        dropped = true;
        break;
      }
    }
  }
  return stem;
}

// The library's reason for the last failure, which it does not always give.
std::string reason_of(archive* reader) {
  const char* reason = archive_error_string(reader);
  return reason != nullptr ? reason : "the compressed data is corrupt or ends early";
}

// True when `text` starts with a Matrix Market banner of a coordinate matrix.
bool holds_coordinate_banner(const char* text, std::size_t bytes) {
  std::string line(text, std::min(bytes, std::size_t{256}));
  line = line.substr(0, line.find('\n'));
  for (char& c : line) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  const std::size_t banner = line.find("%%matrixmarket");
  return banner != std::string::npos && line.find_first_not_of(" \t") == banner &&
         line.find("coordinate") != std::string::npos;
}

// How unpacking one stream or member went.
struct Extraction {
  std::int64_t bytes = 0;          // text written
  bool coordinate = false;         // its first line is a coordinate banner
  std::optional<Failure> failure;  // why it stopped
};

// Copies the current entry's data into `into` (a memory file), or only its
// first block when `peek_only`; stops with a failure on corrupt data and at
// the memory the process may use.
// Reports to `progress` (when given) the compressed bytes consumed so far.
struct UnpackProgress {
  ReadProgress* progress = nullptr;           // the read's progress line, or null
  const std::int64_t* gzip_offset = nullptr;  // bytes the gzip inflater read; else the library's
  std::int64_t reported = 0;                  // bytes reported so far
  void update(archive* reader) {
    if (progress == nullptr) return;
    const std::int64_t consumed =
        gzip_offset != nullptr ? *gzip_offset : archive_filter_bytes(reader, -1);
    progress->add(consumed - reported);
    reported = consumed;
  }
};

Extraction extract(archive* reader, const std::string& name, int into, bool peek_only,
                   UnpackProgress& progress) {
  Extraction done;
  std::vector<char> block(unpack_block_bytes);
  const std::uint64_t limit = usable_memory().bytes;
  for (bool first = true;; first = false) {
    const la_ssize_t got = archive_read_data(reader, block.data(), block.size());
    if (got < 0) {
      done.failure = file_failure(name, 0, reason_of(reader));
      return done;
    }
    if (got == 0) return done;
    progress.update(reader);
    const auto size = static_cast<std::size_t>(got);
    if (first) done.coordinate = holds_coordinate_banner(block.data(), size);
    if (peek_only) return done;
    done.bytes += got;
    if (static_cast<std::uint64_t>(done.bytes) > limit) {
      done.failure = Failure{Failure::Kind::memory,
                             "not enough memory to hold the unpacked text of " +
                                 printable_path(name) + ": it is larger than " +
                                 std::to_string(limit) + " bytes; " + usable_memory().description};
      return done;
    }
    if (!write_all(into, block.data(), size)) {
      done.failure = file_failure(
          name, 0, std::string("cannot keep the unpacked text: ") + std::strerror(errno));
      return done;
    }
  }
}

// A fresh memory file for unpacked text.
std::optional<Failure> new_memory_file(const std::string& path, FileDescriptor& file) {
  file.fd = ::memfd_create("spmv-matrix-text", MFD_CLOEXEC);
  if (file.fd >= 0) return std::nullopt;
  return file_failure(path, 0,
                      std::string("cannot keep the unpacked text: ") + std::strerror(errno));
}

// A gzip file, inflated here with zlib, which holds every member to its
// CRC-32 and length (libarchive's own gzip reader does not); the archive
// reader then sees the plain stream.
struct GzipSource {
  int fd = -1;              // the compressed file
  std::int64_t offset = 0;  // next byte of it to read
  bool at_end = false;      // all of it has been read
  z_stream stream{};        // the inflater
  std::vector<unsigned char> in = std::vector<unsigned char>(unpack_block_bytes);
  std::vector<unsigned char> out = std::vector<unsigned char>(unpack_block_bytes);
  GzipSource() { inflateInit2(&stream, 16 + MAX_WBITS); }
  GzipSource(const GzipSource&) = delete;
  GzipSource& operator=(const GzipSource&) = delete;
  ~GzipSource() { inflateEnd(&stream); }
};

// libarchive's read callback: the next inflated block, 0 at the end, -1 with
// the reason on corrupt or truncated data.
la_ssize_t read_gzip(archive* reader, void* data, const void** buffer) {
  GzipSource& source = *static_cast<GzipSource*>(data);
  z_stream& z = source.stream;
  for (;;) {
    if (z.avail_in == 0 && !source.at_end) {
      const ssize_t got = read_at(source.fd, reinterpret_cast<char*>(source.in.data()),
                                  source.in.size(), source.offset);
      if (got < 0) {
        archive_set_error(reader, errno, "read error: %s", std::strerror(errno));
        return -1;
      }
      source.offset += got;
      source.at_end = (got == 0);
      z.next_in = source.in.data();
      z.avail_in = static_cast<uInt>(got);
    }
    if (z.avail_in == 0 && source.at_end) {
      if (z.total_in == 0 && z.total_out == 0) return 0;  // after the last member
      archive_set_error(reader, EIO, "truncated gzip input");
      return -1;
    }
    z.next_out = source.out.data();
    z.avail_out = static_cast<uInt>(source.out.size());
    const int status = inflate(&z, Z_NO_FLUSH);
    if (status == Z_STREAM_END) {
      // A member ends, its check values verified; another may follow.
      inflateReset(&z);
    } else if (status != Z_OK && status != Z_BUF_ERROR) {
      archive_set_error(reader, EIO, "gzip data error: %s",
                        z.msg != nullptr ? z.msg : "corrupt data");
      return -1;
    }
    const std::size_t produced = source.out.size() - z.avail_out;
    if (produced > 0) {
      *buffer = source.out.data();
      return static_cast<la_ssize_t>(produced);
    }
  }
}

// What the file was, its layers named in the order they were applied:
// "gzip-compressed", "a tar archive, gzip-compressed", or for a gzip file
// compressed again with xz "gzip-compressed, then xz-compressed". The library
// lists its filters innermost first; a gzip layer inflated here is the outermost.
std::string packing_text(archive* reader, bool tar, bool gzip) {
  std::vector<std::string> layers;
  for (int i = 0; i < archive_filter_count(reader); ++i) {
    if (archive_filter_code(reader, i) != ARCHIVE_FILTER_NONE) {
      layers.push_back(std::string(archive_filter_name(reader, i)) + "-compressed");
    }
  }
  if (gzip) layers.emplace_back("gzip-compressed");
  std::string text = tar ? "a tar archive" : "";
  for (std::size_t i = 0; i < layers.size(); ++i) {
    text += (i > 0 ? ", then " : tar ? ", " : "") + layers[i];
  }
  return text;
}

// Why an archive without the member `wanted` is refused: it has no .mtx
// member, none that holds a coordinate matrix, or more than one that does.
Failure no_member_failure(const std::string& path, const std::string& wanted,
                          const std::vector<std::string>& coordinate_members,
                          const std::vector<std::string>& mtx_members) {
  std::string list;
  for (const std::string& member : coordinate_members.empty() ? mtx_members : coordinate_members) {
    list += (list.empty() ? "" : ", ") + printable_path(member);
  }
  std::string reason = "the archive has no member " + printable_path(wanted);
  if (mtx_members.empty()) {
    reason += " and no .mtx member";
  } else if (coordinate_members.empty()) {
    reason += ", and no .mtx member holds a coordinate matrix (" + list + ")";
  } else {
    reason += ", and " + std::to_string(coordinate_members.size()) +
              " .mtx members hold a coordinate matrix: " + list + "; unpack the one to read";
  }
  return file_failure(path, 0, reason);
}

}  // namespace

Outcome<UnpackedText> unpack_matrix(const std::string& path, int fd, const FileStamp& stamp,
                                    const char* packing, ReadProgress* read_progress) {
  Outcome<UnpackedText> outcome;
  UnpackedText& unpacked = outcome.value;
  unpacked.packed_bytes = stamp.bytes;
  ArchiveReader reader;
  archive_read_support_filter_all(reader.handle);
  archive_read_support_format_tar(reader.handle);
  archive_read_support_format_raw(reader.handle);
  // gzip is inflated here, every other format by the library.
  const bool gzip = packing != nullptr && std::string(packing) == "gzip-compressed";
  GzipSource gzip_source;
  gzip_source.fd = fd;
  UnpackProgress progress{read_progress, gzip ? &gzip_source.offset : nullptr, 0};
  if (read_progress != nullptr) read_progress->expect(stamp.bytes);
  const int opened =
      gzip ? archive_read_open(reader.handle, &gzip_source, nullptr, read_gzip, nullptr)
           : (::lseek(fd, 0, SEEK_SET) == 0
                  ? archive_read_open_fd(reader.handle, fd, unpack_block_bytes)
                  : ARCHIVE_FATAL);
  // Every stream with text in it is taken as raw text, so a stream that no
  // format recognises (the library's error number for that is EILSEQ) is one
  // without any: its text is empty, and the reader refuses it as it refuses
  // an empty file.
  if (opened != ARCHIVE_OK && archive_errno(reader.handle) == EILSEQ) {
    unpacked.name = path;
    unpacked.format = packing_text(reader.handle, false, gzip);
    outcome.failure = new_memory_file(path, unpacked.text);
    return outcome;
  }
  if (opened != ARCHIVE_OK) {
    outcome.failure = file_failure(path, 0, reason_of(reader.handle));
    return outcome;
  }
  const std::string wanted = archive_stem(path) + ".mtx";
  std::vector<std::string> members;      // .mtx members that hold a coordinate matrix
  std::vector<std::string> mtx_members;  // every .mtx member
  bool chosen = false;
  bool tar = false;
  for (;;) {
    archive_entry* entry = nullptr;
    const int status = archive_read_next_header(reader.handle, &entry);
    progress.update(reader.handle);  // counts the members passed over, too
    if (status == ARCHIVE_EOF) break;
    if (status < ARCHIVE_WARN) {
      outcome.failure = file_failure(path, 0, reason_of(reader.handle));
      return outcome;
    }
    const bool raw = archive_format(reader.handle) == ARCHIVE_FORMAT_RAW;
    tar = !raw;
    const std::string member = raw ? std::string() : archive_entry_pathname(entry);
    const std::string name = raw ? path : path + "(" + member + ")";
    if (!raw) {
      const std::string base = member.substr(member.find_last_of('/') + 1);
      if (archive_entry_filetype(entry) != AE_IFREG || base.size() < 4 ||
          base.compare(base.size() - 4, 4, ".mtx") != 0) {
        continue;
      }
      mtx_members.push_back(member);
      const bool exact = (base == wanted);
      // The first coordinate member is kept in case no member has the
      // archive's name; later ones are only looked at.
      const bool keep = exact || members.empty();
      FileDescriptor text;
      if (keep && (outcome.failure = new_memory_file(path, text))) return outcome;
      Extraction done = extract(reader.handle, name, text.fd, !keep, progress);
      if (done.failure) {
        outcome.failure = std::move(done.failure);
        return outcome;
      }
      if (!exact && !done.coordinate) continue;
      if (keep) {
        unpacked.text = std::move(text);
        unpacked.name = name;
        unpacked.member = member;
        unpacked.bytes = done.bytes;
      }
      members.push_back(member);
      if (exact) {
        chosen = true;
        break;
      }
      continue;
    }
    if ((outcome.failure = new_memory_file(path, unpacked.text))) return outcome;
    Extraction done = extract(reader.handle, name, unpacked.text.fd, false, progress);
    if (done.failure) {
      outcome.failure = std::move(done.failure);
      return outcome;
    }
    unpacked.name = name;
    unpacked.bytes = done.bytes;
    chosen = true;
    break;
  }
  if (!chosen && members.size() != 1) {
    outcome.failure = no_member_failure(path, wanted, members, mtx_members);
    return outcome;
  }
  unpacked.format = packing_text(reader.handle, tar, gzip);
  // The text means nothing if the file changed while it was unpacked.
  if (auto changed = check_unchanged(fd, path, stamp)) outcome.failure = changed;
  return outcome;
}

}  // namespace spmv
