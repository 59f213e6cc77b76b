#pragma once

#include <cstddef>

namespace zarn {

// Memory of `bytes` bytes at an address that is a multiple of `alignment`
// (a power of two, at least the size of a pointer), or nullptr. Each
// platform has its own call for this; only free_aligned releases it.
void* allocate_aligned(std::size_t bytes, std::size_t alignment) noexcept;
void free_aligned(void* memory) noexcept;

// Asks the system to back the range with huge pages, where it has them.
// Advice only: without it the memory works all the same.
void advise_huge_pages(void* memory, std::size_t bytes) noexcept;

}  // namespace zarn
