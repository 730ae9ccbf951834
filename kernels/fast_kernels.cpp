#include "kernels/fast_kernels.h"

#include "kernels/simd/simd.h"
#include "support/exact_arithmetic.h"

#include <type_traits>

namespace kalvento::KALVENTO_FAST_NS {

namespace {

// Calls a fast kernel and returns with the vector registers as the code after it expects them
// (on AVX, the upper halves clear), whatever path the compiler took out of the kernel.
template <auto kernel, class Result, class... Args>
Result with_clean_exit(Args... args)
{
    if constexpr (std::is_void_v<Result>) {
        kernel(args...);
        simd::end_of_kernel();
    } else {
        Result result = kernel(args...);
        simd::end_of_kernel();
        return result;
    }
}

} // namespace

const kernel_set& fast_set()
{
    static const kernel_set set{
        KALVENTO_FAST_PATH_NAME,
        with_clean_exit<fft_forward, void, std::int32_t, double*>,
        with_clean_exit<fft_backward, void, std::int32_t, double*>,
        with_clean_exit<fft_transform_pair, void, std::int32_t, double*>,
        with_clean_exit<sor_sweep, void, std::int32_t, std::int32_t, double, row_matrix&,
                        std::int32_t>,
        with_clean_exit<monte_carlo_pi, double, std::int32_t>,
        with_clean_exit<csr_multiply, void, std::int32_t, double*, const double*,
                        const std::int32_t*, const std::int32_t*, const double*, std::int32_t>,
        with_clean_exit<matrix_copy, void, std::uint32_t, std::uint32_t, row_matrix&,
                        const row_matrix&>,
        with_clean_exit<lu_decompose, std::int32_t, std::int32_t, std::int32_t, row_matrix&,
                        std::int32_t*>};
    return set;
}

} // namespace kalvento::KALVENTO_FAST_NS
