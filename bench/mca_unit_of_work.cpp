// One unit of work of one fast kernel at the default sizes, with the benchmark's own data, and
// nothing else: bench/llvm_mca_estimates.sh runs it under qemu to count how often each loop of
// the kernel runs in a whole call.
// Built for one kernel at a time (-DKALVENTO_UNIT=fft, sor, monte_carlo, sparse or lu), so that
// it links with that kernel's sources alone. The FFT's length can be given (the -large one is
// where its long stages begin to count): mca_unit_of_work [POINTS].
#include "kernels/fast_kernels.h"
#include "kernels/sor.h"
#include "kernels/sparse.h"
#include "support/lagged_rng.h"
#include "support/row_matrix.h"

#include <cstdint>
#include <cstdlib>

namespace {

using namespace kalvento;

constexpr std::int32_t FFT_POINTS = 1024;
constexpr std::int32_t FFT_LARGEST = 1 << 22;
constexpr std::uint32_t GRID_SIZE = 100;
constexpr std::int32_t SPARSE_ROWS = 1000;
constexpr std::int32_t SPARSE_NONZEROS = 5000;
// Calibration makes the batches of a timed run far longer than one sweep or one multiply; a few
// show what a batch costs per unit without the cost of entering a call dominating.
constexpr std::int32_t BATCH = 4;
constexpr std::int32_t SAMPLES = 4096;

[[maybe_unused]] int fft(std::int32_t points)
{
    lagged_rng g;
    lagged_rng_seed(g, MAIN_SEED);
    block<double> data = vector_from_rng(2 * static_cast<std::uint32_t>(points), g);
    KALVENTO_FAST_NS::fft_transform_pair(2 * points, data.get());
    return data[0] != data[0];
}

[[maybe_unused]] int sor(std::int32_t)
{
    lagged_rng g;
    lagged_rng_seed(g, MAIN_SEED);
    row_matrix grid = matrix_from_rng(GRID_SIZE, GRID_SIZE, g);
    KALVENTO_FAST_NS::sor_sweep(GRID_SIZE, GRID_SIZE, SOR_OMEGA, grid, BATCH);
    return grid[1][1] != grid[1][1];
}

[[maybe_unused]] int monte_carlo(std::int32_t)
{
    return KALVENTO_FAST_NS::monte_carlo_pi(SAMPLES) > 4.0;
}

[[maybe_unused]] int sparse(std::int32_t)
{
    constexpr std::int32_t PER_ROW = SPARSE_NONZEROS / SPARSE_ROWS;
    lagged_rng g;
    lagged_rng_seed(g, MAIN_SEED);
    block<double> x = vector_from_rng(SPARSE_ROWS, g);
    block<double> y = block_of<double>(SPARSE_ROWS);
    block<double> entry_value = vector_from_rng(PER_ROW * SPARSE_ROWS, g);
    block<std::int32_t> col_index = block_of<std::int32_t>(SPARSE_NONZEROS);
    block<std::int32_t> row_start = block_of<std::int32_t>(SPARSE_ROWS + 1);
    csr_pattern(SPARSE_ROWS, PER_ROW, row_start.get(), col_index.get());
    KALVENTO_FAST_NS::csr_multiply(SPARSE_ROWS, y.get(), entry_value.get(), row_start.get(),
                                   col_index.get(), x.get(), BATCH);
    return y[0] != y[0];
}

[[maybe_unused]] int lu(std::int32_t)
{
    lagged_rng g;
    lagged_rng_seed(g, MAIN_SEED);
    row_matrix a = matrix_from_rng(GRID_SIZE, GRID_SIZE, g);
    std::int32_t pivots[GRID_SIZE];
    return KALVENTO_FAST_NS::lu_decompose(GRID_SIZE, GRID_SIZE, a, pivots) != 0;
}

} // namespace

int main(int argc, char** argv)
{
    long points = argc > 1 ? std::strtol(argv[1], nullptr, 10) : FFT_POINTS;
    if (points < 2 || points > FFT_LARGEST || (points & (points - 1)) != 0)
        return 2;
    return KALVENTO_UNIT(static_cast<std::int32_t>(points));
}
