#include "kernels/fast_kernels.h"
#include "kernels/sparse.h"

namespace kalvento::KALVENTO_FAST_NS {

void csr_multiply(std::int32_t n, double* y, const double* entry_value,
                  const std::int32_t* row_start, const std::int32_t* col_index, const double* x,
                  std::int32_t batch_size)
{
    kalvento::csr_multiply(n, y, entry_value, row_start, col_index, x, batch_size);
}

} // namespace kalvento::KALVENTO_FAST_NS
