#include "kernels/sor.h"

#include "support/exact_arithmetic.h"
#include "support/failure.h"

namespace kalvento {

void sor_sweep(std::int32_t m, std::int32_t n, double omega, row_matrix& g, std::int32_t batch_size)
{
    double a = 0.25 * omega;
    double b = 1.0 - omega;
    for (std::int32_t sweep = 0; sweep < batch_size; ++sweep) {
        for (std::int32_t i = 1; i < m - 1; ++i) {
            const double* up = g[i - 1];
            double* row = g[i];
            const double* down = g[i + 1];
            for (std::int32_t j = 1; j < n - 1; ++j)
                row[j] = ((((up[j] + down[j]) + row[j - 1]) + row[j + 1]) * a) + (row[j] * b);
        }
    }
}

double sor_flop_count(std::int32_t m, std::int32_t n, std::int32_t batch_size)
{
    return (((n - 1.0) * (m - 1.0)) * batch_size) * 6.0;
}

double sor_attempt_operations(std::int32_t n, std::int64_t batch_size)
{
    return sor_has_work(n) ? sor_flop_count(n, n, static_cast<std::int32_t>(batch_size)) : 0.0;
}

void bench_sor(std::int32_t n, lagged_rng& g, const calibration& plan, const kernel_set& kernels,
               kernel_result& result)
{
    std::uint32_t size = static_cast<std::uint32_t>(n);
    row_matrix grid = matrix_from_rng(size, size, g);
    if (!grid)
        fail("out of memory for SOR (%d x %d)", n, n);
    std::unique_ptr<cpu_timer> timer = cpu_timer_create();
    if (!timer)
        fail("out of memory for SOR's stopwatch (%d x %d)", n, n);

    final_attempt last = calibrate<std::int32_t>(
        sor_has_work(n) ? plan : single_attempt(), *timer,
        [&](std::int32_t batch_size) { kernels.sor_sweep(n, n, SOR_OMEGA, grid, batch_size); });

    double sum = 0.0;
    for (std::int32_t i = 0; i < n; ++i)
        for (std::int32_t j = 0; j < n; ++j)
            sum += grid[i][j];
    std::int64_t cells = std::int64_t{n} * n;
    result.operations = sor_attempt_operations(n, last.batch_size);
    result.mflops = rate_mflops(result.operations, last.seconds);
    result.seconds = last.seconds;
    result.checksum = cells > 0 ? sum / static_cast<double>(cells) : 0.0;
    result.reps = last.batch_size;
}

} // namespace kalvento
