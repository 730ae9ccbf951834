// The Monte Carlo kernel, drawing the generator's stream five values at a time.
//
// The recurrence x_n = x_(n-5) - x_(n-17) (plus M = 2^31 - 1 when negative) makes five
// consecutive values independent of each other. Taking them as groups V_q = (x_5q .. x_5q+4):
//   V_q = fix(V_(q-1) - S_q), S_q = lanes 3..4 of V_(q-4) then lanes 0..2 of V_(q-3)
// since 17 = 3 * 5 + 2. Integer arithmetic is exact, so the vector step yields the very integers
// of the one-at-a-time step. Blocks of values go to a small buffer, and the points are then tested
// in vector registers, each value k becoming k * RNG_SCALE and the test x*x + y*y <= 1.0 rounded
// exactly as written. Each block is counted while the next one is drawn. The AVX-512 path shortens
// the chain from group to group further by carrying residues (explained there).
#include "kernels/fast_kernels.h"
#include "support/failure.h"
#include "support/lagged_rng.h"

#include <cstdint>
#include <utility>

#if defined(__AVX2__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kalvento::KALVENTO_FAST_NS {

namespace {

constexpr int GROUP = RNG_SHORT_LAG;

constexpr int STEP_GROUPS = 16;
constexpr int STEP_VALUES = GROUP * STEP_GROUPS;
constexpr int BLOCK_STEPS = 8;
constexpr int BLOCK_VALUES = STEP_VALUES * BLOCK_STEPS;
constexpr std::int64_t BLOCK_PAIRS = BLOCK_VALUES / 2;
// Vector stores of a group may write eight lanes, three beyond the group.
constexpr int BLOCK_ROOM = BLOCK_VALUES + 8;

// The 17 values before the stream's first, oldest first, behind three unused slots so that the
// oldest group, of which only lanes 3 and 4 are read, starts at slot 0.
struct history {
    alignas(32) std::int32_t value[24];
};

history starting_history(const lagged_rng& g)
{
    // A new generator: x_(-1-p) = lags[p].
    history h{};
    for (int p = 0; p < RNG_LAGS; ++p)
        h.value[3 + RNG_LAGS - 1 - p] = g.lags[p];
    return h;
}

#if defined(__AVX512F__)

// gcc 12's AVX-512 intrinsics start from a deliberately unset placeholder register, and its
// warnings about that would fire at every use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// Residues. A value x_n = 2^31 - 1 needs x_(n-5) = 2^31 - 1 and x_(n-17) = 0, so a stream whose
// 17 starting values are all below 2^31 - 1 never holds it: every value is then the remainder of
// x_(n-5) - x_(n-17) modulo M = 2^31 - 1, in 0..M-1. The chain is carried unreduced, as 64-bit
// y_n = y_(n-5) - y_(n-17) with y_n = x_n (mod M): one subtraction per group on the chain instead
// of a subtraction and a minimum. Every step of 16 groups the four live groups are folded back to
// 33 bits, which bounds them below 2^42 in between. The counting reduces each value to its
// remainder (folded once, exact in 0..M-1 but for the rare folds that land outside it, which send
// the whole block to an exact recount).

// y = (y mod 2^31) + floor(y / 2^31) (mod M), since 2^31 = 1 (mod M).
__m512i fold(__m512i y)
{
    return _mm512_add_epi64(_mm512_and_si512(y, _mm512_set1_epi64(RNG_MODULUS)),
                            _mm512_srai_epi64(y, 31));
}

std::int64_t remainder_of(std::int64_t y)
{
    std::int64_t r = y % RNG_MODULUS;
    return r < 0 ? r + RNG_MODULUS : r;
}

struct residues {
    __m512i fourth, third, second, first; // groups q-4 .. q-1, five values in lanes 0..4
};

residues start_residues(const history& h)
{
    auto group_at = [&](int i) {
        return _mm512_cvtepi32_epi64(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h.value + i)));
    };
    return {group_at(0), group_at(5), group_at(10), group_at(15)};
}

