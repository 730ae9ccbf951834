#include "kernels/sparse.h"

#include "support/exact_arithmetic.h"
#include "support/failure.h"
#include "support/row_matrix.h"

#include <cstdint>
#include <utility>

namespace kalvento {

void csr_multiply(std::int32_t n, double* y, const double* entry_value,
                  const std::int32_t* row_start, const std::int32_t* col_index, const double* x,
                  std::int32_t batch_size)
{
    for (std::int32_t rep = 0; rep < batch_size; ++rep) {
        for (std::int32_t r = 0; r < n; ++r) {
            double sum = 0.0;
            for (std::int32_t k = row_start[r]; k < row_start[r + 1]; ++k)
                sum += x[col_index[k]] * entry_value[k];
            y[r] += sum;
        }
    }
}

double csr_flop_count(std::int32_t n, std::int32_t nz, std::int32_t batch_size)
{
    // Without rows nothing is stored.
    std::int32_t stored = n > 0 ? nz - nz % n : 0;
    return batch_size * (2.0 * stored);
}

double sparse_attempt_operations(std::int32_t n, std::int32_t nz, std::int64_t batch_size)
{
    return sparse_has_work(n) ? csr_flop_count(n, nz, static_cast<std::int32_t>(batch_size)) : 0.0;
}

void csr_pattern(std::int32_t n, std::int32_t nr, std::int32_t* row_start, std::int32_t* col_index)
{
    row_start[0] = 0;
    for (std::int32_t r = 0; r < n; ++r) {
        row_start[r + 1] = row_start[r] + nr;
        std::int32_t step = nr > 0 ? r / nr : 0;
        if (step < 1)
            step = 1;
        for (std::int32_t i = 0; i < nr; ++i)
            col_index[r * nr + i] = i * step;
    }
}

void bench_sparse(std::uint32_t n, std::uint32_t nz, lagged_rng& g, const calibration& plan,
                  const kernel_set& kernels, kernel_result& result)
{
    std::uint32_t nr = n > 0 ? nz / n : 0;
    if (nr > n || nz > INT32_MAX)
        fail("the sparse matrix (N=%u, nz=%u) cannot be built: it needs nz / N <= N and "
             "nz < 2^31",
             n, nz);

    block<double> x = vector_from_rng(n, g);
    block<double> y = block_of<double>(n);
    if (!x || !y)
        fail("out of memory for the sparse matrix (N=%u, nz=%u)", n, nz);
    block<double> entry_value = vector_from_rng(nr * n, g);
    block<std::int32_t> col_index = block_of<std::int32_t>(nz);
    block<std::int32_t> row_start = block_of<std::int32_t>(std::size_t{n} + 1);
    if (!entry_value || !col_index || !row_start)
        fail("out of memory for the sparse matrix (N=%u, nz=%u)", n, nz);
    std::unique_ptr<cpu_timer> timer = cpu_timer_create();
    if (!timer)
        fail("out of memory for the sparse stopwatch (N=%u, nz=%u)", n, nz);
    std::int32_t rows = static_cast<std::int32_t>(n);
    for (std::int32_t r = 0; r < rows; ++r)
        y[r] = 0.0;
    csr_pattern(rows, static_cast<std::int32_t>(nr), row_start.get(), col_index.get());

    bool has_work = sparse_has_work(rows);
    final_attempt last = calibrate<std::int32_t>(
        has_work ? plan : single_attempt(), *timer, [&](std::int32_t batch_size) {
            kernels.csr_multiply(rows, y.get(), entry_value.get(), row_start.get(), col_index.get(),
                                 x.get(), batch_size);
        });
    result.operations =
        sparse_attempt_operations(rows, static_cast<std::int32_t>(nz), last.batch_size);
    result.mflops = rate_mflops(result.operations, last.seconds);
    result.seconds = last.seconds;

    double sum = 0.0;
    for (std::int32_t r = 0; r < rows; ++r)
        sum += y[r];
    result.checksum = has_work ? sum / static_cast<double>(rows) : 0.0;
    result.reps = last.batch_size;
}

} // namespace kalvento
