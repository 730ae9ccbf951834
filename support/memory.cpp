#include "support/memory.h"

#include "support/exact_arithmetic.h"

#include <cstdlib>

#if defined(_WIN32)
#include <malloc.h>
#endif

namespace kalvento {

namespace {
long allocations_left = -1; // negative: no limit
}

void* block_alloc(std::size_t bytes) noexcept
{
    if (allocations_left == 0)
        return nullptr;
    if (allocations_left > 0)
        --allocations_left;
    // aligned_alloc wants a multiple of the alignment, and at least one byte for a distinct block.
    std::size_t rounded = bytes == 0 ? BLOCK_ALIGNMENT : bytes;
    if (rounded % BLOCK_ALIGNMENT != 0) {
        if (rounded > SIZE_MAX - BLOCK_ALIGNMENT)
            return nullptr;
        rounded += BLOCK_ALIGNMENT - rounded % BLOCK_ALIGNMENT;
    }
#if defined(_WIN32)
    // The Windows C library has no aligned_alloc: its aligned blocks need a release of their own.
    return _aligned_malloc(rounded, BLOCK_ALIGNMENT);
#else
    return std::aligned_alloc(BLOCK_ALIGNMENT, rounded);
#endif
}

void block_free(void* block) noexcept
{
#if defined(_WIN32)
    _aligned_free(block);
#else
    std::free(block);
#endif
}

void block_alloc_fail_after(long successes) noexcept
{
    allocations_left = successes;
}

} // namespace kalvento
