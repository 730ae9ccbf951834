// The fast kernels of one code path.
//
// The *_fast.cpp sources are compiled once per path, each time with that path's instruction set
// and with KALVENTO_FAST_NS naming the path's namespace; code_path.cpp picks one set at run time.
// Every function computes exactly the bits of the plain kernel of the same name.
#pragma once

#include "kernels/kernel_set.h"

#include <cstdint>

namespace kalvento {

#define KALVENTO_DECLARE_FAST_SET(path)                                                            \
    namespace path {                                                                               \
    const kernel_set& fast_set();                                                                  \
    }
KALVENTO_DECLARE_FAST_SET(portable)
KALVENTO_DECLARE_FAST_SET(avx2)
KALVENTO_DECLARE_FAST_SET(avx512)
KALVENTO_DECLARE_FAST_SET(neon)
#undef KALVENTO_DECLARE_FAST_SET

#ifdef KALVENTO_FAST_NS
namespace KALVENTO_FAST_NS {

void fft_forward(std::int32_t n, double* data);
void fft_backward(std::int32_t n, double* data);
void fft_transform_pair(std::int32_t n, double* data);
void sor_sweep(std::int32_t m, std::int32_t n, double omega, row_matrix& g,
               std::int32_t batch_size);
double monte_carlo_pi(std::int32_t samples);
void csr_multiply(std::int32_t n, double* y, const double* entry_value,
                  const std::int32_t* row_start, const std::int32_t* col_index, const double* x,
                  std::int32_t batch_size);
void matrix_copy(std::uint32_t m, std::uint32_t n, row_matrix& destination,
                 const row_matrix& source);
std::int32_t lu_decompose(std::int32_t m, std::int32_t n, row_matrix& a, std::int32_t* pivots);

} // namespace KALVENTO_FAST_NS
#endif

} // namespace kalvento
