// FNV-1a over the value bytes of the result.
#include "multiply/result_digest.hpp"

namespace spmv {

std::string result_digest(const ResultVector& result) {
  std::uint64_t hash = digest_start;
  for (std::int32_t i = 0; i < result.n; ++i) hash = digest_add(hash, result.element[i]);
  return digest_text(hash);
}

bool same_bits(const Extended& a, const Extended& b) {
  return std::memcmp(&a, &b, extended_value_bytes) == 0;
}

}  // namespace spmv
