// The archive member chooser's helpers: the name the archive calls for, the
// banner that makes a member a matrix, and the refusals.
#include "unpack/archive_member.hpp"

#include <cstring>

#include "read/matrix_form.hpp"
#include "read/messages.hpp"

namespace spmv {

namespace {

// Extensions of compressed files and archives, dropped from an archive's
// name to give the name of the member it is read through.
constexpr const char* packed_extensions[] = {"tar", "gz",  "tgz", "bz2",  "tbz", "tbz2",
                                             "xz",  "txz", "zst", "tzst", "zstd"};

// Most member names a refusal lists; the rest are counted.
constexpr std::size_t listed_members = 10;

}  // namespace

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

// True when `text` starts with a banner that the banner parser takes for a
// coordinate matrix, whatever its field and symmetry: a member of a field
// the reader cannot read is chosen, and then refused for its field.
bool holds_coordinate_banner(const char* text, std::size_t bytes) {
  const auto* end = static_cast<const char*>(std::memchr(text, '\n', bytes));
  const std::string line = std::string(text, end != nullptr ? end : text + bytes) + '\n';
  return is_banner(line.c_str()) && parse_banner(line.c_str()).coordinate_matrix;
}

// "a, b, c", or the first few names and how many more there are.
std::string member_list(const std::vector<std::string>& members) {
  std::string list;
  for (std::size_t i = 0; i < members.size() && i < listed_members; ++i) {
    list += (i > 0 ? ", " : "") + printable_path(members[i]);
  }
  if (members.size() > listed_members) {
    list += " and " + std::to_string(members.size() - listed_members) + " more";
  }
  return list;
}

// Why an archive without the member `wanted` is refused: its member of that
// name is a link, which is not followed (reading another member instead
// would measure another matrix than the archive names); or it has no .mtx
// member, none that holds a coordinate matrix, or more than one that does.
Failure no_member_failure(const std::string& path, const std::string& wanted,
                          const std::vector<std::string>& coordinate_members,
                          const std::vector<std::string>& mtx_members, const std::string& link) {
  if (!link.empty()) {
    return file_failure(
        path, 0,
        "the archive's member " + link + ", which is not followed; unpack the archive to read it");
  }
  const std::string list =
      member_list(coordinate_members.empty() ? mtx_members : coordinate_members);
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

// What a member named like the matrix but not a regular file is, for the
// refusal: "NAME is a symbolic link to TARGET"; empty for a regular file.
std::string link_text(archive_entry* entry, const std::string& member) {
  if (const char* target = archive_entry_hardlink(entry)) {
    return printable_path(member) + " is a hard link to " + printable_path(target);
  }
  if (archive_entry_filetype(entry) == AE_IFLNK) {
    const char* target = archive_entry_symlink(entry);
    return printable_path(member) + " is a symbolic link to " +
           printable_path(target != nullptr ? target : "");
  }
  if (archive_entry_filetype(entry) != AE_IFREG) return printable_path(member) + " is not a file";
  return "";
}

}  // namespace spmv
