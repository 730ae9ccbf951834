// The kernels are timed in processor time: another process busy on the same CPU slows a kernel
// down on the wall clock, to about half, but leaves its rate on the processor clock as it was.

#include "kernels/kernel_set.h"
#include "support/cpu_timer.h"
#include "support/thread_platform.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace kalvento;

namespace {

struct rates {
    double processor; // units of work per processor second
    double wall;      // units of work per wall-clock second
};

// Runs `units` Monte Carlo estimates (computation alone, no memory traffic).
rates measure(int units)
{
    constexpr std::int32_t SAMPLES = 1 << 20;
    volatile double sink = 0.0;
    auto wall_start = std::chrono::steady_clock::now();
    double processor_start = cpu_seconds();
    for (int unit = 0; unit < units; ++unit)
        sink = sink + plain_kernels().monte_carlo_pi(SAMPLES);
    double processor = cpu_seconds() - processor_start;
    double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    return {units / std::max(processor, 1e-9), units / std::max(wall, 1e-9)};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A process that spins on the CPU it inherits until it is killed (or a minute has passed, should
// this test die first).
pid_t start_competitor()
{
    pid_t child = fork();
    if (child == 0) {
        alarm(60);
        volatile unsigned long spins = 0;
        for (;;)
            spins = spins + 1;
    }
    return child;
}

void stop(pid_t child)
{
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

// Alone and beside the competitor in turns, on `cpu`, so that the machine's own load falls on
// both; the medians of each.
void measure_in_turns(int cpu, rates& alone, rates& beside)
{
    ASSERT_EQ(pin_this_thread(cpu), "");
    // About a tenth of a second of work per measurement.
    int units = 1;
    while (units < (1 << 16) && measure(units).processor * 0.1 > units)
        units *= 2;
    std::vector<double> alone_processor, alone_wall, beside_processor, beside_wall;
    for (int round = 0; round < 3; ++round) {
        rates first = measure(units);
        alone_processor.push_back(first.processor);
        alone_wall.push_back(first.wall);
        // Forked from this pinned thread, the competitor inherits its one CPU.
        pid_t competitor = start_competitor();
        ASSERT_GT(competitor, 0) << "fork failed";
        rates second = measure(units);
        stop(competitor);
        beside_processor.push_back(second.processor);
        beside_wall.push_back(second.wall);
    }
    alone = {median(alone_processor), median(alone_wall)};
    beside = {median(beside_processor), median(beside_wall)};
}

} // namespace

TEST(ProcessorTime, ACompetitorOnTheSameCpuDoesNotHalveTheRate)
{
    if (!thread_pinning_supported())
        GTEST_SKIP() << "this platform cannot pin to a CPU";
    std::vector<int> cpus = allowed_cpus();
    ASSERT_FALSE(cpus.empty());
    rates alone{}, beside{};
    // On a thread of its own, so that the pinning ends with it.
    std::thread([&] { measure_in_turns(cpus.back(), alone, beside); }).join();
    if (HasFatalFailure())
        return;

    double processor_ratio = beside.processor / alone.processor;
    double wall_ratio = beside.wall / alone.wall;
    RecordProperty("processor_ratio", std::to_string(processor_ratio));
    RecordProperty("wall_ratio", std::to_string(wall_ratio));
    // The competitor really took about half of the CPU: the wall clock shows it.
    EXPECT_LT(wall_ratio, 0.8) << "processor ratio " << processor_ratio;
    // The processor clock does not.
    EXPECT_GT(processor_ratio, 0.7) << "wall ratio " << wall_ratio;
}
