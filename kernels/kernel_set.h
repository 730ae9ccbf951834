// One implementation of every kernel's unit of work.
//
// The measurements run whichever set they are given: the plain set is the definition, written
// loop for loop as the algorithms are stated; the fast sets compute exactly the same bits. Which
// fast set a run uses is decided in one place, code_path.h.
#pragma once

#include "support/row_matrix.h"

#include <bit>
#include <cstdint>

namespace kalvento {

struct kernel_set {
    const char* name;
    void (*fft_forward)(std::int32_t n, double* data);
    void (*fft_backward)(std::int32_t n, double* data);
    // The FFT's unit of work: fft_forward, then fft_backward, on the same data.
    void (*fft_transform_pair)(std::int32_t n, double* data);
    void (*sor_sweep)(std::int32_t m, std::int32_t n, double omega, row_matrix& g,
                      std::int32_t batch_size);
    double (*monte_carlo_pi)(std::int32_t samples);
    void (*csr_multiply)(std::int32_t n, double* y, const double* entry_value,
                         const std::int32_t* row_start, const std::int32_t* col_index,
                         const double* x, std::int32_t batch_size);
    void (*matrix_copy)(std::uint32_t m, std::uint32_t n, row_matrix& destination,
                        const row_matrix& source);
    std::int32_t (*lu_decompose)(std::int32_t m, std::int32_t n, row_matrix& a,
                                 std::int32_t* pivots);
};

// The plain kernels.
const kernel_set& plain_kernels();

// Whether two results are the same to the last bit (NaNs by their payload, zeros by their sign).
inline bool same_bits(double a, double b)
{
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

} // namespace kalvento
