// The generator's streams and seeding, the stopwatch's states, and the vector and matrix fills.

#include "support/cpu_timer.h"
#include "support/lagged_rng.h"
#include "support/memory.h"
#include "support/row_matrix.h"
#include "support/thread_barrier.h"

#include <atomic>
#include <bit>
#include <cstdint>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace kalvento;

namespace {

std::vector<double> first_values(std::int32_t seed, int count)
{
    std::unique_ptr<lagged_rng> g = lagged_rng_create(seed);
    std::vector<double> values;
    for (int i = 0; i < count; ++i)
        values.push_back(lagged_rng_next(*g));
    return values;
}

} // namespace

TEST(LaggedRng, PublishedStreams)
{
    EXPECT_EQ(first_values(101010, 3),
              (std::vector<double>{0.33525962398166753, 0.6972472442766872, 0.9718488529193443}));
    EXPECT_EQ(first_values(113, 3),
              (std::vector<double>{0.2915372323671064, 0.3956656234318696, 0.5019732790542643}));
}

TEST(LaggedRng, SeedingRules)
{
    std::unique_ptr<lagged_rng> g = lagged_rng_create(MAIN_SEED);
    EXPECT_EQ(g->lags[0], 916050621);
    EXPECT_EQ(g->short_lag_index, 4);
    EXPECT_EQ(g->long_lag_index, 16);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(RNG_SCALE), 0x3E00000000200000u);

    // Sign and parity do not matter; the extreme seed is 2^31 - 1.
    EXPECT_EQ(first_values(-101010, 40), first_values(101010, 40));
    EXPECT_EQ(first_values(101009, 40), first_values(101010, 40));
    EXPECT_EQ(first_values(2, 40), first_values(1, 40));
    EXPECT_EQ(first_values(INT32_MIN, 40), first_values(INT32_MAX, 40));
}

TEST(LaggedRng, SeedZeroStaysInRange)
{
    std::unique_ptr<lagged_rng> g = lagged_rng_create(0);
    for (int i = 0; i < 1000; ++i) {
        double v = lagged_rng_next(*g);
        ASSERT_GE(v, 0.0);
        ASSERT_LE(v, 1.0);
    }
}

TEST(LaggedRng, IndicesCycleAndGeneratorsAreIndependent)
{
    std::unique_ptr<lagged_rng> a = lagged_rng_create(MAIN_SEED);
    std::unique_ptr<lagged_rng> b = lagged_rng_create(MAIN_SEED);
    for (int i = 0; i < 17; ++i)
        lagged_rng_next(*a);
    EXPECT_EQ(a->short_lag_index, 4);
    EXPECT_EQ(a->long_lag_index, 16);
    std::vector<double> rest;
    for (int i = 0; i < 5; ++i)
        rest.push_back(lagged_rng_next(*a));
    std::vector<double> fresh = first_values(MAIN_SEED, 22);
    EXPECT_EQ(rest, std::vector<double>(fresh.begin() + 17, fresh.end()));
    EXPECT_EQ(lagged_rng_next(*b), fresh[0]);
}

namespace {

double fake_now = 0.0;
int clock_reads = 0;
double fake_clock()
{
    ++clock_reads;
    return fake_now;
}

struct FakeClock : ::testing::Test {
    void SetUp() override
    {
        fake_now = 10.0;
        clock_reads = 0;
        cpu_clock_override(fake_clock);
    }
    void TearDown() override { cpu_clock_override(nullptr); }
};

} // namespace

TEST_F(FakeClock, StopwatchStates)
{
    std::unique_ptr<cpu_timer> t = cpu_timer_create();
    EXPECT_EQ(cpu_timer_read(*t), 0.0);
    EXPECT_EQ(clock_reads, 0);

    cpu_timer_start(*t);
    fake_now = 11.5;
    cpu_timer_start(*t); // running: no effect
    fake_now = 12.0;
    cpu_timer_stop(*t);
    EXPECT_EQ(cpu_timer_read(*t), 2.0);
    cpu_timer_stop(*t); // stopped: no effect
    EXPECT_EQ(cpu_timer_read(*t), 2.0);

    // A new start clears the total.
    fake_now = 20.0;
    cpu_timer_start(*t);
    EXPECT_EQ(cpu_timer_read(*t), 0.0);

    // Reads while running count nothing twice.
    fake_now = 21.0;
    EXPECT_EQ(cpu_timer_read(*t), 1.0);
    fake_now = 22.0;
    EXPECT_EQ(cpu_timer_read(*t), 2.0);
    fake_now = 23.0;
    cpu_timer_stop(*t);
    EXPECT_EQ(cpu_timer_read(*t), 3.0);
    EXPECT_EQ(t->active, 0);
}

