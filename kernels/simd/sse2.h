// The vocabulary on SSE2, the x86-64 baseline: two doubles per vector, lane sets as vectors of
// all-ones and all-zeros lanes, and no masked loads or stores (the partial forms take a count).
#pragma once

#include "kernels/simd/scalar.h"

#include <cstdint>
#include <emmintrin.h>

namespace kalvento::KALVENTO_FAST_NS::simd {

// clang-format off
template <> KALVENTO_INLINE __m128d load<__m128d>(const double* p) { return _mm_loadu_pd(p); }
template <> KALVENTO_INLINE __m128d load_aligned<__m128d>(const double* p) { return _mm_load_pd(p); }
template <> KALVENTO_INLINE __m128d broadcast<__m128d>(double x) { return _mm_set1_pd(x); }
template <> KALVENTO_INLINE __m128d zero<__m128d>() { return _mm_setzero_pd(); }
template <> KALVENTO_INLINE __m128i zero<__m128i>() { return _mm_setzero_si128(); }
template <> KALVENTO_INLINE __m128d lane_numbers<__m128d>() { return _mm_setr_pd(0, 1); }
// clang-format on
template <>
KALVENTO_INLINE __m128d from_int32<__m128d>(const std::int32_t* p)
{
    return _mm_cvtepi32_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

KALVENTO_INLINE void store(double* p, __m128d v)
{
    _mm_storeu_pd(p, v);
}
KALVENTO_INLINE void store_aligned(double* p, __m128d v)
{
    _mm_store_pd(p, v);
}
KALVENTO_INLINE void store_first(double* p, __m128d v, int count)
{
    if (count == 1)
        _mm_store_sd(p, v);
    else
        _mm_storeu_pd(p, v);
}
KALVENTO_INLINE __m128d add(__m128d a, __m128d b)
{
    return _mm_add_pd(a, b);
}
KALVENTO_INLINE __m128d sub(__m128d a, __m128d b)
{
    return _mm_sub_pd(a, b);
}
KALVENTO_INLINE __m128d mul(__m128d a, __m128d b)
{
    return _mm_mul_pd(a, b);
}
KALVENTO_INLINE __m128d add_except_first(__m128d z, __m128d a, __m128d b)
{
    return _mm_move_sd(add(a, b), z);
}
KALVENTO_INLINE __m128d sub_except_first(__m128d z, __m128d a, __m128d b)
{
    return _mm_move_sd(sub(a, b), z);
}
KALVENTO_INLINE __m128d select(__m128d s, __m128d if_set, __m128d otherwise)
{
    return _mm_or_pd(_mm_and_pd(s, if_set), _mm_andnot_pd(s, otherwise));
}
KALVENTO_INLINE __m128d greater_than(__m128d a, __m128d b)
{
    return _mm_cmpgt_pd(a, b);
}
KALVENTO_INLINE __m128d less_equal(__m128d a, __m128d b)
{
    return _mm_cmple_pd(a, b);
}
KALVENTO_INLINE __m128d equal(__m128d a, __m128d b)
{
    return _mm_cmpeq_pd(a, b);
}
KALVENTO_INLINE __m128d magnitude_of(__m128d a)
{
    return _mm_andnot_pd(_mm_set1_pd(-0.0), a);
}
KALVENTO_INLINE double greatest_lane(__m128d a)
{
    return _mm_cvtsd_f64(_mm_max_sd(a, _mm_unpackhi_pd(a, a)));
}
KALVENTO_INLINE double least_lane(__m128d a)
{
    return _mm_cvtsd_f64(_mm_min_sd(a, _mm_unpackhi_pd(a, a)));
}
KALVENTO_INLINE __m128d interleave_low(__m128d a, __m128d b)
{
    return _mm_unpacklo_pd(a, b);
}
KALVENTO_INLINE __m128d interleave_high(__m128d a, __m128d b)
{
    return _mm_unpackhi_pd(a, b);
}
// v[i][l] becomes v[l][i].
KALVENTO_INLINE void transpose(__m128d (&v)[2])
{
    __m128d t = _mm_unpacklo_pd(v[0], v[1]);
    v[1] = _mm_unpackhi_pd(v[0], v[1]);
    v[0] = t;
}
KALVENTO_INLINE __m128i count_lanes(__m128i counts, __m128d s)
{
    return _mm_sub_epi64(counts, _mm_castpd_si128(s));
}
KALVENTO_INLINE std::int64_t total(__m128i counts)
{
    alignas(16) std::int64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), counts);
    return lanes[0] + lanes[1];
}

// A group of five generator values: lanes 0 to 3 in `low`, lane 4 in lane 0 of `high`.
struct sse2_group {
    __m128i low, high;
};

