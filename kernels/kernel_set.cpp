#include "kernels/kernel_set.h"

#include "kernels/fft.h"
#include "kernels/lu.h"
#include "kernels/monte_carlo.h"
#include "kernels/sor.h"
#include "kernels/sparse.h"
#include "support/exact_arithmetic.h"

namespace kalvento {

const kernel_set& plain_kernels()
{
    static const kernel_set plain{"plain",     fft_forward,    fft_backward, fft_transform_pair,
                                  sor_sweep,   monte_carlo_pi, csr_multiply, matrix_copy,
                                  lu_decompose};
    return plain;
}

} // namespace kalvento