// The next group, V_q = V_(q-1) - S_q, into out.
void advance(residues& v, std::int64_t* out)
{
    // Lanes 3 and 4 of the fourth group, then lanes 0..2 of the third.
    const __m512i order = _mm512_setr_epi64(3, 4, 8, 9, 10, 0, 0, 0);
    __m512i next = _mm512_sub_epi64(v.first, _mm512_permutex2var_epi64(v.fourth, order, v.third));
    _mm512_storeu_si512(out, next);
    v = {v.third, v.second, v.first, next};
}

void fold_all(residues& v)
{
    v = {fold(v.fourth), fold(v.third), fold(v.second), fold(v.first)};
}

void draw_step(residues& v, std::int64_t* out)
{
    for (int q = 0; q < STEP_GROUPS; ++q)
        advance(v, out + GROUP * q);
    fold_all(v);
}

struct tally {
    __m512i inside = _mm512_setzero_si512();  // points inside, per lane
    __m512i largest = _mm512_setzero_si512(); // largest folded value, unsigned
};

// The eight pairs at y.
void count_sixteen(tally& t, const std::int64_t* y)
{
    const __m512d scale = _mm512_set1_pd(RNG_SCALE);
    const __m512d one = _mm512_set1_pd(1.0);
    __m512i k0 = fold(_mm512_loadu_si512(y));
    __m512i k1 = fold(_mm512_loadu_si512(y + 8));
    t.largest = _mm512_max_epu64(t.largest, _mm512_max_epu64(k0, k1));
    __m512d a = _mm512_mul_pd(_mm512_cvtepi64_pd(k0), scale);
    __m512d b = _mm512_mul_pd(_mm512_cvtepi64_pd(k1), scale);
    a = _mm512_mul_pd(a, a);
    b = _mm512_mul_pd(b, b);
    // The pairs come out in another order, which a count does not see.
    __m512d sum = _mm512_add_pd(_mm512_unpacklo_pd(a, b), _mm512_unpackhi_pd(a, b));
    __mmask8 in = _mm512_cmp_pd_mask(sum, one, _CMP_LE_OQ);
    t.inside = _mm512_mask_add_epi64(t.inside, in, t.inside, _mm512_set1_epi64(1));
}

// Draws a step into out while counting the values of an earlier step, with three or four groups
// between counts: the chain's operations then come first in program order and are not held back
// behind the counting.
void draw_and_count_step(residues& v, std::int64_t* out, tally& t, const std::int64_t* earlier)
{
    constexpr int COUNTS = STEP_VALUES / 16;
    int q = 0;
#pragma GCC unroll 5
    for (int u = 0; u < COUNTS; ++u) {
#pragma GCC unroll 4
        for (; q < (u + 1) * STEP_GROUPS / COUNTS; ++q)
            advance(v, out + GROUP * q);
        count_sixteen(t, earlier + 16 * u);
    }
    fold_all(v);
}

// Points among the first `pairs` pairs of the block, every value reduced exactly.
std::int64_t count_exactly(const std::int64_t* y, std::int64_t pairs)
{
    std::int64_t count = 0;
    for (std::int64_t i = 0; i < pairs; ++i) {
        double x = static_cast<double>(remainder_of(y[2 * i])) * RNG_SCALE;
        double z = static_cast<double>(remainder_of(y[2 * i + 1])) * RNG_SCALE;
        if ((x * x) + (z * z) <= 1.0)
            ++count;
    }
    return count;
}

// The count of the block's first `pairs` pairs, of which t has counted the first `counted`.
std::int64_t settle(const tally& t, const std::int64_t* y, std::int64_t counted, std::int64_t pairs)
{
    if (_mm512_cmpge_epu64_mask(t.largest, _mm512_set1_epi64(RNG_MODULUS)) != 0)
        return count_exactly(y, pairs);
    return _mm512_reduce_add_epi64(t.inside) + count_exactly(y + 2 * counted, pairs - counted);
}

