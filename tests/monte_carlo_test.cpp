// Monte Carlo: the published estimates and checksums by repetition count.

#include "kernels/monte_carlo.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace kalvento;

TEST(MonteCarlo, PublishedEstimates)
{
    for (std::int32_t samples : {1, 2, 4, 8})
        EXPECT_EQ(monte_carlo_pi(samples), 4.0);
    EXPECT_EQ(monte_carlo_pi(16), 3.5);
    EXPECT_EQ(monte_carlo_pi(1000), 3.16);
    EXPECT_EQ(monte_carlo_pi(4096), 3.1396484375);
    // Every call starts a generator of its own: a call after others gives the same estimate.
    EXPECT_EQ(monte_carlo_pi(1000), 3.16);
    EXPECT_TRUE(std::signbit(monte_carlo_pi(-3)));
}

TEST(MonteCarlo, ChecksumsByRepetitionCount)
{
    struct row {
        std::int64_t reps;
        double checksum;
    };
    for (const row& r :
         {row{1, 4.0}, row{16, 19.5}, row{1024, 39.1171875}, row{65536, 57.93206787109375}}) {
        kernel_result result;
        bench_monte_carlo({0.0, r.reps}, plain_kernels(), result);
        EXPECT_EQ(result.checksum, r.checksum) << r.reps;
        EXPECT_EQ(result.reps, r.reps);
    }
    EXPECT_EQ(monte_carlo_flop_count(1), 4.0);
    EXPECT_EQ(monte_carlo_flop_count(1048576), 4194304.0);
}
