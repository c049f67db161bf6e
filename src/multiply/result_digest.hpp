// A fingerprint of a result vector's bits, so that two runs can be shown to
// give identical results without dumping them.
#pragma once

#include <cstddef>
#include <cstdint>
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

// The digest of the result's elements, as "fnv1a64:" and 16 hexadecimal digits.
std::string result_digest(const ResultVector& result);

// True when a and b hold the same 80-bit value, bit for bit (+0 and -0 differ,
// a NaN equals itself).
bool same_bits(const Extended& a, const Extended& b);

}  // namespace spmv
