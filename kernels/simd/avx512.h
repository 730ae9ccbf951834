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

KALVENTO_INLINE __m512d add_where(__mmask8 s, __m512d a, __m512d b, __m512d otherwise)
{
    return _mm512_mask_add_pd(otherwise, s, a, b);
}
KALVENTO_INLINE __m512d broadcast_where(__mmask8 s, const double* p, __m512d otherwise)
{
    return _mm512_mask_broadcastsd_pd(otherwise, s, _mm_load_sd(p));
}
KALVENTO_INLINE __m512d shift_up(__m512d v, const double* p)
{
    return _mm512_castsi512_pd(
        _mm512_alignr_epi64(_mm512_castpd_si512(v), _mm512_castpd_si512(_mm512_set1_pd(*p)), 7));
}
// The chunks of four at p and q, one in each 256-bit half.
KALVENTO_INLINE __m512d two_chunks(const double* p, const double* q)
{
    return _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_loadu_pd(p)), _mm256_loadu_pd(q), 1);
}
// An 8 x 4 transpose: rows 0, 2 | 1, 3 | 4, 6 | 5, 7 paired in halves, interleaved by 64-bit
// element within 128-bit pieces, then the pieces gathered across the halves.
template <int COLUMNS, class Row>
KALVENTO_INLINE void load_transposed(__m512d (&out)[COLUMNS], Row row)
{
    static_assert(COLUMNS == 4);
    __m512d z0 = two_chunks(row(0), row(2));
    __m512d z1 = two_chunks(row(1), row(3));
    __m512d z2 = two_chunks(row(4), row(6));
    __m512d z3 = two_chunks(row(5), row(7));
    __m512d t0 = _mm512_unpacklo_pd(z0, z1);
    __m512d t1 = _mm512_unpackhi_pd(z0, z1);
    __m512d t2 = _mm512_unpacklo_pd(z2, z3);
    __m512d t3 = _mm512_unpackhi_pd(z2, z3);
    out[0] = _mm512_shuffle_f64x2(t0, t2, 0x88);
    out[1] = _mm512_shuffle_f64x2(t1, t3, 0x88);
    out[2] = _mm512_shuffle_f64x2(t0, t2, 0xdd);
    out[3] = _mm512_shuffle_f64x2(t1, t3, 0xdd);
}
// The upper half of v to the four doubles at p, by a masked store from four doubles before them,
// which costs no extraction; the masked-off part is not written, and may lie outside any array.
KALVENTO_INLINE void store_upper_half(double* p, __m512d v)
{
    _mm512_mask_storeu_pd(p - 4, 0xf0, v);
}
// The inverse of load_transposed: the pieces gathered back into halves, then the elements.
template <int COLUMNS, class Row>
KALVENTO_INLINE void store_transposed(Row row, const __m512d (&in)[COLUMNS])
{
    static_assert(COLUMNS == 4);
    const __m512i low = _mm512_set_epi64(11, 10, 3, 2, 9, 8, 1, 0);
    const __m512i high = _mm512_set_epi64(15, 14, 7, 6, 13, 12, 5, 4);
    __m512d t0 = _mm512_permutex2var_pd(in[0], low, in[2]);
    __m512d t1 = _mm512_permutex2var_pd(in[1], low, in[3]);
    __m512d t2 = _mm512_permutex2var_pd(in[0], high, in[2]);
    __m512d t3 = _mm512_permutex2var_pd(in[1], high, in[3]);
    __m512d z0 = _mm512_unpacklo_pd(t0, t1);
    __m512d z1 = _mm512_unpackhi_pd(t0, t1);
    __m512d z2 = _mm512_unpacklo_pd(t2, t3);
    __m512d z3 = _mm512_unpackhi_pd(t2, t3);
    _mm256_storeu_pd(row(0), _mm512_castpd512_pd256(z0));
    _mm256_storeu_pd(row(1), _mm512_castpd512_pd256(z1));
    _mm256_storeu_pd(row(4), _mm512_castpd512_pd256(z2));
    _mm256_storeu_pd(row(5), _mm512_castpd512_pd256(z3));
    store_upper_half(row(2), z0);
    store_upper_half(row(3), z1);
    store_upper_half(row(6), z2);
    store_upper_half(row(7), z3);
}

KALVENTO_INLINE __m512i add_int32(__m512i a, __m512i b)
{
    return _mm512_add_epi32(a, b);
}
KALVENTO_INLINE bool all_equal_int32(__m512i a, __m512i b)
{
    return _mm512_cmpneq_epi32_mask(a, b) == 0;
}

// The generator's groups are those of AVX2.
struct avx512_path {
    using vec = __m512d;
    static constexpr int LANES = 8;
    using lanes = __mmask8;
    using extent = __mmask8;
    using counts = __m512i;
    // Vectors of 32-bit integers, as many as fit the widest register.
    using int32s = __m512i;
    static constexpr int INT32_LANES = 16;
    static int32s load_int32s(const std::int32_t* p) { return _mm512_loadu_si512(p); }
    static int32s broadcast_int32(std::int32_t x) { return _mm512_set1_epi32(x); }
    // Vector registers, for the register tiles of the kernels.
    static constexpr int REGISTERS = 32;
    // Whether a masked add is one instruction, as cheap as an add.
    static constexpr bool NATIVE_MASKS = true;
    // The lanes whose bits are set (bit k for lane k).
    static lanes lanes_from_bits(unsigned bits) { return static_cast<__mmask8>(bits); }
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
