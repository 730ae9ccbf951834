// The vector vocabulary of the fast kernels, for the instruction set this translation unit is
// compiled for. The fast kernels are written once against it and compiled once per code path
// (code_path.h); nothing outside kernels/simd/ and the dispatch asks which instruction set it has.
//
// In namespace kalvento::<path>::simd (a namespace per path, so that the same inline function
// compiled for two instruction sets never meets at link time):
//   vec, LANES            the vector of doubles of this path and its lane count
//   short_vec, short_counts  the widest vector of at most 256 bits (AVX-512: __m256d), for work
//                         that gains nothing from more width
//   lanes, extent, counts  a set of lanes (what a comparison yields), the first few lanes (for
//                         the partial forms), one 64-bit counter per lane
//   load(p) load_aligned(p) store(p, v) store_aligned(p, v)
//   first_lanes(count) load_first(p, e) store_first(p, v, e)   only the lanes of e touch memory
//   broadcast(x) zero() lane_numbers()                           lane_numbers: 0.0, 1.0, 2.0, ...
//   add sub mul (a, b)        one rounding each, never fused
//   add_except_first(z, a, b) sub_except_first(z, a, b)          lane 0 from z, the others a +/- b
//   select(s, if_set, otherwise) greater_than less_equal equal (a, b) -> lanes
//   magnitude_of(a) greatest_lane(a) least_lane(a)
//   interleave_low(a, b) interleave_high(a, b)   unpack within each 128-bit half:
//                                                (a0, b0, a2, b2, ...), (a1, b1, a3, b3, ...)
//   transpose(vec (&v)[LANES])                   v[i][l] becomes v[l][i]
//   load_transposed<C>(out, row) store_transposed<C>(row, in)   out[u] lane k = row(k)[u], u < C
//                             (C = min(LANES, 4)): chunks of the lanes' rows, transposed
//   lanes_from_bits(bits)     the lanes whose bits are set
//   add_where(s, a, b, otherwise) broadcast_where(s, p, otherwise)   a + b, *p in the lanes of s
//   shift_up(v, p)            *p in lane 0, lane k - 1 of v in lane k
//   REGISTERS                 vector registers, for the register tiles
//   NATIVE_MASKS              whether add_where costs no more than add (a mask register)
//   from_int32(p)             LANES 32-bit integers converted to doubles
//   load_indexed<V>(x, c) from_doubles<V>(x)   lane i = x[c[i]], lane i = x[i] from registers
//   add_in_order(sum, v)      sum + lane 0 + lane 1 + ..., one rounding each, in order
//   int32s, INT32_LANES, load_int32s(p) broadcast_int32(x) add_int32(a, b) all_equal_int32(a, b)
//                             32-bit integers as wide as the registers (sums modulo 2^32)
//   count_lanes(counts, s) total(counts)     counts start at zero<counts>()
//   group, load_group(p) store_group(p, g) lag_window(older, newer) sub_wrap31(a, b)
//                             five 32-bit generator values (Monte Carlo)
//   end_of_kernel()           called as a fast kernel returns (clears the upper register halves)
//   static_for<N>(f)          f(integral_constant<int, 0>) .. f(<N - 1>), inlined
// The operations are overloaded on the vector type, and every path also has them on plain
// doubles; the ones that make a vector take the type as a template argument for other widths
// (load<__m256d>(p) on AVX-512). KALVENTO_INLINE, KALVENTO_INLINE_LAMBDA and KALVENTO_UNROLL(n)
// are the inlining and unrolling macros of all fast kernels.
#pragma once

#if defined(__AVX512F__)
#include "kernels/simd/avx512.h"
#define KALVENTO_SIMD_PATH avx512_path
#elif defined(__AVX2__)
#include "kernels/simd/avx2.h"
#define KALVENTO_SIMD_PATH avx2_path
#elif defined(__SSE2__)
#include "kernels/simd/sse2.h"
#define KALVENTO_SIMD_PATH sse2_path
#elif defined(__aarch64__) && defined(__ARM_NEON)
#include "kernels/simd/neon.h"
#define KALVENTO_SIMD_PATH neon_path
#else
#include "kernels/simd/scalar.h"
#define KALVENTO_SIMD_PATH scalar_path
#endif

namespace kalvento::KALVENTO_FAST_NS::simd {

using path = KALVENTO_SIMD_PATH;
#undef KALVENTO_SIMD_PATH

using vec = path::vec;
constexpr int LANES = path::LANES;
constexpr int REGISTERS = path::REGISTERS;
constexpr bool NATIVE_MASKS = path::NATIVE_MASKS;
using lanes = path::lanes;
using extent = path::extent;
using counts = path::counts;
using int32s = path::int32s;
constexpr int INT32_LANES = path::INT32_LANES;
// The widest vector of at most 256 bits, and its counters.
using short_vec = path::short_vec;
using short_counts = path::short_counts;
using group = path::group;

// clang-format off
KALVENTO_INLINE vec load(const double* p) { return load<vec>(p); }
KALVENTO_INLINE vec load_aligned(const double* p) { return load_aligned<vec>(p); }
KALVENTO_INLINE vec broadcast(double x) { return broadcast<vec>(x); }
KALVENTO_INLINE vec zero() { return zero<vec>(); }
KALVENTO_INLINE vec lane_numbers() { return lane_numbers<vec>(); }
KALVENTO_INLINE extent first_lanes(int count) { return path::first_lanes(count); }
KALVENTO_INLINE lanes lanes_from_bits(unsigned bits) { return path::lanes_from_bits(bits); }
KALVENTO_INLINE vec load_first(const double* p, extent e) { return path::load_first(p, e); }
KALVENTO_INLINE vec from_int32(const std::int32_t* p) { return from_int32<vec>(p); }
KALVENTO_INLINE group load_group(const std::int32_t* p) { return load_group<group>(p); }
KALVENTO_INLINE int32s load_int32s(const std::int32_t* p) { return path::load_int32s(p); }
KALVENTO_INLINE int32s broadcast_int32(std::int32_t x) { return path::broadcast_int32(x); }
KALVENTO_INLINE void end_of_kernel() { path::end_of_kernel(); }
// clang-format on

} // namespace kalvento::KALVENTO_FAST_NS::simd
