// The parts of field conversion that are not on the fast path.
#include "read/text_fields.hpp"

#include <cfenv>
#include <cstdlib>

namespace spmv {

bool fast_values_exact() {
  std::uint16_t control = 0;
  __asm__ volatile("fnstcw %0" : "=m"(control));
  const bool extended_precision = ((control >> 8) & 3) == 3;
  return extended_precision && std::fegetround() == FE_TONEAREST;
}

bool convert_value_slowly(const char*& p, Extended& out) {
  char* end = nullptr;
  out = std::strtold(p, &end);
  if (end == p || !ends_field(*end)) return false;
  p = end;
  return true;
}

}  // namespace spmv
