// FNV-1a over the value bytes of the result.
#include "multiply/result_digest.hpp"

#include <cstdio>
#include <cstring>

namespace spmv {

std::string result_digest(const ResultVector& result) {
  constexpr std::uint64_t offset_basis = 14695981039346656037ULL;
  constexpr std::uint64_t prime = 1099511628211ULL;
  std::uint64_t hash = offset_basis;
  for (std::int32_t i = 0; i < result.n; ++i) {
    unsigned char bytes[sizeof(Extended)];
    std::memcpy(bytes, &result.element[i], sizeof bytes);
    for (std::size_t b = 0; b < extended_value_bytes; ++b) {
      hash = (hash ^ bytes[b]) * prime;
    }
  }
  char text[32];
  std::snprintf(text, sizeof text, "fnv1a64:%016llx", static_cast<unsigned long long>(hash));
  return text;
}

bool same_bits(const Extended& a, const Extended& b) {
  return std::memcmp(&a, &b, extended_value_bytes) == 0;
}

}  // namespace spmv
