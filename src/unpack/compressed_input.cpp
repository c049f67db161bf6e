// Unpacking a compressed file or archive into a memory file that the reader
// then treats as the matrix file, and choosing the archive member to read.
#include "unpack/compressed_input.hpp"

#include <archive_entry.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "base/memory_budget.hpp"
#include "read/matrix_form.hpp"
#include "read/messages.hpp"
#include "read/progress.hpp"
#include "read/text_fields.hpp"
#include "unpack/archive_member.hpp"
#include "unpack/unpack_layers.hpp"

namespace spmv {

namespace {

// Text held before the arrays that its header calls for are counted beside
// it: a small file whose header declares more than it holds is refused by
// the reader for that, a large one here before it fills the memory.
constexpr std::uint64_t text_before_arrays_count = std::uint64_t{64} << 20;

// The bytes that the matrix arrays of the text will take at least, from the
// entry count its header line declares in `text` (the start of the text),
// at 8 bytes a slot for a matrix of unit values (as its banner says) and 24
// for any other; 0 when the header is not there or not plain.
std::uint64_t declared_array_bytes(const char* text, std::size_t bytes) {
  bool unit_values = false;
  for (const char* at = text; at < text + bytes;) {
    const auto* end = static_cast<const char*>(std::memchr(at, '\n', text + bytes - at));
    if (end == nullptr) return 0;
    const std::string line(at, end + 1);  // with its newline, then a terminating zero
    const bool first_line = (at == text);
    at = end + 1;
    const char* p = skip_blanks(line.c_str());
    if (first_line && is_banner(p)) unit_values = holds_unit_values(parse_banner(p).form);
    if (*p == '\n' || *p == '%') continue;
    // The header: three counts, the last of them the stored entries.
    std::int64_t counts[3] = {};
    for (std::int64_t& count : counts) {
      p = skip_blanks(p);
      char* after = nullptr;
      errno = 0;
      count = std::strtoll(p, &after, 10);
      if (after == p || errno != 0 || count < 0 || !ends_field(*after)) return 0;
      p = after;
    }
    return run_bytes_needed(VectorLengths{}, SlotArrays{counts[2], slot_bytes(unit_values)}, 0);
  }
  return 0;
}

// The refusal of a text that does not fit in `limit` beside the `arrays`
// bytes that its header calls for.
Failure text_memory_failure(const std::string& name, const MemoryLimit& limit,
                            std::uint64_t arrays) {
  std::string message = "not enough memory to hold the unpacked text of " + printable_path(name);
  if (arrays >= limit.bytes) {
    // The arrays alone are past the limit: the text's size is not the cause.
    message += ": the " + std::to_string(arrays) +
               " bytes of arrays that its header calls for leave no room for it";
    return Failure{Failure::Kind::memory, message + "; " + limit.description};
  }
  message += ": it is larger than " + std::to_string(limit.bytes - arrays) + " bytes";
  if (arrays > 0) {
    message += ", which is what is left beside the " + std::to_string(arrays) +
               " bytes of arrays that its header calls for";
  }
  return Failure{Failure::Kind::memory, message + "; " + limit.description};
}

// How unpacking one stream or member went.
struct Extraction {
  std::int64_t bytes = 0;          // text written
  bool coordinate = false;         // its first line is a coordinate banner
  std::optional<Failure> failure;  // why it stopped
};

// What is done with a stream or member's data.
enum class Take {
  look,             // its first block only, for its banner
  keep,             // all of it, into the memory file
  keep_coordinate,  // all of it when its first line is a coordinate banner
};

// Reports to `progress` (when given) the bytes of the file consumed so far.
struct UnpackProgress {
  ReadProgress* progress = nullptr;        // the read's progress line, or null
  const std::int64_t* consumed = nullptr;  // bytes of the file read by the chain
  std::int64_t reported = 0;               // bytes reported so far
  void update() {
    if (progress == nullptr) return;
    progress->add(*consumed - reported);
    reported = *consumed;
  }
};

// Copies the data of the chain's top layer (a raw stream or the current tar
// member) into `into` as `take` says. The text is held against `limit`,
// less (once it is large) the arrays that its header calls for, and stopped
// as soon as it would pass it.
Extraction extract(UnpackLayer& top, const std::string& name, int into, Take take,
                   const MemoryLimit& limit, UnpackProgress& progress) {
  Extraction done;
  std::uint64_t arrays = 0;
  for (bool first = true;; first = false) {
    const char* data = nullptr;
    const la_ssize_t got = read_layer(top, &data);
    if (got < 0) {
      done.failure = file_failure(name, 0, top.error);
      return done;
    }
    if (got == 0) return done;
    progress.update();
    const auto size = static_cast<std::size_t>(got);
    if (first) {
      done.coordinate = holds_coordinate_banner(data, size);
      if (take == Take::look || (take == Take::keep_coordinate && !done.coordinate)) return done;
      arrays = declared_array_bytes(data, size);
    }
    done.bytes += got;
    const auto held = static_cast<std::uint64_t>(done.bytes);
    const std::uint64_t beside = held > text_before_arrays_count ? arrays : 0;
    if (held > limit.bytes || beside > limit.bytes - held) {
      done.failure = text_memory_failure(name, limit, beside);
      return done;
    }
    if (!write_all(into, data, size)) {
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

// What the file was, its layers named in the order they were applied:
// "gzip-compressed", "a tar archive, gzip-compressed", or for a gzip file
// compressed again with xz "gzip-compressed, then xz-compressed".
std::string packing_text(const UnpackChain& chain, bool tar) {
  std::string text = tar ? "a tar archive" : "";
  bool first = true;
  for (const std::string& name : compression_names(chain)) {
    text += (first ? (tar ? ", " : "") : ", then ") + name + "-compressed";
    first = false;
  }
  return text;
}

// Where the opening of the chain stopped: the library's status of the
// innermost layer, and the entry whose header it read.
struct OpenedLayers {
  int status = ARCHIVE_OK;         // of the open, then of the first header
  archive_entry* entry = nullptr;  // the first entry, when its header was read
};

// The chain down to the innermost stream: the file's own packing, then every
// gzip stream found inside a layer, undone in its turn.
Outcome<OpenedLayers> open_layers(UnpackChain& chain, const std::string& path, int fd,
                                  const char* packing) {
  add_file_layer(chain, fd);
  bool gzip = packing != nullptr && std::string(packing) == "gzip-compressed";
  for (;;) {
    if (gzip) add_gzip_layer(chain);
    OpenedLayers opened;
    opened.status = add_library_layer(chain);
    UnpackLayer& top = *chain.layers.back();
    if (compression_names(chain).size() > static_cast<std::size_t>(max_unpack_layers)) {
      return {opened, file_failure(path, 0,
                                   "compressed more than " + std::to_string(max_unpack_layers) +
                                       " times over")};
    }
    if (opened.status != ARCHIVE_OK) return {opened, std::nullopt};
    opened.status = archive_read_next_header(top.library, &opened.entry);
    // A raw stream that is a gzip stream is undone by one more layer.
    if (opened.status == ARCHIVE_OK && archive_format(top.library) == ARCHIVE_FORMAT_RAW) {
      const char* head = nullptr;
      const la_ssize_t got = peek_layer(top, 2, &head);
      if (got < 0) return {opened, file_failure(path, 0, top.error)};
      gzip = starts_gzip(head, static_cast<std::size_t>(got));
      if (gzip) continue;
    }
    return {opened, std::nullopt};
  }
}

// Reads the tar archive at the top of the chain, from the header `entry`
// that was read last, and keeps its member NAME.mtx (NAME being the
// archive's name without its extensions); without one, its one .mtx member
// that holds a coordinate matrix.
std::optional<Failure> unpack_member(const std::string& path, UnpackChain& chain,
                                     OpenedLayers opened, const MemoryLimit& limit,
                                     UnpackProgress& progress, UnpackedText& unpacked) {
  UnpackLayer& top = *chain.layers.back();
  const std::string wanted = archive_stem(path) + ".mtx";
  std::vector<std::string> named;        // regular members named `wanted`
  std::vector<std::string> coordinates;  // other .mtx members that hold a coordinate matrix
  std::vector<std::string> mtx_members;  // every regular .mtx member
  std::string link;                      // what a member named `wanted` that is no file is
  for (int status = opened.status; status != ARCHIVE_EOF;
       status = archive_read_next_header(top.library, &opened.entry)) {
    progress.update();  // counts the members passed over, too
    if (status < ARCHIVE_WARN) return file_failure(path, 0, library_reason(top.library));
    const std::string member = archive_entry_pathname(opened.entry);
    const std::string base = member.substr(member.find_last_of('/') + 1);
    const std::string not_file = link_text(opened.entry, member);
    const bool regular = not_file.empty();
    if (base == wanted && !regular) link = not_file;
    if (!regular || !base.ends_with(".mtx")) continue;
    mtx_members.push_back(member);
    Take take = Take::look;
    if (base == wanted) {
      named.push_back(member);
      if (named.size() > 1) continue;  // refused below
      take = Take::keep;
      unpacked.text = FileDescriptor{};  // a member named so wins over any other
    } else if (!named.empty()) {
      continue;
    } else if (coordinates.empty()) {
      take = Take::keep_coordinate;  // kept in case no member has the archive's name
    }
    const std::string name = path + "(" + member + ")";
    FileDescriptor text;
    if (take != Take::look) {
      if (auto failure = new_memory_file(path, text)) return failure;
    }
    Extraction done = extract(top, name, text.fd, take, limit, progress);
    if (done.failure) {
      unpacked.bytes = done.bytes;
      return std::move(done.failure);
    }
    if (take == Take::keep || (take == Take::keep_coordinate && done.coordinate)) {
      unpacked.text = std::move(text);
      unpacked.name = name;
      unpacked.member = member;
      unpacked.bytes = done.bytes;
    }
    if (base != wanted && done.coordinate) coordinates.push_back(member);
  }
  progress.update();
  if (named.size() > 1) {
    return file_failure(path, 0,
                        "the archive has " + std::to_string(named.size()) + " members named " +
                            printable_path(wanted) + ": " + member_list(named) +
                            "; unpack the one to read");
  }
  if (named.empty() && (coordinates.size() != 1 || !link.empty())) {
    return no_member_failure(path, wanted, coordinates, mtx_members, link);
  }
  return std::nullopt;
}

// Reads what is left of the stream below the archive reader, so that every
// gzip member in it is checked to its end, past the member that was read.
std::optional<Failure> drain_below(const std::string& path, UnpackChain& chain,
                                   UnpackProgress& progress) {
  UnpackLayer* below = chain.layers.back()->below;
  if (below == nullptr || below->below == nullptr) return std::nullopt;  // the file itself
  for (;;) {
    const char* data = nullptr;
    const la_ssize_t got = read_layer(*below, &data);
    if (got < 0) return file_failure(path, 0, below->error);
    progress.update();
    if (got == 0) return std::nullopt;
  }
}

}  // namespace

Outcome<UnpackedText> unpack_matrix(const std::string& path, int fd, const FileStamp& stamp,
                                    const char* packing, ReadProgress* read_progress) {
  Outcome<UnpackedText> outcome;
  UnpackedText& unpacked = outcome.value;
  unpacked.packed_bytes = stamp.bytes;
  unpacked.name = path;
  // What the machine can give the text, taken before any of it is held.
  const MemoryLimit limit = unpacked_text_limit();
  if (read_progress != nullptr) read_progress->expect(stamp.bytes);
  UnpackChain chain;
  const Outcome<OpenedLayers> opened = open_layers(chain, path, fd, packing);
  UnpackProgress progress{read_progress, &chain.layers.front()->offset, 0};
  progress.update();
  if (opened.failure) {
    outcome.failure = opened.failure;
    return outcome;
  }
  UnpackLayer& top = *chain.layers.back();
  const int status = opened.value.status;
  // Data that ended early or is corrupt below the top layer may look to its
  // library like no format at all: the reason below is the one to give.
  const std::string below = failure_below(chain);
  if (status < ARCHIVE_WARN && !below.empty()) {
    outcome.failure = file_failure(path, 0, below);
    return outcome;
  }
  // Every stream with text in it is taken as raw text, so a stream that no
  // format recognises (the library's error number for that is EILSEQ) is one
  // without any: its text is empty, and the reader refuses it as it refuses
  // an empty file.
  if (status != ARCHIVE_OK && status != ARCHIVE_EOF && archive_errno(top.library) == EILSEQ) {
    unpacked.format = packing_text(chain, false);
    outcome.failure = new_memory_file(path, unpacked.text);
    return outcome;
  }
  if (status < ARCHIVE_WARN) {
    outcome.failure = file_failure(path, 0, library_reason(top.library));
    return outcome;
  }
  const bool tar = status == ARCHIVE_EOF || archive_format(top.library) != ARCHIVE_FORMAT_RAW;
  unpacked.format = packing_text(chain, tar);
  if (tar) {
    outcome.failure = unpack_member(path, chain, opened.value, limit, progress, unpacked);
    if (!outcome.failure) outcome.failure = drain_below(path, chain, progress);
  } else if (!(outcome.failure = new_memory_file(path, unpacked.text))) {
    Extraction done = extract(top, path, unpacked.text.fd, Take::keep, limit, progress);
    unpacked.bytes = done.bytes;
    outcome.failure = std::move(done.failure);
    // Text that still starts as a compressed stream is one that its
    // decompressor did not recognise, for it ends too early or is corrupt.
    const char* inner = outcome.failure ? nullptr : packed_name(unpacked.text.fd);
    if (inner != nullptr) {
      outcome.failure = file_failure(path, 0,
                                     std::string("holds ") + inner +
                                         " data that cannot be read: it ends early or "
                                         "is corrupt");
    }
  }
  if (outcome.failure) return outcome;
  // The text means nothing if the file changed while it was unpacked.
  if (auto changed = check_unchanged(fd, path, stamp)) outcome.failure = changed;
  return outcome;
}

}  // namespace spmv
