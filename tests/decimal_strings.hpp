// Random decimal spellings for checking value conversion against strtold.
#pragma once

#include <cstdint>
#include <random>
#include <string>

// One random decimal: 1 to 40 significant digits, exponents -60 to 60, with
// and without point, sign and exponent, weighted towards the edges of the
// fast path (19 and 20 digits, exponents +-27 and +-28, values near 2^64);
// one in 64 is a long spelling (thousands of zeros, exponents up to 10^17).
std::string random_decimal(std::mt19937_64& random);

// Converts `count` random decimals with convert_value and with strtold and
// gives how many differ in any bit; the first difference goes to `first`.
std::int64_t count_conversion_mismatches(std::uint64_t seed, std::int64_t count,
                                         std::string& first);
