// Helpers shared by the kernel tests.
#pragma once

#include "support/lagged_rng.h"
#include "support/row_matrix.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>

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

// Runs `call` in a child process and checks that it exits with `status` after writing exactly
// `expected_stdout` to standard output.
inline void expect_exit_with_output(const std::function<void()>& call, int status,
                                    const std::string& expected_stdout)
{
    char path[] = "/tmp/kalvento_test_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    EXPECT_EXIT(
        {
            std::fflush(stdout);
            dup2(fd, 1);
            call();
        },
        ::testing::ExitedWithCode(status), "");
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), expected_stdout);
    close(fd);
    unlink(path);
}

} // namespace kalvento::testing
