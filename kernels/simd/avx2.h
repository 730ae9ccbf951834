// The vocabulary on AVX2: four doubles per vector, lane sets as vectors of all-ones and
// all-zeros lanes, partial loads and stores through a vector of lane masks. The AVX-512
// vocabulary builds on it for its 256-bit vectors.
#pragma once

#include "kernels/simd/scalar.h"

#include <cstdint>
#include <immintrin.h>

namespace kalvento::KALVENTO_FAST_NS::simd {

// clang-format off
template <> KALVENTO_INLINE __m256d load<__m256d>(const double* p) { return _mm256_loadu_pd(p); }
template <> KALVENTO_INLINE __m256d load_aligned<__m256d>(const double* p) { return _mm256_load_pd(p); }
template <> KALVENTO_INLINE __m256d broadcast<__m256d>(double x) { return _mm256_set1_pd(x); }
template <> KALVENTO_INLINE __m256d zero<__m256d>() { return _mm256_setzero_pd(); }
template <> KALVENTO_INLINE __m256i zero<__m256i>() { return _mm256_setzero_si256(); }
template <> KALVENTO_INLINE __m256d lane_numbers<__m256d>() { return _mm256_setr_pd(0, 1, 2, 3); }
// clang-format on
template <>
KALVENTO_INLINE __m256d from_int32<__m256d>(const std::int32_t* p)
{
    return _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

KALVENTO_INLINE void store(double* p, __m256d v)
{
    _mm256_storeu_pd(p, v);
}
KALVENTO_INLINE void store_aligned(double* p, __m256d v)
{
    _mm256_store_pd(p, v);
}
KALVENTO_INLINE void store_first(double* p, __m256d v, __m256i e)
{
    _mm256_maskstore_pd(p, e, v);
}
KALVENTO_INLINE __m256d add(__m256d a, __m256d b)
{
    return _mm256_add_pd(a, b);
}
KALVENTO_INLINE __m256d sub(__m256d a, __m256d b)
{
    return _mm256_sub_pd(a, b);
}
KALVENTO_INLINE __m256d mul(__m256d a, __m256d b)
{
    return _mm256_mul_pd(a, b);
}
KALVENTO_INLINE __m256d add_except_first(__m256d z, __m256d a, __m256d b)
{
    return _mm256_blend_pd(add(a, b), z, 1);
}
KALVENTO_INLINE __m256d sub_except_first(__m256d z, __m256d a, __m256d b)
{
    return _mm256_blend_pd(sub(a, b), z, 1);
}
KALVENTO_INLINE __m256d select(__m256d s, __m256d if_set, __m256d otherwise)
{
    return _mm256_blendv_pd(otherwise, if_set, s);
}
KALVENTO_INLINE __m256d greater_than(__m256d a, __m256d b)
{
    return _mm256_cmp_pd(a, b, _CMP_GT_OQ);
}
KALVENTO_INLINE __m256d less_equal(__m256d a, __m256d b)
{
    return _mm256_cmp_pd(a, b, _CMP_LE_OQ);
}
KALVENTO_INLINE __m256d equal(__m256d a, __m256d b)
{
    return _mm256_cmp_pd(a, b, _CMP_EQ_OQ);
}
KALVENTO_INLINE __m256d magnitude_of(__m256d a)
{
    return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a);
}
KALVENTO_INLINE double greatest_lane(__m256d a)
{
    __m128d half = _mm_max_pd(_mm256_castpd256_pd128(a), _mm256_extractf128_pd(a, 1));
    return _mm_cvtsd_f64(_mm_max_sd(half, _mm_unpackhi_pd(half, half)));
}
KALVENTO_INLINE double least_lane(__m256d a)
{
    __m128d half = _mm_min_pd(_mm256_castpd256_pd128(a), _mm256_extractf128_pd(a, 1));
    return _mm_cvtsd_f64(_mm_min_sd(half, _mm_unpackhi_pd(half, half)));
}
KALVENTO_INLINE __m256d interleave_low(__m256d a, __m256d b)
{
    return _mm256_unpacklo_pd(a, b);
}
KALVENTO_INLINE __m256d interleave_high(__m256d a, __m256d b)
{
    return _mm256_unpackhi_pd(a, b);
}
// v[i][l] becomes v[l][i].
KALVENTO_INLINE void transpose(__m256d (&v)[4])
{
    __m256d t0 = _mm256_unpacklo_pd(v[0], v[1]), t1 = _mm256_unpackhi_pd(v[0], v[1]);
    __m256d t2 = _mm256_unpacklo_pd(v[2], v[3]), t3 = _mm256_unpackhi_pd(v[2], v[3]);
    v[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
    v[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
    v[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
    v[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
}
KALVENTO_INLINE __m256i count_lanes(__m256i counts, __m256d s)
{
    return _mm256_sub_epi64(counts, _mm256_castpd_si256(s));
}
KALVENTO_INLINE std::int64_t total(__m256i counts)
{
    alignas(32) std::int64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), counts);
    return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

// A group of five generator values in lanes 0 to 4 of eight 32-bit lanes; lanes 5 to 7 are not
// used, but store_group writes them.
struct avx2_group {
    __m256i v;
};

template <>
KALVENTO_INLINE avx2_group load_group<avx2_group>(const std::int32_t* p)
{
    return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))};
}
KALVENTO_INLINE void store_group(std::int32_t* p, avx2_group g)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), g.v);
}
KALVENTO_INLINE avx2_group lag_window(avx2_group older, avx2_group newer)
{
#if defined(__AVX512VL__)
    // One two-source permute instead of a blend and a permute.
    const __m256i order = _mm256_setr_epi32(3, 4, 8, 9, 10, 0, 0, 0);
    return {_mm256_permutex2var_epi32(older.v, order, newer.v)};
#else
    const __m256i order = _mm256_setr_epi32(3, 4, 0, 1, 2, 0, 0, 0);
    return {_mm256_permutevar8x32_epi32(_mm256_blend_epi32(newer.v, older.v, 0x18), order)};
#endif
}
// fix(k) = unsigned min(k, k + M) maps a negative k = a - b to k + M and leaves 0..M alone; k + M
// is formed as a + (M - b), beside k, so that only one subtraction and the minimum lie on the
// chain through a. M - b is written M ^ b (the same for b in 0..M), which keeps the compiler from
// regrouping the sum back onto the chain.
KALVENTO_INLINE avx2_group sub_wrap31(avx2_group a, avx2_group b)
{
    const __m256i modulus = _mm256_set1_epi32(2147483647);
    __m256i k = _mm256_sub_epi32(a.v, b.v);
    return {_mm256_min_epu32(k, _mm256_add_epi32(a.v, _mm256_xor_si256(modulus, b.v)))};
}

