// A fingerprint of a result vector's bits, so that two runs can be shown to
// give identical results without dumping them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/run_types.hpp"

namespace spmv {

// Bytes of an Extended that hold its value: the 64-bit significand and the
// sign and exponent; the rest of its 16 bytes is padding.
inline constexpr std::size_t extended_value_bytes = 10;

// How the digest is made, for the report.
inline constexpr const char* digest_method =
    "64-bit FNV-1a over the 10 value bytes (significand, then sign and exponent, little-endian) "
    "of each result element, in order";

// The running digest before any element: FNV-1a's offset basis.
inline constexpr std::uint64_t digest_start = 14695981039346656037ULL;

// Folds one element's value bytes into a running digest, so that a vector
// known one element at a time (spmv-gen's expected products) gets the digest
// that result_digest gives the whole vector.
inline std::uint64_t digest_add(std::uint64_t hash, const Extended& element) {
  constexpr std::uint64_t prime = 1099511628211ULL;
  unsigned char bytes[sizeof(Extended)];
  std::memcpy(bytes, &element, sizeof bytes);
  for (std::size_t b = 0; b < extended_value_bytes; ++b) hash = (hash ^ bytes[b]) * prime;
  return hash;
}

// A running digest as the report writes it: "fnv1a64:" and 16 hexadecimal digits.
inline std::string digest_text(std::uint64_t hash) {
  char text[32];
  std::snprintf(text, sizeof text, "fnv1a64:%016llx", static_cast<unsigned long long>(hash));
  return text;
}

// The digest of the result's elements, as "fnv1a64:" and 16 hexadecimal digits.
std::string result_digest(const ResultVector& result);

// True when a and b hold the same 80-bit value, bit for bit (+0 and -0 differ,
// a NaN equals itself).
bool same_bits(const Extended& a, const Extended& b);

}  // namespace spmv
