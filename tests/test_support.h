// Helpers shared by the kernel tests.
#pragma once

#include "support/failure.h"
#include "support/lagged_rng.h"
#include "support/row_matrix.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>

namespace kalvento::testing {

// A generator seeded like the shared one and stepped `steps` times.
inline lagged_rng advanced_generator(std::int64_t steps, std::int32_t seed = MAIN_SEED)
{
    lagged_rng g;
    lagged_rng_seed(g, seed);
    for (std::int64_t i = 0; i < steps; ++i)
        lagged_rng_step(g);
    return g;
}

inline bool same_state(const lagged_rng& a, const lagged_rng& b)
{
    for (int i = 0; i < RNG_LAGS; ++i)
        if (a.lags[i] != b.lags[i])
            return false;
    return a.short_lag_index == b.short_lag_index && a.long_lag_index == b.long_lag_index;
}

// The mean of the n x n grid in row order, as the SOR checksum takes it.
inline double grid_mean(const row_matrix& g, int n)
{
    double sum = 0.0;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            sum += g[i][j];
    return sum / (n * n);
}

// Checks that `call` throws the FFT's length failure with exactly `message`, which the entry point
// writes to standard output.
inline void expect_length_failure(const std::function<void()>& call, const std::string& message)
{
    try {
        call();
        ADD_FAILURE() << "no failure for " << message;
    } catch (const report_failure& failure) {
        EXPECT_EQ(std::string(failure.what()), message);
    }
}

} // namespace kalvento::testing
