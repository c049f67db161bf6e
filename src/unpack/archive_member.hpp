// Choosing the member of an archive to read: the one named after the
// archive, else the one .mtx member that holds a coordinate matrix; and the
// refusals when there is no such member or more than one.
#pragma once

#include <archive_entry.h>

#include <cstddef>
#include <string>
#include <vector>

#include "base/failure.hpp"

namespace spmv {

// The archive's file name without its directory and packed extensions: the
// name, with ".mtx", of the member it is read through.
std::string archive_stem(const std::string& path);

// True when `text` (the first bytes of a member) starts with a banner that
// the banner parser takes for a coordinate matrix.
bool holds_coordinate_banner(const char* text, std::size_t bytes);

// "a, b, c", or the first few names and how many more there are.
std::string member_list(const std::vector<std::string>& members);

// Why an archive without the member `wanted` is refused.
Failure no_member_failure(const std::string& path, const std::string& wanted,
                          const std::vector<std::string>& coordinate_members,
                          const std::vector<std::string>& mtx_members, const std::string& link);

// What a member named like the matrix but not a regular file is, for the
// refusal; empty for a regular file.
std::string link_text(archive_entry* entry, const std::string& member);

}  // namespace spmv
