// The vocabulary on Advanced SIMD (NEON) of 64-bit ARM: two doubles per vector in 32 registers,
// lane sets as vectors of all-ones and all-zeros lanes, and no masked loads or stores (the
// partial forms take a count).
#pragma once

#include "kernels/simd/scalar.h"

#include <arm_neon.h>
#include <cstdint>

namespace kalvento::KALVENTO_FAST_NS::simd {

// clang-format off
template <> KALVENTO_INLINE float64x2_t load<float64x2_t>(const double* p) { return vld1q_f64(p); }
template <> KALVENTO_INLINE float64x2_t load_aligned<float64x2_t>(const double* p) { return vld1q_f64(p); }
template <> KALVENTO_INLINE float64x2_t broadcast<float64x2_t>(double x) { return vdupq_n_f64(x); }
template <> KALVENTO_INLINE float64x2_t zero<float64x2_t>() { return vdupq_n_f64(0.0); }
template <> KALVENTO_INLINE int64x2_t zero<int64x2_t>() { return vdupq_n_s64(0); }
template <> KALVENTO_INLINE float64x2_t lane_numbers<float64x2_t>() { return float64x2_t{0.0, 1.0}; }
// clang-format on
template <>
KALVENTO_INLINE float64x2_t from_int32<float64x2_t>(const std::int32_t* p)
{
    return vcvtq_f64_s64(vmovl_s32(vld1_s32(p)));
}

KALVENTO_INLINE void store(double* p, float64x2_t v)
{
    vst1q_f64(p, v);
}
KALVENTO_INLINE void store_aligned(double* p, float64x2_t v)
{
    vst1q_f64(p, v);
}
KALVENTO_INLINE void store_first(double* p, float64x2_t v, int count)
{
    if (count == 1)
        vst1q_lane_f64(p, v, 0);
    else
        vst1q_f64(p, v);
}
KALVENTO_INLINE float64x2_t add(float64x2_t a, float64x2_t b)
{
    return vaddq_f64(a, b);
}
KALVENTO_INLINE float64x2_t sub(float64x2_t a, float64x2_t b)
{
    return vsubq_f64(a, b);
}
KALVENTO_INLINE float64x2_t mul(float64x2_t a, float64x2_t b)
{
    return vmulq_f64(a, b);
}
KALVENTO_INLINE float64x2_t add_except_first(float64x2_t z, float64x2_t a, float64x2_t b)
{
    return vcopyq_laneq_f64(add(a, b), 0, z, 0);
}
KALVENTO_INLINE float64x2_t sub_except_first(float64x2_t z, float64x2_t a, float64x2_t b)
{
    return vcopyq_laneq_f64(sub(a, b), 0, z, 0);
}
KALVENTO_INLINE float64x2_t select(uint64x2_t s, float64x2_t if_set, float64x2_t otherwise)
{
    return vbslq_f64(s, if_set, otherwise);
}
// Ordered comparisons, like x86's: false where either lane is a NaN.
KALVENTO_INLINE uint64x2_t greater_than(float64x2_t a, float64x2_t b)
{
    return vcgtq_f64(a, b);
}
KALVENTO_INLINE uint64x2_t less_equal(float64x2_t a, float64x2_t b)
{
    return vcleq_f64(a, b);
}
KALVENTO_INLINE uint64x2_t equal(float64x2_t a, float64x2_t b)
{
    return vceqq_f64(a, b);
}
// Clears the sign bit only, NaNs included, like the scalar fabs.
KALVENTO_INLINE float64x2_t magnitude_of(float64x2_t a)
{
    return vabsq_f64(a);
}
KALVENTO_INLINE double greatest_lane(float64x2_t a)
{
    return vmaxvq_f64(a);
}
KALVENTO_INLINE double least_lane(float64x2_t a)
{
    return vminvq_f64(a);
}
KALVENTO_INLINE float64x2_t interleave_low(float64x2_t a, float64x2_t b)
{
    return vzip1q_f64(a, b);
}
KALVENTO_INLINE float64x2_t interleave_high(float64x2_t a, float64x2_t b)
{
    return vzip2q_f64(a, b);
}
// v[i][l] becomes v[l][i].
KALVENTO_INLINE void transpose(float64x2_t (&v)[2])
{
    float64x2_t t = vzip1q_f64(v[0], v[1]);
    v[1] = vzip2q_f64(v[0], v[1]);
    v[0] = t;
}
// A set lane is all ones, -1 as an integer.
KALVENTO_INLINE int64x2_t count_lanes(int64x2_t counts, uint64x2_t s)
{
    return vsubq_s64(counts, vreinterpretq_s64_u64(s));
}
KALVENTO_INLINE std::int64_t total(int64x2_t counts)
{
    return vaddvq_s64(counts);
}

// A group of five generator values: lanes 0 to 3 in `low`, lane 4 in lane 0 of `high`.
struct neon_group {
    int32x4_t low, high;
};

template <>
KALVENTO_INLINE neon_group load_group<neon_group>(const std::int32_t* p)
{
    return {vld1q_s32(p), vld1q_dup_s32(p + 4)};
}
KALVENTO_INLINE void store_group(std::int32_t* p, neon_group g)
{
    vst1q_s32(p, g.low);
    vst1q_lane_s32(p + 4, g.high, 0);
}
KALVENTO_INLINE neon_group lag_window(neon_group older, neon_group newer)
{
    // pair = (older 3, older 4, ...): its first half, then the first half of newer.
    int32x4_t pair = vzip1q_s32(vextq_s32(older.low, older.low, 3), older.high);
    return {vcombine_s32(vget_low_s32(pair), vget_low_s32(newer.low)),
            vdupq_laneq_s32(newer.low, 2)};
}
// As on AVX2: unsigned min(k, k + M) with k = a - b and k + M formed as a + (M ^ b), so that only
// the subtraction and the minimum lie on the chain through a.
KALVENTO_INLINE int32x4_t wrap31(int32x4_t a, int32x4_t b)
{
    const uint32x4_t modulus = vdupq_n_u32(2147483647);
    uint32x4_t ua = vreinterpretq_u32_s32(a), ub = vreinterpretq_u32_s32(b);
    uint32x4_t k = vsubq_u32(ua, ub);
    return vreinterpretq_s32_u32(vminq_u32(k, vaddq_u32(ua, veorq_u32(modulus, ub))));
}
KALVENTO_INLINE neon_group sub_wrap31(neon_group a, neon_group b)
{
    return {wrap31(a.low, b.low), wrap31(a.high, b.high)};
}

KALVENTO_INLINE float64x2_t add_where(uint64x2_t s, float64x2_t a, float64x2_t b,
                                      float64x2_t otherwise)
{
    return select(s, vaddq_f64(a, b), otherwise);
}
KALVENTO_INLINE float64x2_t broadcast_where(uint64x2_t s, const double* p, float64x2_t otherwise)
{
    return select(s, vld1q_dup_f64(p), otherwise);
}
KALVENTO_INLINE float64x2_t shift_up(float64x2_t v, const double* p)
{
    return vzip1q_f64(vld1q_dup_f64(p), v);
}
template <int COLUMNS, class Row>
KALVENTO_INLINE void load_transposed(float64x2_t (&out)[COLUMNS], Row row)
{
    static_assert(COLUMNS == 2);
    float64x2_t x0 = vld1q_f64(row(0));
    float64x2_t x1 = vld1q_f64(row(1));
    out[0] = vzip1q_f64(x0, x1);
    out[1] = vzip2q_f64(x0, x1);
}
template <int COLUMNS, class Row>
KALVENTO_INLINE void store_transposed(Row row, const float64x2_t (&in)[COLUMNS])
{
    static_assert(COLUMNS == 2);
    vst1q_f64(row(0), vzip1q_f64(in[0], in[1]));
    vst1q_f64(row(1), vzip2q_f64(in[0], in[1]));
}

template <>
KALVENTO_INLINE float64x2_t load_indexed<float64x2_t>(const double* x, const std::int32_t* c)
{
    return vld1q_lane_f64(x + c[1], vld1q_dup_f64(x + c[0]), 1);
}
template <>
KALVENTO_INLINE float64x2_t from_doubles<float64x2_t>(const double* x)
{
    return vcombine_f64(vdup_n_f64(x[0]), vdup_n_f64(x[1]));
}
KALVENTO_INLINE double add_in_order(double sum, float64x2_t p)
{
    sum += vgetq_lane_f64(p, 0);
    sum += vgetq_lane_f64(p, 1);
    return sum;
}
KALVENTO_INLINE int32x4_t add_int32(int32x4_t a, int32x4_t b)
{
    return vaddq_s32(a, b);
}
KALVENTO_INLINE bool all_equal_int32(int32x4_t a, int32x4_t b)
{
    return vminvq_u32(vceqq_s32(a, b)) == 0xFFFFFFFFu;
}

struct neon_path {
    using vec = float64x2_t;
    static constexpr int LANES = 2;
    using lanes = uint64x2_t;
    using extent = int; // the count of lanes, 1 or 2
    using counts = int64x2_t;
    // Vectors of 32-bit integers, as many as fit the widest register.
    using int32s = int32x4_t;
    static constexpr int INT32_LANES = 4;
    static int32s load_int32s(const std::int32_t* p) { return vld1q_s32(p); }
    static int32s broadcast_int32(std::int32_t x) { return vdupq_n_s32(x); }
    // Vector registers, for the register tiles of the kernels.
    static constexpr int REGISTERS = 32;
    // Whether a masked add is one instruction, as cheap as an add.
    static constexpr bool NATIVE_MASKS = false;
    // The lanes whose bits are set (bit k for lane k).
    static lanes lanes_from_bits(unsigned bits)
    {
        return vtstq_u64(vdupq_n_u64(bits), uint64x2_t{1, 2});
    }
    static extent first_lanes(int count) { return count; }
    // Only the lanes of e are read; the others are zero.
    static vec load_first(const double* p, extent e)
    {
        return e == 1 ? vsetq_lane_f64(*p, vdupq_n_f64(0.0), 0) : vld1q_f64(p);
    }
    using short_vec = float64x2_t;
    using short_counts = int64x2_t;
    using group = neon_group;
    static void end_of_kernel() {}
};

} // namespace kalvento::KALVENTO_FAST_NS::simd
