// The long differential check of value conversion against strtold:
//   spmv_value_differential [COUNT [SEED]]   (default 10 million, seed 1)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "decimal_strings.hpp"

int main(int argc, char** argv) {
  const long long count = argc > 1 ? std::atoll(argv[1]) : 10000000;
  const unsigned long long seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
  std::string first;
  const long long mismatches = count_conversion_mismatches(seed, count, first);
  std::printf("%lld decimals, %lld differ from strtold\n", count, mismatches);
  if (mismatches > 0) std::printf("first: %s", first.c_str());
  return mismatches == 0 ? 0 : 1;
}
