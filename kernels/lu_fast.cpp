#include "kernels/fast_kernels.h"
#include "kernels/lu.h"

namespace kalvento::KALVENTO_FAST_NS {

void matrix_copy(std::uint32_t m, std::uint32_t n, row_matrix& destination,
                 const row_matrix& source)
{
    kalvento::matrix_copy(m, n, destination, source);
}

std::int32_t lu_decompose(std::int32_t m, std::int32_t n, row_matrix& a, std::int32_t* pivots)
{
    return kalvento::lu_decompose(m, n, a, pivots);
}

} // namespace kalvento::KALVENTO_FAST_NS