// Points inside among the next `pairs` points of g, one step at a time.
std::int64_t count_inside_one_by_one(lagged_rng& g, std::int64_t pairs)
{
    std::int64_t count = 0;
    for (std::int64_t i = 0; i < pairs; ++i) {
        double x = lagged_rng_next(g);
        double y = lagged_rng_next(g);
        if ((x * x) + (y * y) <= 1.0)
            ++count;
    }
    return count;
}

// A starting value of 2^31 - 1 could pass down a lag-5 chain, and residues cannot tell it from 0.
// No generator seeded with MONTE_CARLO_SEED holds one; any other is stepped one value at a time.
bool holds_modulus(const lagged_rng& g)
{
    for (std::int32_t k : g.lags)
        if (k == RNG_MODULUS)
            return true;
    return false;
}

std::int64_t count_inside_circle(lagged_rng& g, std::int64_t pairs)
{
    if (holds_modulus(g))
        return count_inside_one_by_one(g, pairs);
    residues v = start_residues(starting_history(g));
    alignas(64) std::int64_t blocks[2][BLOCK_ROOM];
    std::int64_t* current = blocks[0];
    std::int64_t* next = blocks[1];
    for (int s = 0; s < BLOCK_STEPS; ++s)
        draw_step(v, current + s * STEP_VALUES);
    std::int64_t count = 0;
    for (; pairs > BLOCK_PAIRS; pairs -= BLOCK_PAIRS) {
        tally t;
        for (int s = 0; s < BLOCK_STEPS; ++s)
            draw_and_count_step(v, next + s * STEP_VALUES, t, current + s * STEP_VALUES);
        count += settle(t, current, BLOCK_PAIRS, BLOCK_PAIRS);
        std::swap(current, next);
    }
    tally t;
    std::int64_t counted = 0;
    for (; counted + 8 <= pairs; counted += 8)
        count_sixteen(t, current + 2 * counted);
    return count + settle(t, current, counted, pairs);
}

#else

// Points among the first `pairs` pairs of k that lie inside, tested exactly as the plain loop.
std::int64_t count_inside_listed(const std::int32_t* k, std::int64_t pairs)
{
    std::int64_t count = 0;
    for (std::int64_t i = 0; i < pairs; ++i) {
        double x = static_cast<double>(k[2 * i]) * RNG_SCALE;
        double y = static_cast<double>(k[2 * i + 1]) * RNG_SCALE;
        if ((x * x) + (y * y) <= 1.0)
            ++count;
    }
    return count;
}

#if defined(__AVX2__)

// A group of five values in lanes 0..4; lanes 5..7 are not used.
using group = __m256i;

group load_group(const std::int32_t* p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

void store_group(std::int32_t* p, group v)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

// V_q from V_(q-1), V_(q-3) and V_(q-4). fix(k) = unsigned min(k, k + M) maps a negative k to
// k + M and leaves 0..M alone; k + M is formed as V_(q-1) + (M - S), beside k, so that only one
// subtraction and the minimum lie on the chain from group to group. M - S is written M ^ S (the
// same for S in 0..M), which keeps the compiler from regrouping the sum back onto the chain.
group next_group(group previous, group third, group fourth)
{
    const __m256i modulus = _mm256_set1_epi32(RNG_MODULUS);
    const __m256i order = _mm256_setr_epi32(3, 4, 0, 1, 2, 0, 0, 0);
    __m256i mixed = _mm256_blend_epi32(third, fourth, 0x18);
    __m256i subtracted = _mm256_permutevar8x32_epi32(mixed, order);
    __m256i wrapped = _mm256_xor_si256(modulus, subtracted);
    __m256i k = _mm256_sub_epi32(previous, subtracted);
    return _mm256_min_epu32(k, _mm256_add_epi32(previous, wrapped));
}

// Points inside, in 64-bit lanes.
using tally = __m256i;

// Adds the points among the four pairs at k that lie inside.
tally count_eight(tally inside, const std::int32_t* k)
{
    const __m256d scale = _mm256_set1_pd(RNG_SCALE);
    const __m256d one = _mm256_set1_pd(1.0);
    __m256d a = _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(k)));
    __m256d b = _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(k + 4)));
    a = _mm256_mul_pd(a, scale);
    b = _mm256_mul_pd(b, scale);
    a = _mm256_mul_pd(a, a);
    b = _mm256_mul_pd(b, b);
    // The pairs come out in another order, which a count does not see.
    __m256d sum = _mm256_add_pd(_mm256_unpacklo_pd(a, b), _mm256_unpackhi_pd(a, b));
    __m256d in = _mm256_cmp_pd(sum, one, _CMP_LE_OQ);
    return _mm256_sub_epi64(inside, _mm256_castpd_si256(in));
}

