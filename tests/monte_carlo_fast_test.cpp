// The fast monte carlo kernel against the plain one, bit for bit.

#include "differential.h"
#include "kernels/kernel_set.h"
#include "kernels/monte_carlo.h"

#include <cmath>
#include <gtest/gtest.h>
#include <vector>

using namespace kalvento;
using namespace kalvento::testing;

TEST(MonteCarloFast, SameBitsAsPlainForEveryCountUpTo200)
{
    for_each_code_path([](const kernel_set& fast) {
        for (std::int32_t samples = 1; samples <= 200; ++samples)
            ASSERT_TRUE(same_bits(fast.monte_carlo_pi(samples), monte_carlo_pi(samples)))
                << samples;
    });
}

TEST(MonteCarloFast, NoSamplesAndNegativeCounts)
{
    for_each_code_path([](const kernel_set& fast) {
        EXPECT_TRUE(std::isnan(fast.monte_carlo_pi(0)));
        for (std::int32_t samples : {-1, -7, -1000, INT32_MIN}) {
            EXPECT_TRUE(same_bits(fast.monte_carlo_pi(samples), -0.0)) << samples;
            EXPECT_TRUE(same_bits(fast.monte_carlo_pi(samples), monte_carlo_pi(samples)));
        }
    });
}

// Powers of two as the calibration passes them, and counts that end a block or a vector step
// anywhere.
TEST(MonteCarloFast, SameBitsAsPlainForLargeCounts)
{
    std::vector<std::int32_t> counts;
    for (std::int32_t samples = 256; samples <= (1 << 22); samples *= 2)
        counts.insert(counts.end(), {samples - 1, samples, samples + 1});
    counts.insert(counts.end(), {319, 320, 321, 639, 641, 12345, 99999, 1000003, 3141593});
    std::vector<double> plain;
    for (std::int32_t samples : counts)
        plain.push_back(monte_carlo_pi(samples));
    for_each_code_path([&](const kernel_set& fast) {
        for (std::size_t i = 0; i < counts.size(); ++i)
            EXPECT_TRUE(same_bits(fast.monte_carlo_pi(counts[i]), plain[i])) << counts[i];
    });
}

TEST(MonteCarloFast, PublishedEstimatesAndChecksums)
{
    for_each_code_path([](const kernel_set& fast) {
        for (std::int32_t samples : {1, 2, 4, 8})
            EXPECT_EQ(fast.monte_carlo_pi(samples), 4.0);
        EXPECT_EQ(fast.monte_carlo_pi(16), 3.5);
        EXPECT_EQ(fast.monte_carlo_pi(1000), 3.16);
        EXPECT_EQ(fast.monte_carlo_pi(4096), 3.1396484375);
        struct row {
            std::int64_t reps;
            double checksum;
        };
        for (const row& r :
             {row{1, 4.0}, row{16, 19.5}, row{1024, 39.1171875}, row{65536, 57.93206787109375}}) {
            kernel_result result;
            bench_monte_carlo({0.0, r.reps}, fast, result);
            EXPECT_EQ(result.checksum, r.checksum) << r.reps;
            EXPECT_EQ(result.reps, r.reps);
        }
    });
}

// The AVX-512 path carries the generator unreduced and reduces each value for counting with one
// fold, which lands outside 0..2^31-2 for a few values in a billion; their block is then counted
// again exactly. With blocks of 320 points the first such value lies in block 174,582: these
// counts end exactly with that block and one point after it.
TEST(MonteCarloFast, SameBitsAsPlainAcrossAnExactRecount)
{
    for (std::int32_t samples : {55866240, 55866241}) {
        double plain = monte_carlo_pi(samples);
        for_each_code_path([&](const kernel_set& fast) {
            EXPECT_TRUE(same_bits(fast.monte_carlo_pi(samples), plain)) << samples;
        });
    }
}
