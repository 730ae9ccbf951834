// The lagged subtractive random generator that feeds every kernel's data.
//
// A lagged-Fibonacci generator over 31-bit integers with lags 5 and 17, seeded by a multiplicative
// congruential generator (multiplier 9069, modulus 2^31). Each step yields an integer k from 0 to
// 2^31 - 1 and hands out k * RNG_SCALE. The stream is part of the observable behaviour: it fixes
// every kernel's input and through it every checksum.
#pragma once

#include <cstdint>
#include <memory>

namespace kalvento {

inline constexpr std::int32_t MAIN_SEED = 101010;
inline constexpr std::int32_t MONTE_CARLO_SEED = 113;
inline constexpr std::int32_t RNG_MODULUS = 2147483647; // 2^31 - 1
inline constexpr int RNG_LAGS = 17;
inline constexpr int RNG_SHORT_LAG = 5;
// 1 / (2^31 - 1) rounded to double: slightly above 2^-31, so that 2^31 - 1 maps to exactly 1.0.
inline constexpr double RNG_SCALE = 1.0 / 2147483647.0;

struct lagged_rng {
    std::int32_t lags[RNG_LAGS];
    std::int32_t short_lag_index; // the value subtracted from
    std::int32_t long_lag_index;  // the value subtracted, and where the result goes
};

// Fills a generator in place; lagged_rng_create and callers that keep a generator on the stack
// share it. Seed 0 (never used by a run) is taken as seed 1, which keeps the lag table in
// range; every other seed follows the seeding rule exactly.
void lagged_rng_seed(lagged_rng& g, std::int32_t seed);

// Null when the record cannot be allocated.
std::unique_ptr<lagged_rng> lagged_rng_create(std::int32_t seed);

// One step of the recurrence: the next integer of the stream, 0 to 2^31 - 1.
inline std::int32_t lagged_rng_step(lagged_rng& g)
{
    std::int32_t k = g.lags[g.short_lag_index] - g.lags[g.long_lag_index];
    if (k < 0)
        k += RNG_MODULUS;
    g.lags[g.long_lag_index] = k;
    g.short_lag_index = g.short_lag_index == 0 ? RNG_LAGS - 1 : g.short_lag_index - 1;
    g.long_lag_index = g.long_lag_index == 0 ? RNG_LAGS - 1 : g.long_lag_index - 1;
    return k;
}

// The next value of the stream, from 0.0 to 1.0 inclusive.
inline double lagged_rng_next(lagged_rng& g)
{
    return static_cast<double>(lagged_rng_step(g)) * RNG_SCALE;
}

} // namespace kalvento
