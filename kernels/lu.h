// Dense LU factorisation with partial pivoting.
//
// Right-looking, in place on a row matrix: rows are exchanged by exchanging pointers, the
// multipliers are products with one reciprocal per column, and every element receives its updates
// in increasing step order, each product rounded before its subtraction.
#pragma once

#include "kernels/calibration.h"
#include "kernels/kernel_set.h"
#include "support/lagged_rng.h"
#include "support/row_matrix.h"

#include <cstdint>

namespace kalvento {

// Factors the m x n matrix a in place; pivots[j] receives the row chosen at step j. Returns 1 as
// soon as a step finds an exactly zero pivot (after setting its pivot entry, before any exchange),
// 0 otherwise.
std::int32_t lu_decompose(std::int32_t m, std::int32_t n, row_matrix& a, std::int32_t* pivots);

// 2N^3 / 3, not rounded to an integer.
double lu_flop_count(std::int32_t n);

// An empty matrix has no centre element and nothing to factor.
inline bool lu_has_work(std::int32_t n)
{
    return n > 0;
}

// Operations credited to an attempt of batch_size factorisations; 0 without work.
double lu_attempt_operations(std::int32_t n, std::int64_t batch_size);

// The LU measurement: draws an n x n matrix, makes it diagonally dominant, then times
// copy-adjust-factor repetitions on a working matrix.
void bench_lu(std::uint32_t n, lagged_rng& g, const calibration& plan, const kernel_set& kernels,
              kernel_result& result);

} // namespace kalvento
