// Heap blocks for kernel data.
//
// Every vector, matrix row and index array of the kernels comes from here: blocks start on a
// cache line, so that rows and vectors line up with the vector units, and a block that cannot be
// allocated comes back as null instead of throwing, so that each measurement can say which of its
// arrays did not fit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kalvento {

inline constexpr std::size_t BLOCK_ALIGNMENT = 64;

// A block of `bytes` bytes aligned to BLOCK_ALIGNMENT, or null when memory runs out. A request
// for zero bytes still yields a distinct block.
void* block_alloc(std::size_t bytes) noexcept;
void block_free(void* block) noexcept;

struct block_deleter {
    void operator()(void* block) const noexcept { block_free(block); }
};

template <class T>
using block = std::unique_ptr<T[], block_deleter>;

// Room for `count` values of T (not initialised), or null when memory runs out or the byte size
// would not fit a size_t.
template <class T>
block<T> block_of(std::size_t count) noexcept
{
    if (count > SIZE_MAX / sizeof(T))
        return nullptr;
    return block<T>(static_cast<T*>(block_alloc(count * sizeof(T))));
}

// Test support: after `successes` more allocations every block_alloc fails, until the limit is
// lifted with a negative count. Lets tests reach the out-of-memory paths deterministically.
void block_alloc_fail_after(long successes) noexcept;

} // namespace kalvento
