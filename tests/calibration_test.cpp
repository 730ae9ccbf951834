// The doubling protocol, driven by a clock that the attempts themselves advance.

#include "kernels/calibration.h"

#include <gtest/gtest.h>
#include <vector>

using namespace kalvento;

namespace {

double now = 0.0;
double read_now()
{
    return now;
}

struct Calibration : ::testing::Test {
    void SetUp() override
    {
        now = 0.0;
        cpu_clock_override(read_now);
    }
    void TearDown() override { cpu_clock_override(nullptr); }
    std::unique_ptr<cpu_timer> timer = cpu_timer_create();
};

} // namespace

TEST_F(Calibration, DoublesUntilAnAttemptReachesTheMinimum)
{
    std::vector<std::int32_t> batches;
    final_attempt last = calibrate<std::int32_t>({2.0, 0}, *timer, [&](std::int32_t batch) {
        batches.push_back(batch);
        now += 0.25 * batch; // exactly 2.0 at a batch of 8: equal succeeds
    });
    EXPECT_EQ(batches, (std::vector<std::int32_t>{1, 2, 4, 8}));
    EXPECT_EQ(last.batch_size, 8);
    EXPECT_EQ(last.seconds, 2.0);
}

TEST_F(Calibration, FirstLongAttemptReportsOne)
{
    final_attempt last =
        calibrate<std::int32_t>({0.5, 0}, *timer, [&](std::int32_t) { now += 3.0; });
    EXPECT_EQ(last.batch_size, 1);
    EXPECT_EQ(last.seconds, 3.0);
}

TEST_F(Calibration, DoublingStopsAtTheCounterLimit)
{
    int attempts = 0;
    final_attempt narrow =
        calibrate<std::int32_t>({1.0, 0}, *timer, [&](std::int32_t) { ++attempts; });
    EXPECT_EQ(narrow.batch_size, std::int64_t{1} << 30);
    EXPECT_EQ(attempts, 31);
    EXPECT_EQ(narrow.seconds, 0.0);
    EXPECT_EQ(rate_mflops(1e9, narrow.seconds), 0.0);

    final_attempt wide = calibrate<std::int64_t>({1.0, 0}, *timer, [](std::int64_t) {});
    EXPECT_EQ(wide.batch_size, std::int64_t{1} << 62);
}

TEST_F(Calibration, ReplayRunsTheAttemptsUpToAKnownCount)
{
    std::vector<std::int64_t> batches;
    final_attempt last = calibrate<std::int64_t>({1e-9, 16}, *timer, [&](std::int64_t batch) {
        batches.push_back(batch);
        now += 100.0;
    });
    EXPECT_EQ(batches, (std::vector<std::int64_t>{1, 2, 4, 8, 16}));
    EXPECT_EQ(last.batch_size, 16);
}

TEST(RateMflops, DividesFirst)
{
    // Scaling first would give 0.1 and 4.704479999999999: the order shows in the last bit.
    EXPECT_EQ(rate_mflops(30000.0, 0.3), 0.09999999999999999);
    EXPECT_EQ(rate_mflops(470448.0, 0.1), 4.70448);
    EXPECT_EQ(rate_mflops(5.0, 0.0), 0.0);
    EXPECT_EQ(rate_mflops(5.0, -1.0), 0.0);
}
