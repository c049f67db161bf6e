// Huge-page advice for the large arrays of a run.
#include "base/allocation.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace spmv {

void advise_huge_pages(void* block, std::size_t bytes) {
  constexpr std::uintptr_t huge_page = std::uintptr_t{2} << 20;
  if (bytes < huge_page) return;  // from 2 MiB: the input vector of a million rows too
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = (start + huge_page - 1) & ~(huge_page - 1);
  const std::uintptr_t last = (start + bytes) & ~(huge_page - 1);
  if (last > first) {
    ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);  // a hint only
  }
}

bool allocate_slots(CooMatrix& m, std::int64_t slots) {
  const auto count = static_cast<std::size_t>(slots);
  m.row_index = try_allocate<std::int32_t>(count);
  m.col_index = try_allocate<std::int32_t>(count);
  if (!m.unit_values) m.value = try_allocate<Extended>(count);
  if (m.row_index && m.col_index && (m.value || m.unit_values)) return true;
  m.row_index.reset();
  m.col_index.reset();
  m.value.reset();
  return false;
}

}  // namespace spmv
