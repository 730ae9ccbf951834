// Support for holding the fast kernels against the plain ones, bit for bit, on every code path
// the CPU has.
#pragma once

#include "kernels/code_path.h"

#include <bit>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <span>

namespace kalvento::testing {

// Calls check(kernels) with the fast set of every code path this CPU supports.
template <class Check>
void for_each_code_path(Check&& check)
{
    for (const code_path* path : supported_code_paths()) {
        SCOPED_TRACE(path->name);
        check(path->kernels());
    }
}

// The NaN that this processor's invalid operations produce (inf - inf): negative on x86-64,
// positive on 64-bit ARM. Computed at run time, as a compiler may fold it to another; a test that
// needs NaNs of one bits, whichever operand an operation returns, uses this one.
inline double default_nan()
{
    volatile double infinity = std::numeric_limits<double>::infinity();
    return infinity - infinity;
}

// Index of the first element whose bits differ, or -1.
inline std::int64_t first_difference(std::span<const double> a, std::span<const double> b)
{
    if (a.size() != b.size())
        return 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same_bits(a[i], b[i]))
            return static_cast<std::int64_t>(i);
    return -1;
}

} // namespace kalvento::testing
