#include "driver/run.h"

#include "support/failure.h"

#include <algorithm>

namespace kalvento {

bool run_kernel(const kernel_descriptor& kernel, const problem_sizes& sizes,
                const calibration& plan, bool selected, lagged_rng& shared,
                const kernel_set& kernels, kernel_result& result)
{
    if (!selected) {
        for (std::uint64_t draws = kernel.shared_draws(sizes); draws > 0; --draws)
            lagged_rng_step(shared);
        return false;
    }
    kernel.measure(sizes, shared, plan, kernels, result);
    return true;
}

void run_measurement(const problem_sizes& sizes, const run_plans& plans,
                     const kernel_selection& selection, lagged_rng& shared,
                     const kernel_set& kernels,
                     const std::function<void(kernel_id, const kernel_result&)>& measured,
                     const attempt_watch& watch)
{
    for (const kernel_descriptor& kernel : kernel_table()) {
        std::size_t k = kernel_index(kernel.id);
        calibration plan = plans[k];
        if (watch)
            plan.before_attempt = [&watch, id = kernel.id, reps = plan.replay_reps](
                                      std::int64_t batch) { watch(id, batch, reps); };
        kernel_result result;
        if (run_kernel(kernel, sizes, plan, selection[k], shared, kernels, result))
            measured(kernel.id, result);
    }
}

std::array<kernel_result, 5> replay_run(const problem_sizes& sizes,
                                        const kernel_selection& selection, const kernel_reps& reps,
                                        const kernel_set& kernels, const attempt_watch& watch)
{
    run_plans plans;
    for (std::size_t k = 0; k < plans.size(); ++k)
        plans[k] = calibration{0.0, reps[k]};
    lagged_rng shared;
    lagged_rng_seed(shared, MAIN_SEED);
    std::array<kernel_result, 5> results{};
    run_measurement(
        sizes, plans, selection, shared, kernels,
        [&](kernel_id kernel, const kernel_result& result) {
            results[kernel_index(kernel)] = result;
        },
        watch);
    return results;
}

std::uint64_t run_peak_bytes(const problem_sizes& sizes)
{
    std::uint64_t peak = 0;
    for (const kernel_descriptor& kernel : kernel_table())
        peak = std::max(peak, kernel.data_bytes(sizes));
    return peak;
}

void check_memory(const problem_sizes& sizes, std::uint64_t physical_bytes, std::uint64_t copies)
{
    constexpr double MB = 1024.0 * 1024.0;
    // Copies are few (one per CPU) and one copy's peak is far below 2^64 / 2^20.
    std::uint64_t needed = run_peak_bytes(sizes) * copies;
    if (physical_bytes > 0 && needed > physical_bytes)
        fail("these sizes need about %.0f MB of memory at once%s, more than this machine's %.0f MB",
             needed / MB, copies > 1 ? " for all copies" : "", physical_bytes / MB);
}

} // namespace kalvento