// Bit k of the index sets lane k.
alignas(32) inline constexpr std::int64_t AVX2_LANE_MASKS[16][4] = {
    {0, 0, 0, 0},   {-1, 0, 0, 0},   {0, -1, 0, 0},   {-1, -1, 0, 0},
    {0, 0, -1, 0},  {-1, 0, -1, 0},  {0, -1, -1, 0},  {-1, -1, -1, 0},
    {0, 0, 0, -1},  {-1, 0, 0, -1},  {0, -1, 0, -1},  {-1, -1, 0, -1},
    {0, 0, -1, -1}, {-1, 0, -1, -1}, {0, -1, -1, -1}, {-1, -1, -1, -1}};

KALVENTO_INLINE __m256d add_where(__m256d s, __m256d a, __m256d b, __m256d otherwise)
{
    return _mm256_blendv_pd(otherwise, _mm256_add_pd(a, b), s);
}
KALVENTO_INLINE __m256d broadcast_where(__m256d s, const double* p, __m256d otherwise)
{
    return _mm256_blendv_pd(otherwise, _mm256_broadcast_sd(p), s);
}
KALVENTO_INLINE __m256d shift_up(__m256d v, const double* p)
{
    return _mm256_blend_pd(_mm256_permute4x64_pd(v, 0x90), _mm256_broadcast_sd(p), 1);
}
// Two 128-bit pieces, low from p and high from q.
KALVENTO_INLINE __m256d pieces(const double* p, const double* q)
{
    return _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(p)), _mm_loadu_pd(q), 1);
}
template <int COLUMNS, class Row>
KALVENTO_INLINE void load_transposed(__m256d (&out)[COLUMNS], Row row)
{
    static_assert(COLUMNS == 4);
    __m256d x0 = pieces(row(0), row(2));
    __m256d x1 = pieces(row(1), row(3));
    __m256d x2 = pieces(row(0) + 2, row(2) + 2);
    __m256d x3 = pieces(row(1) + 2, row(3) + 2);
    out[0] = _mm256_unpacklo_pd(x0, x1);
    out[1] = _mm256_unpackhi_pd(x0, x1);
    out[2] = _mm256_unpacklo_pd(x2, x3);
    out[3] = _mm256_unpackhi_pd(x2, x3);
}
template <int COLUMNS, class Row>
KALVENTO_INLINE void store_transposed(Row row, const __m256d (&in)[COLUMNS])
{
    static_assert(COLUMNS == 4);
    // y0 holds columns 0 and 1 of rows 0 and 2, y1 those of rows 1 and 3; y2 and y3 columns 2, 3.
    __m256d y0 = _mm256_unpacklo_pd(in[0], in[1]);
    __m256d y1 = _mm256_unpackhi_pd(in[0], in[1]);
    __m256d y2 = _mm256_unpacklo_pd(in[2], in[3]);
    __m256d y3 = _mm256_unpackhi_pd(in[2], in[3]);
    _mm_storeu_pd(row(0), _mm256_castpd256_pd128(y0));
    _mm_storeu_pd(row(0) + 2, _mm256_castpd256_pd128(y2));
    _mm_storeu_pd(row(1), _mm256_castpd256_pd128(y1));
    _mm_storeu_pd(row(1) + 2, _mm256_castpd256_pd128(y3));
    _mm_storeu_pd(row(2), _mm256_extractf128_pd(y0, 1));
    _mm_storeu_pd(row(2) + 2, _mm256_extractf128_pd(y2, 1));
    _mm_storeu_pd(row(3), _mm256_extractf128_pd(y1, 1));
    _mm_storeu_pd(row(3) + 2, _mm256_extractf128_pd(y3, 1));
}

