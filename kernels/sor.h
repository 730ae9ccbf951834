// Successive over-relaxation kernel.
//
// Gauss-Seidel sweeps in place over the interior of a square grid: each point becomes a weighted
// combination of its four neighbours (the point above and the left one already updated in this
// sweep) and its own old value.
#pragma once

#include "kernels/calibration.h"
#include "kernels/kernel_set.h"
#include "support/lagged_rng.h"
#include "support/row_matrix.h"

#include <cstdint>

namespace kalvento {

inline constexpr double SOR_OMEGA = 1.25;

// batch_size sweeps over the m x n grid g; each point becomes
// ((((up + down) + left) + right) * (0.25 * omega)) + (old * (1.0 - omega)).
void sor_sweep(std::int32_t m, std::int32_t n, double omega, row_matrix& g,
               std::int32_t batch_size);

// Six operations for each of (m - 1) x (n - 1) points per sweep.
double sor_flop_count(std::int32_t m, std::int32_t n, std::int32_t batch_size);

// A grid without interior never changes: one attempt, and no rate.
inline bool sor_has_work(std::int32_t n)
{
    return n >= 3;
}

// Operations credited to an attempt of batch_size sweeps over the n x n grid; 0 without work.
double sor_attempt_operations(std::int32_t n, std::int64_t batch_size);

// The SOR measurement: draws an n x n grid, then times sweeps over it.
void bench_sor(std::int32_t n, lagged_rng& g, const calibration& plan, const kernel_set& kernels,
               kernel_result& result);

} // namespace kalvento
