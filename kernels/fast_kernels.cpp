#include "kernels/fast_kernels.h"

namespace kalvento::KALVENTO_FAST_NS {

const kernel_set& fast_set()
{
    static const kernel_set set{
        KALVENTO_FAST_PATH_NAME, fft_forward,  fft_backward, fft_transform_pair, sor_sweep,
        monte_carlo_pi,          csr_multiply, matrix_copy,  lu_decompose};
    return set;
}

} // namespace kalvento::KALVENTO_FAST_NS
