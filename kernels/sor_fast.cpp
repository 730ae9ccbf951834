#include "kernels/fast_kernels.h"
#include "kernels/sor.h"

namespace kalvento::KALVENTO_FAST_NS {

void sor_sweep(std::int32_t m, std::int32_t n, double omega, row_matrix& g, std::int32_t batch_size)
{
    kalvento::sor_sweep(m, n, omega, g, batch_size);
}

} // namespace kalvento::KALVENTO_FAST_NS
