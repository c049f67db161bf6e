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

}  // namespace spmv