template <>
KALVENTO_INLINE sse2_group load_group<sse2_group>(const std::int32_t* p)
{
    return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), _mm_cvtsi32_si128(p[4])};
}
KALVENTO_INLINE void store_group(std::int32_t* p, sse2_group g)
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), g.low);
    p[4] = _mm_cvtsi128_si32(g.high);
}
KALVENTO_INLINE sse2_group lag_window(sse2_group older, sse2_group newer)
{
    __m128i low = _mm_unpacklo_epi32(_mm_srli_si128(older.low, 12), older.high);
    return {_mm_unpacklo_epi64(low, newer.low), _mm_shuffle_epi32(newer.low, 2)};
}
// k + M = (k & M) - 1 for a negative k, M = 2^31 - 1; so (k & M) - (k >> 31, logical).
KALVENTO_INLINE __m128i wrap31(__m128i k)
{
    return _mm_sub_epi32(_mm_and_si128(k, _mm_set1_epi32(2147483647)), _mm_srli_epi32(k, 31));
}
KALVENTO_INLINE sse2_group sub_wrap31(sse2_group a, sse2_group b)
{
    return {wrap31(_mm_sub_epi32(a.low, b.low)), wrap31(_mm_sub_epi32(a.high, b.high))};
}

KALVENTO_INLINE __m128d add_where(__m128d s, __m128d a, __m128d b, __m128d otherwise)
{
    return select(s, _mm_add_pd(a, b), otherwise);
}
KALVENTO_INLINE __m128d broadcast_where(__m128d s, const double* p, __m128d otherwise)
{
    return select(s, _mm_load1_pd(p), otherwise);
}
KALVENTO_INLINE __m128d shift_up(__m128d v, const double* p)
{
    return _mm_unpacklo_pd(_mm_load_sd(p), v);
}
template <int COLUMNS, class Row>
KALVENTO_INLINE void load_transposed(__m128d (&out)[COLUMNS], Row row)
{
    static_assert(COLUMNS == 2);
    __m128d x0 = _mm_loadu_pd(row(0));
    __m128d x1 = _mm_loadu_pd(row(1));
    out[0] = _mm_unpacklo_pd(x0, x1);
    out[1] = _mm_unpackhi_pd(x0, x1);
}
template <int COLUMNS, class Row>
KALVENTO_INLINE void store_transposed(Row row, const __m128d (&in)[COLUMNS])
{
    static_assert(COLUMNS == 2);
    _mm_storeu_pd(row(0), _mm_unpacklo_pd(in[0], in[1]));
    _mm_storeu_pd(row(1), _mm_unpackhi_pd(in[0], in[1]));
}

template <>
KALVENTO_INLINE __m128d load_indexed<__m128d>(const double* x, const std::int32_t* c)
{
    return _mm_unpacklo_pd(_mm_load_sd(x + c[0]), _mm_load_sd(x + c[1]));
}
template <>
KALVENTO_INLINE __m128d from_doubles<__m128d>(const double* x)
{
    return _mm_unpacklo_pd(_mm_set_sd(x[0]), _mm_set_sd(x[1]));
}
KALVENTO_INLINE double add_in_order(double sum, __m128d p)
{
    sum += _mm_cvtsd_f64(p);
    sum += _mm_cvtsd_f64(_mm_unpackhi_pd(p, p));
    return sum;
}
KALVENTO_INLINE __m128i add_int32(__m128i a, __m128i b)
{
    return _mm_add_epi32(a, b);
}
KALVENTO_INLINE bool all_equal_int32(__m128i a, __m128i b)
{
    return _mm_movemask_epi8(_mm_cmpeq_epi32(a, b)) == 0xFFFF;
}

struct sse2_path {
    using vec = __m128d;
    static constexpr int LANES = 2;
    using lanes = __m128d;
    using extent = int; // the count of lanes, 1 or 2
    using counts = __m128i;
    // Vectors of 32-bit integers, as many as fit the widest register.
    using int32s = __m128i;
    static constexpr int INT32_LANES = 4;
    static int32s load_int32s(const std::int32_t* p)
    {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    }
    static int32s broadcast_int32(std::int32_t x) { return _mm_set1_epi32(x); }
    // Vector registers, for the register tiles of the kernels.
    static constexpr int REGISTERS = 16;
    // Whether a masked add is one instruction, as cheap as an add.
    static constexpr bool NATIVE_MASKS = false;
    // The lanes whose bits are set (bit k for lane k).
    static lanes lanes_from_bits(unsigned bits)
    {
        return _mm_castsi128_pd(_mm_set_epi64x(-static_cast<long long>((bits >> 1) & 1),
                                               -static_cast<long long>(bits & 1)));
    }
    static extent first_lanes(int count) { return count; }
    // Only the lanes of e are read; the others are zero.
    static vec load_first(const double* p, extent e)
    {
        return e == 1 ? _mm_load_sd(p) : _mm_loadu_pd(p);
    }
    using short_vec = __m128d;
    using short_counts = __m128i;
    using group = sse2_group;
    static void end_of_kernel() {}
};

} // namespace kalvento::KALVENTO_FAST_NS::simd
