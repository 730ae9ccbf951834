#include "driver/run.h"

#include "kernels/fft.h"
#include "kernels/lu.h"
#include "kernels/monte_carlo.h"
#include "kernels/sor.h"
#include "kernels/sparse.h"

namespace kalvento {

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

} // namespace kalvento
