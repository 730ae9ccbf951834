// The vocabulary on AVX-512 (F, VL, DQ, BW): eight doubles per vector, lane sets and partial
// loads and stores as mask registers. The 256-bit vectors of the AVX2 vocabulary are there too.
#pragma once

#include "kernels/simd/avx2.h"

#include <cstdint>
#include <immintrin.h>

// gcc 12's AVX-512 intrinsics start from a deliberately unset placeholder register, and its
// warnings about that would fire wherever a kernel uses them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace kalvento::KALVENTO_FAST_NS::simd {

// clang-format off
template <> KALVENTO_INLINE __m512d load<__m512d>(const double* p) { return _mm512_loadu_pd(p); }
template <> KALVENTO_INLINE __m512d load_aligned<__m512d>(const double* p) { return _mm512_load_pd(p); }
template <> KALVENTO_INLINE __m512d broadcast<__m512d>(double x) { return _mm512_set1_pd(x); }
template <> KALVENTO_INLINE __m512d zero<__m512d>() { return _mm512_setzero_pd(); }
template <> KALVENTO_INLINE __m512i zero<__m512i>() { return _mm512_setzero_si512(); }
// clang-format on
template <>
KALVENTO_INLINE __m512d lane_numbers<__m512d>()
{
    return _mm512_setr_pd(0, 1, 2, 3, 4, 5, 6, 7);
}
template <>
KALVENTO_INLINE __m512d from_int32<__m512d>(const std::int32_t* p)
{
    return _mm512_cvtepi32_pd(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}

KALVENTO_INLINE void store(double* p, __m512d v)
{
    _mm512_storeu_pd(p, v);
}
KALVENTO_INLINE void store_aligned(double* p, __m512d v)
{
    _mm512_store_pd(p, v);
}
KALVENTO_INLINE void store_first(double* p, __m512d v, __mmask8 e)
{
    _mm512_mask_storeu_pd(p, e, v);
}
KALVENTO_INLINE __m512d add(__m512d a, __m512d b)
{
    return _mm512_add_pd(a, b);
}
KALVENTO_INLINE __m512d sub(__m512d a, __m512d b)
{
    return _mm512_sub_pd(a, b);
}
KALVENTO_INLINE __m512d mul(__m512d a, __m512d b)
{
    return _mm512_mul_pd(a, b);
}
KALVENTO_INLINE __m512d add_except_first(__m512d z, __m512d a, __m512d b)
{
    return _mm512_mask_add_pd(z, 0xFE, a, b);
}
KALVENTO_INLINE __m512d sub_except_first(__m512d z, __m512d a, __m512d b)
{
    return _mm512_mask_sub_pd(z, 0xFE, a, b);
}
KALVENTO_INLINE __m512d select(__mmask8 s, __m512d if_set, __m512d otherwise)
{
    return _mm512_mask_blend_pd(s, otherwise, if_set);
}
KALVENTO_INLINE __mmask8 greater_than(__m512d a, __m512d b)
{
    return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ);
}
KALVENTO_INLINE __mmask8 less_equal(__m512d a, __m512d b)
{
    return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ);
}
KALVENTO_INLINE __mmask8 equal(__m512d a, __m512d b)
{
    return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ);
}
KALVENTO_INLINE __m512d magnitude_of(__m512d a)
{
    return _mm512_abs_pd(a);
}
// (The zero-masked forms of the intrinsics keep gcc's headers from warning.)
KALVENTO_INLINE double greatest_lane(__m512d a)
{
    return greatest_lane(_mm256_max_pd(_mm512_maskz_extractf64x4_pd(0xff, a, 0),
                                       _mm512_maskz_extractf64x4_pd(0xff, a, 1)));
}
KALVENTO_INLINE double least_lane(__m512d a)
{
    return least_lane(_mm256_min_pd(_mm512_maskz_extractf64x4_pd(0xff, a, 0),
                                    _mm512_maskz_extractf64x4_pd(0xff, a, 1)));
}
// Shuffles are written with __builtin_shufflevector: gcc 12's intrinsics for them warn about an
// uninitialised value inside its own headers.
KALVENTO_INLINE __m512d interleave_low(__m512d a, __m512d b)
{
    return __builtin_shufflevector(a, b, 0, 8, 2, 10, 4, 12, 6, 14);
}
KALVENTO_INLINE __m512d interleave_high(__m512d a, __m512d b)
{
    return __builtin_shufflevector(a, b, 1, 9, 3, 11, 5, 13, 7, 15);
}
// v[i][l] becomes v[l][i].
KALVENTO_INLINE void transpose(__m512d (&v)[8])
{
    __m512d t[8];
    for (int i = 0; i < 4; ++i) {
        t[2 * i] = interleave_low(v[2 * i], v[2 * i + 1]);
        t[2 * i + 1] = interleave_high(v[2 * i], v[2 * i + 1]);
    }
    __m512d u[8];
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 2; ++j) {
            __m512d a = t[4 * i + j], b = t[4 * i + j + 2];
            u[4 * i + j] = __builtin_shufflevector(a, b, 0, 1, 8, 9, 4, 5, 12, 13);
            u[4 * i + j + 2] = __builtin_shufflevector(a, b, 2, 3, 10, 11, 6, 7, 14, 15);
        }
    }
    for (int k = 0; k < 4; ++k) {
        __m512d a = u[k], b = u[k + 4];
        v[k] = __builtin_shufflevector(a, b, 0, 1, 2, 3, 8, 9, 10, 11);
        v[k + 4] = __builtin_shufflevector(a, b, 4, 5, 6, 7, 12, 13, 14, 15);
    }
}
KALVENTO_INLINE __m512i count_lanes(__m512i counts, __mmask8 s)
{
    return _mm512_mask_sub_epi64(counts, s, counts, _mm512_set1_epi64(-1));
}
KALVENTO_INLINE std::int64_t total(__m512i counts)
{
    return _mm512_reduce_add_epi64(counts);
}

// The generator's groups are those of AVX2.
struct avx512_path {
    using vec = __m512d;
    static constexpr int LANES = 8;
    using lanes = __mmask8;
    using extent = __mmask8;
    using counts = __m512i;
    static extent first_lanes(int count) { return __mmask8((1u << count) - 1); }
    // Only the lanes of e are read; the others are zero.
    static vec load_first(const double* p, extent e) { return _mm512_maskz_loadu_pd(e, p); }
    // 512-bit work costs clock speed on some cores: where a kernel gains nothing from the width
    // (the Monte Carlo counts, the FFT's twiddle chains), it takes 256-bit vectors.
    using short_vec = __m256d;
    using short_counts = __m256i;
    using group = avx2_group;
    static void end_of_kernel() { _mm256_zeroupper(); }
};

} // namespace kalvento::KALVENTO_FAST_NS::simd