template <>
KALVENTO_INLINE __m256d load_indexed<__m256d>(const double* x, const std::int32_t* c)
{
    __m128d x01 = _mm_unpacklo_pd(_mm_load_sd(x + c[0]), _mm_load_sd(x + c[1]));
    __m128d x23 = _mm_unpacklo_pd(_mm_load_sd(x + c[2]), _mm_load_sd(x + c[3]));
    return _mm256_insertf128_pd(_mm256_castpd128_pd256(x01), x23, 1);
}
template <>
KALVENTO_INLINE __m256d from_doubles<__m256d>(const double* x)
{
    __m128d x01 = _mm_unpacklo_pd(_mm_set_sd(x[0]), _mm_set_sd(x[1]));
    __m128d x23 = _mm_unpacklo_pd(_mm_set_sd(x[2]), _mm_set_sd(x[3]));
    return _mm256_insertf128_pd(_mm256_castpd128_pd256(x01), x23, 1);
}
KALVENTO_INLINE double add_in_order(double sum, __m256d p)
{
    __m128d p01 = _mm256_castpd256_pd128(p);
    __m128d p23 = _mm256_extractf128_pd(p, 1);
    sum += _mm_cvtsd_f64(p01);
    sum += _mm_cvtsd_f64(_mm_unpackhi_pd(p01, p01));
    sum += _mm_cvtsd_f64(p23);
    sum += _mm_cvtsd_f64(_mm_unpackhi_pd(p23, p23));
    return sum;
}
KALVENTO_INLINE __m256i add_int32(__m256i a, __m256i b)
{
    return _mm256_add_epi32(a, b);
}
KALVENTO_INLINE bool all_equal_int32(__m256i a, __m256i b)
{
    return _mm256_movemask_epi8(_mm256_cmpeq_epi32(a, b)) == -1;
}

struct avx2_path {
    using vec = __m256d;
    static constexpr int LANES = 4;
    using lanes = __m256d;
    using extent = __m256i;
    using counts = __m256i;
    // Vectors of 32-bit integers, as many as fit the widest register.
    using int32s = __m256i;
    static constexpr int INT32_LANES = 8;
    static int32s load_int32s(const std::int32_t* p)
    {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    }
    static int32s broadcast_int32(std::int32_t x) { return _mm256_set1_epi32(x); }
    // Vector registers, for the register tiles of the kernels.
    static constexpr int REGISTERS = 16;
    // Whether a masked add is one instruction, as cheap as an add.
    static constexpr bool NATIVE_MASKS = false;
    // The lanes whose bits are set (bit k for lane k).
    static lanes lanes_from_bits(unsigned bits)
    {
        return _mm256_load_pd(reinterpret_cast<const double*>(AVX2_LANE_MASKS[bits & 15]));
    }
    static extent first_lanes(int count)
    {
        return _mm256_cmpgt_epi64(_mm256_set1_epi64x(count), _mm256_setr_epi64x(0, 1, 2, 3));
    }
    // Only the lanes of e are read; the others are zero.
    static vec load_first(const double* p, extent e) { return _mm256_maskload_pd(p, e); }
    using short_vec = __m256d;
    using short_counts = __m256i;
    using group = avx2_group;
    // Legacy SSE code that runs afterwards (the plain kernels, the C library) is several times
    // slower while the upper halves of the vector registers are dirty.
    static void end_of_kernel() { _mm256_zeroupper(); }
};

} // namespace kalvento::KALVENTO_FAST_NS::simd
