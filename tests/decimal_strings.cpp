#include "decimal_strings.hpp"

#include <cstdlib>
#include <cstring>

#include "read/text_fields.hpp"

using namespace spmv;

namespace {

std::string random_digits(std::mt19937_64& random, int count) {
  std::string digits;
  for (int i = 0; i < count; ++i) digits += static_cast<char>('0' + random() % 10);
  return digits;
}

}  // namespace

// A long spelling: a run of zeros before or after the significant digits,
// with an exponent that nearly cancels it, or one far beyond any format, of
// either sign, sometimes written with many leading zeros.
std::string long_decimal(std::mt19937_64& random) {
  const auto zeros = static_cast<std::int64_t>(1 + random() % 3000);
  std::string digits = random_digits(random, 1 + static_cast<int>(random() % 25));
  std::string text = random() % 2 ? "-" : "";
  std::int64_t exponent = 0;
  if (random() % 2) {
    text.append("0.").append(static_cast<std::size_t>(zeros), '0').append(digits);
    exponent = zeros;
  } else {
    text.append(digits).append(static_cast<std::size_t>(zeros), '0');
    exponent = -zeros;
  }
  switch (random() % 4) {
    case 0:
      exponent += static_cast<std::int64_t>(random() % 61) - 30;
      break;
    case 1:
      exponent = -exponent + static_cast<std::int64_t>(random() % 61) - 30;
      break;
    case 2:
      exponent = static_cast<std::int64_t>(random() % 2000001) - 1000000;
      break;
    default:
      exponent = static_cast<std::int64_t>(random() % 100000000000ULL) * 1000003;
      break;
  }
  text.append(random() % 2 ? "e" : "E");
  if (exponent < 0) text.append("-");
  if (random() % 4 == 0) text.append(random() % 20, '0');
  return text.append(std::to_string(exponent < 0 ? -exponent : exponent));
}

std::string random_decimal(std::mt19937_64& random) {
  if (random() % 64 == 0) return long_decimal(random);
  static const int edge_digits[] = {1, 17, 18, 19, 19, 20, 20, 21, 40};
  static const int edge_exponents[] = {-28, -27, -26, 26, 27, 28, 0, -60, 60};
  const int digits = random() % 2 ? 1 + static_cast<int>(random() % 40) : edge_digits[random() % 9];
  std::string text;
  const unsigned sign = random() % 3;
  if (sign == 1) text += '-';
  if (sign == 2) text += '+';
  if (random() % 8 == 0) {
    // Near 2^64 = 18446744073709551616, where a 64-bit significand runs out.
    text += std::to_string(18446744073709551615ULL - random() % 2048);
    if (random() % 2) text.insert(text.size() - random() % 20, 1, '.');
    return text;
  }
  std::string body = random_digits(random, digits);
  if (random() % 4 == 0) body.insert(0, random() % 5, '0');  // leading zeros
  if (random() % 4 == 0) {
    text += body;  // no point
  } else {
    const std::size_t point = random() % (body.size() + 1);
    text.append(body, 0, point).append(".").append(body, point);
  }
  if (random() % 3 != 0) {
    const int exponent =
        random() % 2 ? static_cast<int>(random() % 121) - 60 : edge_exponents[random() % 9];
    text.append(random() % 2 ? "e" : "E").append(std::to_string(exponent));
  }
  return text;
}

std::int64_t count_conversion_mismatches(std::uint64_t seed, std::int64_t count,
                                         std::string& first) {
  std::mt19937_64 random(seed);
  std::int64_t mismatches = 0;
  const bool fast = fast_values_exact();
  for (std::int64_t i = 0; i < count; ++i) {
    std::string text = random_decimal(random);
    text.push_back('\n');
    text.append(field_padding_bytes, '\0');
    const char* p = text.c_str();
    Extended fast_value = 0;
    const bool converted = convert_value(p, fast_value, fast);
    const Extended expected = std::strtold(text.c_str(), nullptr);
    if (!converted || std::memcmp(&fast_value, &expected, 10) != 0 || *p != '\n') {
      if (mismatches++ == 0) first = text;
    }
  }
  return mismatches;
}