TEST(CpuTimer, RealClockAdvances)
{
    std::unique_ptr<cpu_timer> t = cpu_timer_create();
    cpu_timer_start(*t);
    volatile double sink = 0.0;
    for (int i = 0; i < 20000000 && cpu_timer_read(*t) == 0.0; ++i)
        sink = sink + 1.0;
    cpu_timer_stop(*t);
    EXPECT_GT(cpu_timer_read(*t), 0.0);
}

TEST(RowMatrix, FillsTakeTheStreamInRowMajorOrder)
{
    std::unique_ptr<lagged_rng> g = lagged_rng_create(MAIN_SEED);
    std::vector<double> stream = first_values(MAIN_SEED, 10);
    row_matrix a = matrix_from_rng(2, 3, *g);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_EQ(a[i][j], stream[3 * i + j]);
    block<double> v = vector_from_rng(4, *g);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(v[i], stream[6 + i]);

    // Empty shapes take nothing.
    row_matrix no_rows = matrix_from_rng(0, 5, *g);
    row_matrix empty_rows = matrix_from_rng(3, 0, *g);
    block<double> empty = vector_from_rng(0, *g);
    EXPECT_TRUE(no_rows && empty_rows && empty);
    EXPECT_EQ(lagged_rng_next(*g), first_values(MAIN_SEED, 11)[10]);
}

TEST(RowMatrix, FailedRowReleasesAndKeepsTheValuesTaken)
{
    std::unique_ptr<lagged_rng> g = lagged_rng_create(MAIN_SEED);
    block_alloc_fail_after(3); // the table and two rows
    row_matrix a = matrix_from_rng(4, 5, *g);
    block_alloc_fail_after(-1);
    EXPECT_FALSE(a);
    EXPECT_EQ(lagged_rng_next(*g), first_values(MAIN_SEED, 11)[10]);

    block_alloc_fail_after(0);
    block<double> v = vector_from_rng(5, *g);
    row_matrix b = matrix_alloc(2, 2);
    block_alloc_fail_after(-1);
    EXPECT_FALSE(v);
    EXPECT_FALSE(b);
    EXPECT_EQ(lagged_rng_next(*g), first_values(MAIN_SEED, 12)[11]);
}

TEST(RowMatrix, CopyFollowsTheCurrentRowTables)
{
    for (std::uint32_t n : {1u, 2u, 3u, 4u, 5u, 7u, 8u}) {
        for (std::uint32_t m : {1u, 3u}) {
            std::unique_ptr<lagged_rng> g = lagged_rng_create(MAIN_SEED);
            row_matrix source = matrix_from_rng(m, n, *g);
            row_matrix destination = matrix_alloc(m, n);
            if (m > 1)
                std::swap(destination.rows[0], destination.rows[m - 1]);
            double* first_block = destination.rows[0];
            matrix_copy(m, n, destination, source);
            EXPECT_EQ(destination.rows[0], first_block);
            for (std::uint32_t i = 0; i < m; ++i)
                for (std::uint32_t j = 0; j < n; ++j)
                    ASSERT_EQ(destination[i][j], source[i][j]) << m << "x" << n;
        }
    }
}

TEST(Memory, BlocksAreAlignedAndOversizedRequestsFail)
{
    block<double> b = block_of<double>(3);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.get()) % BLOCK_ALIGNMENT, 0u);
    EXPECT_FALSE(block_of<double>(SIZE_MAX / 4));
}

TEST(ThreadBarrier, EveryPhaseWaitsForThePartyAndADroppedThreadIsNotAwaited)
{
    constexpr int THREADS = 3, PHASES = 200, DROP_AFTER = 50;
    struct count_phases {
        int* phases;
        void operator()() noexcept { ++*phases; }
    };
    int phases = 0;
    thread_barrier<count_phases> barrier(THREADS, count_phases{&phases});
    std::atomic<int> arrivals{0};
    std::atomic<bool> early{false};
    auto party = [&](int thread) {
        for (int phase = 0; phase < PHASES; ++phase) {
            if (thread == 0 && phase == DROP_AFTER) {
                barrier.arrive_and_drop();
                return;
            }
            ++arrivals;
            barrier.arrive_and_wait();
            // Nobody leaves a phase before every member of the party has arrived at it.
            int members = phase < DROP_AFTER ? THREADS : THREADS - 1;
            int before = (phase < DROP_AFTER ? phase + 1 : DROP_AFTER) * THREADS +
                         (phase < DROP_AFTER ? 0 : (phase + 1 - DROP_AFTER) * members);
            if (arrivals.load() < before)
                early = true;
        }
    };
    std::vector<std::thread> threads;
    for (int thread = 0; thread < THREADS; ++thread)
        threads.emplace_back(party, thread);
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_FALSE(early.load());
    EXPECT_EQ(phases, PHASES);
}