std::int64_t total(tally inside)
{
    alignas(32) std::int64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), inside);
    return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

#elif defined(__SSE2__)

// A group of five values: lanes 0..3 in `low`, lane 4 in lane 0 of `high`.
struct group {
    __m128i low, high;
};

group load_group(const std::int32_t* p)
{
    return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), _mm_cvtsi32_si128(p[4])};
}

void store_group(std::int32_t* p, group v)
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v.low);
    p[4] = _mm_cvtsi128_si32(v.high);
}

// fix(k): k + M = (k & M) - 1 for a negative k; so (k & M) - (k >> 31, logical).
__m128i fix(__m128i k)
{
    const __m128i modulus = _mm_set1_epi32(RNG_MODULUS);
    return _mm_sub_epi32(_mm_and_si128(k, modulus), _mm_srli_epi32(k, 31));
}

group next_group(group previous, group third, group fourth)
{
    // Lanes 3 and 4 of the fourth group, then lanes 0..2 of the third.
    __m128i low = _mm_unpacklo_epi32(_mm_srli_si128(fourth.low, 12), fourth.high);
    low = _mm_unpacklo_epi64(low, third.low);
    __m128i high = _mm_shuffle_epi32(third.low, 2);
    return {fix(_mm_sub_epi32(previous.low, low)), fix(_mm_sub_epi32(previous.high, high))};
}

// Points inside, in 64-bit lanes.
using tally = __m128i;

// Adds the points among the four pairs at k that lie inside.
tally count_eight(tally inside, const std::int32_t* k)
{
    const __m128d scale = _mm_set1_pd(RNG_SCALE);
    const __m128d one = _mm_set1_pd(1.0);
    __m128 a = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(k)));
    __m128 b = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(k + 4)));
    __m128i xs = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
    __m128i ys = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
    __m128d x0 = _mm_mul_pd(_mm_cvtepi32_pd(xs), scale);
    __m128d x1 = _mm_mul_pd(_mm_cvtepi32_pd(_mm_unpackhi_epi64(xs, xs)), scale);
    __m128d y0 = _mm_mul_pd(_mm_cvtepi32_pd(ys), scale);
    __m128d y1 = _mm_mul_pd(_mm_cvtepi32_pd(_mm_unpackhi_epi64(ys, ys)), scale);
    __m128d in0 = _mm_cmple_pd(_mm_add_pd(_mm_mul_pd(x0, x0), _mm_mul_pd(y0, y0)), one);
    __m128d in1 = _mm_cmple_pd(_mm_add_pd(_mm_mul_pd(x1, x1), _mm_mul_pd(y1, y1)), one);
    inside = _mm_sub_epi64(inside, _mm_castpd_si128(in0));
    return _mm_sub_epi64(inside, _mm_castpd_si128(in1));
}

std::int64_t total(tally inside)
{
    alignas(16) std::int64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), inside);
    return lanes[0] + lanes[1];
}

#else

