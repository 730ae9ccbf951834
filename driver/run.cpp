#include "driver/run.h"

#include "kernels/fft.h"
#include "kernels/lu.h"
#include "kernels/monte_carlo.h"
#include "kernels/sor.h"
#include "kernels/sparse.h"
#include "support/failure.h"

#include <algorithm>
#include <unistd.h>

namespace kalvento {

const char* kernel_name(kernel_id kernel)
{
    static const char* const NAMES[] = {"fft", "sor", "montecarlo", "sparse", "lu"};
    return NAMES[kernel_index(kernel)];
}

const char* kernel_label(kernel_id kernel)
{
    static const char* const LABELS[] = {"FFT", "SOR", "MonteCarlo", "Sparse matmult", "LU"};
    return LABELS[kernel_index(kernel)];
}

kernel_result measure_kernel(kernel_id kernel, const problem_sizes& sizes, lagged_rng& shared,
                             const calibration& plan, const kernel_set& kernels)
{
    kernel_result result;
    switch (kernel) {
    case kernel_id::fft:
        bench_fft(sizes.fft_points, shared, plan, kernels, result);
        break;
    case kernel_id::sor:
        bench_sor(sizes.grid_size, shared, plan, kernels, result);
        break;
    case kernel_id::monte_carlo:
        bench_monte_carlo(plan, kernels, result);
        break;
    case kernel_id::sparse:
        bench_sparse(static_cast<std::uint32_t>(sizes.sparse_rows),
                     static_cast<std::uint32_t>(sizes.sparse_nonzeros), shared, plan, kernels,
                     result);
        break;
    case kernel_id::lu:
        bench_lu(static_cast<std::uint32_t>(sizes.grid_size), shared, plan, kernels, result);
        break;
    }
    return result;
}

void run_measurement(const problem_sizes& sizes, const run_plans& plans,
                     const kernel_selection& selection, lagged_rng& shared,
                     const kernel_set& kernels,
                     const std::function<void(kernel_id, const kernel_result&)>& measured)
{
    for (kernel_id kernel : RUN_ORDER) {
        std::size_t k = kernel_index(kernel);
        if (selection[k]) {
            measured(kernel, measure_kernel(kernel, sizes, shared, plans[k], kernels));
        } else {
            for (std::uint64_t draws = shared_draws(kernel, sizes); draws > 0; --draws)
                lagged_rng_step(shared);
        }
    }
}

std::array<kernel_result, 5> replay_run(const problem_sizes& sizes,
                                        const kernel_selection& selection, const kernel_reps& reps,
                                        const kernel_set& kernels)
{
    run_plans plans;
    for (std::size_t k = 0; k < plans.size(); ++k)
        plans[k] = calibration{0.0, reps[k]};
    lagged_rng shared;
    lagged_rng_seed(shared, MAIN_SEED);
    std::array<kernel_result, 5> results{};
    run_measurement(sizes, plans, selection, shared, kernels,
                    [&](kernel_id kernel, const kernel_result& result) {
                        results[kernel_index(kernel)] = result;
                    });
    return results;
}

std::uint64_t shared_draws(kernel_id kernel, const problem_sizes& sizes)
{
    std::uint64_t grid = static_cast<std::uint64_t>(sizes.grid_size);
    std::uint64_t rows = static_cast<std::uint64_t>(sizes.sparse_rows);
    std::uint64_t per_row = rows > 0 ? static_cast<std::uint64_t>(sizes.sparse_nonzeros) / rows : 0;
    switch (kernel) {
    case kernel_id::fft:
        return 2 * static_cast<std::uint64_t>(sizes.fft_points);
    case kernel_id::sor:
    case kernel_id::lu:
        return grid * grid;
    case kernel_id::monte_carlo:
        return 0;
    case kernel_id::sparse:
        return rows + per_row * rows;
    }
    return 0;
}

std::uint64_t kernel_bytes(kernel_id kernel, const problem_sizes& sizes)
{
    constexpr std::uint64_t D = sizeof(double);
    constexpr std::uint64_t I = sizeof(std::int32_t);
    std::uint64_t grid = static_cast<std::uint64_t>(sizes.grid_size);
    std::uint64_t rows = static_cast<std::uint64_t>(sizes.sparse_rows);
    switch (kernel) {
    case kernel_id::fft:
        return 2 * static_cast<std::uint64_t>(sizes.fft_points) * D;
    case kernel_id::sor:
        return grid * grid * D + grid * sizeof(double*);
    case kernel_id::monte_carlo:
        return 0;
    case kernel_id::sparse:
        return (shared_draws(kernel, sizes) + rows) * D +
               (static_cast<std::uint64_t>(sizes.sparse_nonzeros) + rows + 1) * I;
    case kernel_id::lu:
        return 2 * (grid * grid * D + grid * sizeof(double*)) + grid * I;
    }
    return 0;
}

std::uint64_t run_peak_bytes(const problem_sizes& sizes)
{
    std::uint64_t peak = 0;
    for (kernel_id kernel : RUN_ORDER)
        peak = std::max(peak, kernel_bytes(kernel, sizes));
    return peak;
}

std::uint64_t physical_memory_bytes()
{
    long pages = sysconf(_SC_PHYS_PAGES);
    long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0)
        return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

void check_memory(const problem_sizes& sizes, std::uint64_t physical_bytes)
{
    constexpr double MB = 1024.0 * 1024.0;
    std::uint64_t needed = run_peak_bytes(sizes);
    if (physical_bytes > 0 && needed > physical_bytes)
        fail("these sizes need about %.0f MB of memory at once, more than this machine's %.0f MB",
             needed / MB, physical_bytes / MB);
}

} // namespace kalvento
