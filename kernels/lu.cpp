#include "kernels/lu.h"

#include "support/exact_arithmetic.h"
#include "support/failure.h"

#include <cmath>
#include <utility>

namespace kalvento {

std::int32_t lu_decompose(std::int32_t m, std::int32_t n, row_matrix& matrix, std::int32_t* pivots)
{
    double** a = matrix.rows;
    std::int32_t steps = m < n ? m : n;
    for (std::int32_t j = 0; j < steps; ++j) {
        std::int32_t p = j;
        if (j + 1 < m) {
            double t = std::fabs(a[j][j]);
            for (std::int32_t i = j + 1; i < m; ++i) {
                double candidate = std::fabs(a[i][j]);
                if (candidate > t) {
                    p = i;
                    t = candidate;
                }
            }
        }
        pivots[j] = p;
        if (a[p][j] == 0.0)
            return 1;
        if (p != j)
            std::swap(a[j], a[p]);
        if (j < m - 1) {
            double r = 1.0 / a[j][j];
            for (std::int32_t k = j + 1; k < m; ++k)
                a[k][j] *= r;
        }
        if (j < steps - 1) {
            const double* pivot_row = a[j];
            for (std::int32_t i = j + 1; i < m; ++i) {
                double* row = a[i];
                double multiplier = row[j];
                for (std::int32_t jj = j + 1; jj < n; ++jj)
                    row[jj] -= multiplier * pivot_row[jj];
            }
        }
    }
    return 0;
}

double lu_flop_count(std::int32_t n)
{
    double d = n;
    return (((d + d) * d) * d) / 3.0;
}

double lu_attempt_operations(std::int32_t n, std::int64_t batch_size)
{
    return lu_has_work(n) ? lu_flop_count(n) * static_cast<double>(batch_size) : 0.0;
}

void bench_lu(std::uint32_t n, lagged_rng& g, const calibration& plan, const kernel_set& kernels,
              kernel_result& result)
{
    std::unique_ptr<cpu_timer> timer = cpu_timer_create();
    if (!timer)
        fail("out of memory for LU's stopwatch (M=%u, N=%u)", n, n);
    row_matrix source = matrix_from_rng(n, n, g);
    if (!source)
        fail("out of memory for LU (M=%u, N=%u)", n, n);
    row_matrix work = matrix_alloc(n, n);
    block<std::int32_t> pivots = block_of<std::int32_t>(n);
    if (!work || !pivots)
        fail("out of memory for LU (M=%u, N=%u)", n, n);
    std::uint32_t centre = n >> 1;
    for (std::uint32_t i = 0; i < n; ++i)
        for (std::uint32_t j = 0; j < n; ++j)
            work[i][j] = 0.0;
    for (std::uint32_t i = 0; i < n; ++i) {
        double sum = 0.0;
        for (std::uint32_t j = 0; j < n; ++j)
            sum += std::fabs(source[i][j]);
        source[i][i] = sum * 4.0;
    }

    std::int32_t size = static_cast<std::int32_t>(n);
    bool has_work = lu_has_work(size);
    final_attempt last = calibrate<std::int32_t>(
        has_work ? plan : single_attempt(), *timer, [&](std::int32_t batch_size) {
            if (!has_work)
                return;
            for (std::int32_t r = 0; r < batch_size; ++r) {
                double saved = std::fabs(work[centre][centre]);
                kernels.matrix_copy(n, n, work, source);
                double drawn = source[centre][centre];
                work[centre][centre] = drawn > saved ? drawn : saved;
                kernels.lu_decompose(size, size, work, pivots.get());
            }
        });
    pivots.reset();

    double sum = 0.0;
    for (std::uint32_t i = 0; i < n; ++i)
        for (std::uint32_t j = 0; j < n; ++j)
            sum += work[i][j];
    std::uint64_t cells = std::uint64_t{n} * n;
    result.checksum = has_work ? sum / static_cast<double>(cells) : 0.0;
    result.operations = lu_attempt_operations(size, last.batch_size);
    result.mflops = rate_mflops(result.operations, last.seconds);
    result.seconds = last.seconds;
    result.reps = last.batch_size;
}

} // namespace kalvento
