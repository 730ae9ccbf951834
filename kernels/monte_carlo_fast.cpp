// The Monte Carlo kernel, drawing the generator's stream five values at a time.
//
// The recurrence x_n = x_(n-5) - x_(n-17) (plus M = 2^31 - 1 when negative) makes five
// consecutive values independent of each other. Taking them as groups V_q = (x_5q .. x_5q+4):
//   V_q = fix(V_(q-1) - S_q), S_q = lanes 3..4 of V_(q-4) then lanes 0..2 of V_(q-3)
// since 17 = 3 * 5 + 2. Integer arithmetic is exact, so the vector step yields the very integers
// of the one-at-a-time step. Blocks of values go to a small buffer, and the points are then tested
// in vector registers, each value k becoming k * RNG_SCALE and the test x*x + y*y <= 1.0 rounded
// exactly as written. Each block is counted while the next one is drawn.
#include "kernels/fast_kernels.h"
#include "kernels/simd/simd.h"
#include "support/exact_arithmetic.h"
#include "support/failure.h"
#include "support/lagged_rng.h"

#include <cstdint>
#include <utility>

namespace kalvento::KALVENTO_FAST_NS {

namespace {

using namespace simd;

// The points are tested in short vectors: wider ones only cost clock speed here.
using cvec = short_vec;
using ccounts = short_counts;
constexpr int CL = sizeof(cvec) / sizeof(double);

constexpr int GROUP = RNG_SHORT_LAG;

constexpr int STEP_GROUPS = 16;
constexpr int STEP_VALUES = GROUP * STEP_GROUPS;
constexpr int BLOCK_STEPS = 8;
constexpr int BLOCK_VALUES = STEP_VALUES * BLOCK_STEPS;
constexpr std::int64_t BLOCK_PAIRS = BLOCK_VALUES / 2;
// Stores of a group may write eight lanes, three beyond the group.
constexpr int BLOCK_ROOM = BLOCK_VALUES + 8;

// A count tests CL points, whose 2 CL values must divide a step.
constexpr int COUNT_VALUES = 2 * CL;
static_assert(STEP_VALUES % COUNT_VALUES == 0);

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

struct generator_groups {
    group fourth, third, second, first; // V_(q-4) .. V_(q-1)
};

generator_groups start_groups(const history& h)
{
    return {load_group(h.value), load_group(h.value + 5), load_group(h.value + 10),
            load_group(h.value + 15)};
}

// The next group into out.
KALVENTO_INLINE void advance(generator_groups& v, std::int32_t* out)
{
    group next = sub_wrap31(v.first, lag_window(v.fourth, v.third));
    store_group(out, next);
    v = {v.third, v.second, v.first, next};
}

void draw_step(generator_groups& v, std::int32_t* out)
{
    for (int q = 0; q < STEP_GROUPS; ++q)
        advance(v, out + GROUP * q);
}

// Adds the points among the CL pairs at k that lie inside.
KALVENTO_INLINE ccounts count_pairs(ccounts inside, const std::int32_t* k)
{
    const cvec scale = broadcast<cvec>(RNG_SCALE);
    const cvec one = broadcast<cvec>(1.0);
    cvec a = mul(from_int32<cvec>(k), scale);
    cvec b = mul(from_int32<cvec>(k + CL), scale);
    a = mul(a, a);
    b = mul(b, b);
    // The pairs come out in another order, which a count does not see.
    cvec sum = add(interleave_low(a, b), interleave_high(a, b));
    return count_lanes(inside, less_equal(sum, one));
}

// Draws a step into out while counting the values of an earlier step, a few groups between
// counts: the chain's operations then come first in program order and are not held back behind
// the counting.
void draw_and_count_step(generator_groups& v, std::int32_t* out, ccounts& inside,
                         const std::int32_t* earlier)
{
    constexpr int COUNTS = STEP_VALUES / COUNT_VALUES;
    static_for<COUNTS>([&](auto u) KALVENTO_INLINE_LAMBDA {
        constexpr int first = u * STEP_GROUPS / COUNTS;
        constexpr int end = (u + 1) * STEP_GROUPS / COUNTS;
        static_for<end - first>(
            [&](auto q) KALVENTO_INLINE_LAMBDA { advance(v, out + GROUP * (first + q)); });
        inside = count_pairs(inside, earlier + COUNT_VALUES * u);
    });
}

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

std::int64_t count_inside_circle(lagged_rng& g, std::int64_t pairs)
{
    generator_groups v = start_groups(starting_history(g));
    alignas(64) std::int32_t blocks[2][BLOCK_ROOM];
    std::int32_t* current = blocks[0];
    std::int32_t* next = blocks[1];
    for (int s = 0; s < BLOCK_STEPS; ++s)
        draw_step(v, current + s * STEP_VALUES);
    ccounts inside = zero<ccounts>();
    // Each block is counted while the next one is drawn.
    for (; pairs > BLOCK_PAIRS; pairs -= BLOCK_PAIRS) {
        for (int s = 0; s < BLOCK_STEPS; ++s)
            draw_and_count_step(v, next + s * STEP_VALUES, inside, current + s * STEP_VALUES);
        std::swap(current, next);
    }
    std::int64_t counted = 0;
    for (; counted + CL <= pairs; counted += CL)
        inside = count_pairs(inside, current + 2 * counted);
    return total(inside) + count_inside_listed(current + 2 * counted, pairs - counted);
}

} // namespace

double monte_carlo_pi(std::int32_t samples)
{
    std::unique_ptr<lagged_rng> g = lagged_rng_create(MONTE_CARLO_SEED);
    if (!g)
        fail("out of memory for the Monte Carlo generator");
    std::int64_t count = samples > 0 ? count_inside_circle(*g, samples) : 0;
    return (static_cast<double>(count) / static_cast<double>(samples)) * 4.0;
}

} // namespace kalvento::KALVENTO_FAST_NS
