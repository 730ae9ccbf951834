// The vocabulary on plain doubles: one lane. Every path has it (for scalar steps beside the
// vectors); a build for a CPU without a vector header uses it as its only vector.
#pragma once

#include "kernels/simd/common.h"

#include <cmath>
#include <cstdint>

namespace kalvento::KALVENTO_FAST_NS::simd {

// clang-format off
template <> KALVENTO_INLINE double load<double>(const double* p) { return *p; }
template <> KALVENTO_INLINE double load_aligned<double>(const double* p) { return *p; }
template <> KALVENTO_INLINE double broadcast<double>(double x) { return x; }
template <> KALVENTO_INLINE double zero<double>() { return 0.0; }
template <> KALVENTO_INLINE std::int64_t zero<std::int64_t>() { return 0; }
template <> KALVENTO_INLINE double lane_numbers<double>() { return 0.0; }
template <> KALVENTO_INLINE double from_int32<double>(const std::int32_t* p) { return *p; }
// clang-format on

KALVENTO_INLINE void store(double* p, double v)
{
    *p = v;
}
KALVENTO_INLINE void store_aligned(double* p, double v)
{
    *p = v;
}
KALVENTO_INLINE void store_first(double* p, double v, int)
{
    *p = v;
}
KALVENTO_INLINE double add(double a, double b)
{
    return a + b;
}
KALVENTO_INLINE double sub(double a, double b)
{
    return a - b;
}
KALVENTO_INLINE double mul(double a, double b)
{
    return a * b;
}
// Lane 0 from z, the others a + b (a - b): with one lane, z.
KALVENTO_INLINE double add_except_first(double z, double, double)
{
    return z;
}
KALVENTO_INLINE double sub_except_first(double z, double, double)
{
    return z;
}
KALVENTO_INLINE double select(bool s, double if_set, double otherwise)
{
    return s ? if_set : otherwise;
}
KALVENTO_INLINE bool greater_than(double a, double b)
{
    return a > b;
}
KALVENTO_INLINE bool less_equal(double a, double b)
{
    return a <= b;
}
KALVENTO_INLINE bool equal(double a, double b)
{
    return a == b;
}
KALVENTO_INLINE double magnitude_of(double a)
{
    return std::fabs(a);
}
KALVENTO_INLINE double greatest_lane(double a)
{
    return a;
}
KALVENTO_INLINE double least_lane(double a)
{
    return a;
}
// The even lanes of a and b, interleaved, within each 128-bit half (unpack low); with one lane, a.
KALVENTO_INLINE double interleave_low(double a, double)
{
    return a;
}
KALVENTO_INLINE double interleave_high(double, double b)
{
    return b;
}
KALVENTO_INLINE void transpose(double (&)[1]) {}
// One more for every lane of s.
KALVENTO_INLINE std::int64_t count_lanes(std::int64_t counts, bool s)
{
    return counts + (s ? 1 : 0);
}
KALVENTO_INLINE std::int64_t total(std::int64_t counts)
{
    return counts;
}

// A group of five generator values.
struct scalar_group {
    std::int32_t value[5];
};

template <>
KALVENTO_INLINE scalar_group load_group<scalar_group>(const std::int32_t* p)
{
    return {{p[0], p[1], p[2], p[3], p[4]}};
}
KALVENTO_INLINE void store_group(std::int32_t* p, scalar_group g)
{
    for (int i = 0; i < 5; ++i)
        p[i] = g.value[i];
}
// Lanes 3 and 4 of `older`, then lanes 0 to 2 of `newer`.
KALVENTO_INLINE scalar_group lag_window(scalar_group older, scalar_group newer)
{
    return {{older.value[3], older.value[4], newer.value[0], newer.value[1], newer.value[2]}};
}
// a - b, plus 2^31 - 1 where that is negative, for a and b in 0 .. 2^31 - 1.
KALVENTO_INLINE scalar_group sub_wrap31(scalar_group a, scalar_group b)
{
    scalar_group r;
    for (int i = 0; i < 5; ++i) {
        std::int32_t k = a.value[i] - b.value[i];
        r.value[i] = k < 0 ? k + 2147483647 : k;
    }
    return r;
}

// The wavefront's lane operations (SOR): with one lane, masks are a flag and transposes copy.
// `s` lanes get a + b, the others keep `otherwise`.
KALVENTO_INLINE double add_where(bool s, double a, double b, double otherwise)
{
    return s ? a + b : otherwise;
}
// `s` lanes get *p, the others keep `otherwise`.
KALVENTO_INLINE double broadcast_where(bool s, const double* p, double otherwise)
{
    return s ? *p : otherwise;
}
// *p in lane 0, lane k - 1 of v in lane k.
KALVENTO_INLINE double shift_up(double, const double* p)
{
    return *p;
}
// out[u] lane k = row(k)[u] for u < COLUMNS: COLUMNS values from each lane's row, transposed.
template <int COLUMNS, class Row>
KALVENTO_INLINE void load_transposed(double (&out)[COLUMNS], Row row)
{
    static_assert(COLUMNS == 1);
    out[0] = *row(0);
}
// The inverse of load_transposed: row(k)[u] = in[u] lane k.
template <int COLUMNS, class Row>
KALVENTO_INLINE void store_transposed(Row row, const double (&in)[COLUMNS])
{
    static_assert(COLUMNS == 1);
    *row(0) = in[0];
}

template <>
KALVENTO_INLINE double load_indexed<double>(const double* x, const std::int32_t* c)
{
    return x[c[0]];
}
template <>
KALVENTO_INLINE double from_doubles<double>(const double* x)
{
    return x[0];
}
// sum + lane 0 + lane 1 + ..., one addition at a time.
KALVENTO_INLINE double add_in_order(double sum, double p)
{
    return sum + p;
}
// 32-bit integers, added modulo 2^32.
KALVENTO_INLINE std::int32_t add_int32(std::int32_t a, std::int32_t b)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
KALVENTO_INLINE bool all_equal_int32(std::int32_t a, std::int32_t b)
{
    return a == b;
}

// A build without a vector instruction set: the vocabulary's vector is a double.
struct scalar_path {
    using vec = double;
    static constexpr int LANES = 1;
    using lanes = bool;
    using extent = int;
    using counts = std::int64_t;
    // Vectors of 32-bit integers, as many as fit the widest register.
    using int32s = std::int32_t;
    static constexpr int INT32_LANES = 1;
    static int32s load_int32s(const std::int32_t* p) { return *p; }
    static int32s broadcast_int32(std::int32_t x) { return x; }
    // Vector registers, for the register tiles of the kernels.
    static constexpr int REGISTERS = 16;
    // Whether a masked add is one instruction, as cheap as an add.
    static constexpr bool NATIVE_MASKS = false;
    // The lanes whose bits are set (bit k for lane k).
    static lanes lanes_from_bits(unsigned bits) { return bits & 1; }
    static extent first_lanes(int count) { return count; }
    // Only the lanes of e are read; the others are zero.
    static vec load_first(const double* p, extent) { return *p; }
    using short_vec = double;
    using short_counts = std::int64_t;
    using group = scalar_group;
    static void end_of_kernel() {}
};

} // namespace kalvento::KALVENTO_FAST_NS::simd