// A group of five values.
struct group {
    std::int32_t value[5];
};

group load_group(const std::int32_t* p)
{
    return {{p[0], p[1], p[2], p[3], p[4]}};
}

void store_group(std::int32_t* p, group v)
{
    for (int i = 0; i < GROUP; ++i)
        p[i] = v.value[i];
}

group next_group(group previous, group third, group fourth)
{
    const std::int32_t subtracted[GROUP] = {fourth.value[3], fourth.value[4], third.value[0],
                                            third.value[1], third.value[2]};
    group next;
    for (int i = 0; i < GROUP; ++i) {
        std::int32_t k = previous.value[i] - subtracted[i];
        next.value[i] = k < 0 ? k + RNG_MODULUS : k;
    }
    return next;
}

using tally = std::int64_t;

tally count_eight(tally inside, const std::int32_t* k)
{
    return inside + count_inside_listed(k, 4);
}

std::int64_t total(tally inside)
{
    return inside;
}

#endif

struct generator_groups {
    group fourth, third, second, first; // V_(q-4) .. V_(q-1)
};

generator_groups start_groups(const history& h)
{
    return {load_group(h.value), load_group(h.value + 5), load_group(h.value + 10),
            load_group(h.value + 15)};
}

// The next group into out.
void advance(generator_groups& v, std::int32_t* out)
{
    group next = next_group(v.first, v.third, v.fourth);
    store_group(out, next);
    v = {v.third, v.second, v.first, next};
}

void draw_step(generator_groups& v, std::int32_t* out)
{
    for (int q = 0; q < STEP_GROUPS; ++q)
        advance(v, out + GROUP * q);
}

// Draws a step into out while counting the values of an earlier step, one or two groups between
// counts: the chain's operations then come first in program order and are not held back behind
// the counting.
void draw_and_count_step(generator_groups& v, std::int32_t* out, tally& inside,
                         const std::int32_t* earlier)
{
    constexpr int COUNTS = STEP_VALUES / 8;
    int q = 0;
#pragma GCC unroll 10
    for (int u = 0; u < COUNTS; ++u) {
#pragma GCC unroll 2
        for (; q < (u + 1) * STEP_GROUPS / COUNTS; ++q)
            advance(v, out + GROUP * q);
        inside = count_eight(inside, earlier + 8 * u);
    }
}

std::int64_t count_inside_circle(lagged_rng& g, std::int64_t pairs)
{
    generator_groups v = start_groups(starting_history(g));
    alignas(64) std::int32_t blocks[2][BLOCK_ROOM];
    std::int32_t* current = blocks[0];
    std::int32_t* next = blocks[1];
    for (int s = 0; s < BLOCK_STEPS; ++s)
        draw_step(v, current + s * STEP_VALUES);
    tally inside{};
    // Each block is counted while the next one is drawn.
    for (; pairs > BLOCK_PAIRS; pairs -= BLOCK_PAIRS) {
        for (int s = 0; s < BLOCK_STEPS; ++s)
            draw_and_count_step(v, next + s * STEP_VALUES, inside, current + s * STEP_VALUES);
        std::swap(current, next);
    }
    std::int64_t counted = 0;
    for (; counted + 4 <= pairs; counted += 4)
        inside = count_eight(inside, current + 2 * counted);
    return total(inside) + count_inside_listed(current + 2 * counted, pairs - counted);
}

#endif

} // namespace

double monte_carlo_pi(std::int32_t samples)
{
    std::unique_ptr<lagged_rng> g = lagged_rng_create(MONTE_CARLO_SEED);
    if (!g)
        fail("out of memory for the Monte Carlo generator");
    std::int64_t count = samples > 0 ? count_inside_circle(*g, samples) : 0;
    lagged_rng_destroy(std::move(g));
    return (static_cast<double>(count) / static_cast<double>(samples)) * 4.0;
}

} // namespace kalvento::KALVENTO_FAST_NS
