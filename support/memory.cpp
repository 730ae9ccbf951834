#include "support/memory.h"

#include "support/exact_arithmetic.h"
#include "support/platform.h"

#include <cstdlib>

#if defined(_WIN32)
#include <malloc.h>
#endif

namespace kalvento {

namespace {
long allocations_left = -1; // negative: no limit

// Blocks from this size on ask for huge pages: below it the TLB reaches them anyway.
constexpr std::size_t HUGE_BLOCK_BYTES = std::size_t{4} << 20;
} // namespace

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
    if (rounded < HUGE_BLOCK_BYTES)
        return std::aligned_alloc(BLOCK_ALIGNMENT, rounded);
    // Large blocks start on a huge page, so that all of them but their last part can have huge
    // pages.
    if (rounded > SIZE_MAX - HUGE_PAGE_BYTES)
        return nullptr;
    std::size_t whole = (rounded + HUGE_PAGE_BYTES - 1) / HUGE_PAGE_BYTES * HUGE_PAGE_BYTES;
    void* block = std::aligned_alloc(HUGE_PAGE_BYTES, whole);
    if (block != nullptr)
        advise_huge_pages(block, bytes);
    return block;
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
