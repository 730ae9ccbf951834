#include "kernels/monte_carlo.h"

#include "support/exact_arithmetic.h"
#include "support/failure.h"
#include "support/lagged_rng.h"

namespace kalvento {

double monte_carlo_pi(std::int32_t samples)
{
    std::unique_ptr<lagged_rng> g = lagged_rng_create(MONTE_CARLO_SEED);
    if (!g)
        fail("out of memory for the Monte Carlo generator");
    std::int32_t count = 0;
    for (std::int32_t s = 0; s < samples; ++s) {
        double x = lagged_rng_next(*g);
        double y = lagged_rng_next(*g);
        if ((x * x) + (y * y) <= 1.0)
            ++count;
    }
    return (static_cast<double>(count) / static_cast<double>(samples)) * 4.0;
}

double monte_carlo_flop_count(std::int32_t samples)
{
    return samples * 4.0;
}

double monte_carlo_attempt_operations(std::int64_t batch_size)
{
    return monte_carlo_flop_count(static_cast<std::int32_t>(batch_size));
}

void bench_monte_carlo(const calibration& plan, const kernel_set& kernels, kernel_result& result)
{
    double sum = 0.0;
    std::unique_ptr<cpu_timer> timer = cpu_timer_create();
    if (!timer)
        fail("out of memory for the Monte Carlo stopwatch");
    final_attempt last = calibrate<std::int32_t>(
        plan, *timer, [&](std::int32_t batch_size) { sum += kernels.monte_carlo_pi(batch_size); });
    result.operations = monte_carlo_attempt_operations(last.batch_size);
    result.mflops = rate_mflops(result.operations, last.seconds);
    result.seconds = last.seconds;
    result.checksum = sum;
    result.reps = last.batch_size;
}

} // namespace kalvento
