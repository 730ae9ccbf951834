// What every instruction set's vocabulary shares: the inlining and unrolling macros, compile-time
// loops, and the declarations of the operations that make a vector from memory or from scalars,
// which take the vector type as a template argument (each set's header specialises them). The
// rest of the vocabulary is overloaded on the vector type, and the types and operations that
// belong to one path's vector alone are members of the path's record (sse2_path, ...).
#pragma once

#include <cstdint>
#include <utility>

// The hot loops are unrolled at compile time and must be inlined whole: vectors stay in
// registers only if nothing of a loop body is called out of line.
#define KALVENTO_INLINE inline __attribute__((always_inline))
// For lambdas, which take no `inline`.
#define KALVENTO_INLINE_LAMBDA __attribute__((always_inline))
#define KALVENTO_PRAGMA(text) _Pragma(#text)
// Unrolls the loop that follows `count` times.
#define KALVENTO_UNROLL(count) KALVENTO_PRAGMA(GCC unroll count)

namespace kalvento::KALVENTO_FAST_NS::simd {

// f(integral_constant<int, 0>) .. f(integral_constant<int, COUNT - 1>), in order, inlined.
template <int COUNT, class F>
KALVENTO_INLINE void static_for(F&& f)
{
    [&]<int... I>(std::integer_sequence<int, I...>) KALVENTO_INLINE_LAMBDA
    {
        (f(std::integral_constant<int, I>{}), ...);
    }
    (std::make_integer_sequence<int, COUNT>{});
}

template <class V>
V load(const double* p);
// p must be aligned to the vector's size.
template <class V>
V load_aligned(const double* p);
template <class V>
V broadcast(double x);
// A vector of zeros; also of the integer counters.
template <class V>
V zero();
// The lanes' numbers 0, 1, 2, ... as doubles.
template <class V>
V lane_numbers();
// LANES 32-bit integers, each converted to double.
template <class V>
V from_int32(const std::int32_t* p);

// Lane i = x[c[i]], one scalar load each.
template <class V>
V load_indexed(const double* x, const std::int32_t* c);
// Lane i = x[i], built lane by lane from values in registers (no store and reload).
template <class V>
V from_doubles(const double* x);

// Groups of five 32-bit integers of the lagged generator (see load_group).
template <class G>
G load_group(const std::int32_t* p);

} // namespace kalvento::KALVENTO_FAST_NS::simd
