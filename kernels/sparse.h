// Compressed-row sparse matrix-vector multiply.
//
// An N x N matrix with nr = nz / N entries per row in a fixed, computed column pattern, values
// and input vector drawn from the shared generator. Each multiply adds the product into y, which
// is never reset, and sums every row strictly in the order of its entries.
#pragma once

#include "kernels/calibration.h"
#include "kernels/kernel_set.h"
#include "support/lagged_rng.h"

#include <cstdint>

namespace kalvento {

// batch_size times: for every row r, y[r] += (the row's products x[col] * value, summed in order
// from +0.0).
void csr_multiply(std::int32_t n, double* y, const double* entry_value,
                  const std::int32_t* row_start, const std::int32_t* col_index, const double* x,
                  std::int32_t batch_size);

// Two operations per stored entry, nz - (nz mod n) of them, per multiply.
double csr_flop_count(std::int32_t n, std::int32_t nz, std::int32_t batch_size);

// Without rows there is nothing to multiply.
inline bool sparse_has_work(std::int32_t n)
{
    return n > 0;
}

// Operations credited to an attempt of batch_size multiplies; 0 without work.
double sparse_attempt_operations(std::int32_t n, std::int32_t nz, std::int64_t batch_size);

// The column pattern: row r holds entries r*nr to r*nr + nr - 1, the i-th in column i * step with
// step = max(1, r / nr). Needs nr <= n.
void csr_pattern(std::int32_t n, std::int32_t nr, std::int32_t* row_start, std::int32_t* col_index);

// The sparse measurement: draws x (n values), then the entry values (nr x n), then times
// multiplies accumulating into y.
void bench_sparse(std::uint32_t n, std::uint32_t nz, lagged_rng& g, const calibration& plan,
                  const kernel_set& kernels, kernel_result& result);

} // namespace kalvento
