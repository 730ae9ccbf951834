// Monte Carlo estimate of pi.
//
// Points of the unit square come in (x, y) pairs from a private generator seeded with
// MONTE_CARLO_SEED on every call, so a call with a given sample count always returns the same
// estimate; the kernel never touches the shared generator.
#pragma once

#include "kernels/calibration.h"
#include "kernels/kernel_set.h"

#include <cstdint>

namespace kalvento {

// 4 x (points with x*x + y*y <= 1) / samples.
double monte_carlo_pi(std::int32_t samples);

// Four operations per sample.
double monte_carlo_flop_count(std::int32_t samples);

// Operations credited to an attempt of batch_size samples; every attempt has work.
double monte_carlo_attempt_operations(std::int64_t batch_size);

// The Monte Carlo measurement; its checksum is the sum of the estimates of all attempts.
void bench_monte_carlo(const calibration& plan, const kernel_set& kernels, kernel_result& result);

} // namespace kalvento
