#include "lib/aligned_memory.hpp"

#include <cstdlib>

#if defined(_WIN32)
#include <malloc.h>
#elif defined(__linux__)
#include <sys/mman.h>
#endif

namespace zarn {

void* allocate_aligned(std::size_t bytes, std::size_t alignment) noexcept {
#if defined(_WIN32)
    return _aligned_malloc(bytes, alignment);
#elif defined(__unix__) || defined(__APPLE__)
    void* memory = nullptr;
    return posix_memalign(&memory, alignment, bytes) == 0 ? memory : nullptr;
#else
    // aligned_alloc wants a size that is a multiple of the alignment.
    const std::size_t rounded = (bytes + alignment - 1) / alignment * alignment;
    return rounded < bytes ? nullptr : std::aligned_alloc(alignment, rounded);
#endif
}

void free_aligned(void* memory) noexcept {
#if defined(_WIN32)
    _aligned_free(memory);
#else
    std::free(memory);
#endif
}

void advise_huge_pages([[maybe_unused]] void* memory, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    (void)madvise(memory, bytes, MADV_HUGEPAGE);
#endif
}

}  // namespace zarn
