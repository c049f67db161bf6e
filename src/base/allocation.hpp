// Allocation of the large arrays of a run: uninitialised, huge pages where
// they pay, and nullptr instead of an exception when memory runs out.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

#include "base/run_types.hpp"

namespace spmv {

// Asks the kernel to back a large block with huge pages, which makes its
// first touch many times cheaper; small blocks are left alone.
void advise_huge_pages(void* block, std::size_t bytes);

// Allocates count elements left uninitialised; nullptr when memory runs out.
template <typename T>
std::unique_ptr<T[]> try_allocate(std::size_t count) {
  try {
    auto block = std::make_unique_for_overwrite<T[]>(count);
    advise_huge_pages(block.get(), count * sizeof(T));
    return block;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// Allocates the arrays of `slots` slots of m (rows, columns, and values
// unless m.unit_values), left uninitialised; false, with none of them held,
// when memory runs out.
bool allocate_slots(CooMatrix& m, std::int64_t slots);

}  // namespace spmv
