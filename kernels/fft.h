// Complex radix-2 FFT kernel.
//
// In-place decimation in time on interleaved data (double 2k is the real part of point k, 2k + 1
// its imaginary part). Lengths n count doubles; point counts N = n / 2 must be powers of two.
// Each stage calls sin at most twice and reaches every other twiddle factor by a fixed
// recurrence, so the results depend on the exact order of every operation below.
#pragma once

#include "kernels/calibration.h"
#include "kernels/kernel_set.h"
#include "support/lagged_rng.h"

#include <cstdint>

namespace kalvento {

inline constexpr double FFT_PI = 3.141592653589793;
// The largest point count whose vector length 2N still fits a signed 32-bit integer.
inline constexpr std::int32_t FFT_MAX_POINTS = 1 << 29;

// log2 of a point count; a count that is not a power of two (zero and negative counts included)
// throws a report_failure "FFT: Data length is not a power of 2!: N ", which the entry point
// writes to standard output before it exits with status 1.
int fft_log2(std::int32_t points);

// Operations credited to one transform of N points: (5N - 2) log2 N + 2(N + 1).
double fft_flop_count(std::int32_t points);

// The FFT's doubling counter is 64 bits wide, the other kernels' 32.
using fft_batch = std::int64_t;

// One point transforms to itself: there is nothing to time.
inline bool fft_has_work(std::int32_t points)
{
    return points > 1;
}

// Operations credited to an attempt of batch_size transform pairs; 0 without work.
double fft_attempt_operations(std::int32_t points, std::int64_t batch_size);

// Puts the n / 2 points into bit-reversed order.
void fft_reorder(std::int32_t n, double* data);

// Unscaled transform; direction -1 is forward, +1 inverse.
void fft_core(std::int32_t n, double* data, std::int32_t direction);
void fft_forward(std::int32_t n, double* data);
// The inverse transform, scaled by 1 / (n / 2).
void fft_backward(std::int32_t n, double* data);
// The measurement's unit of work: fft_forward, then fft_backward.
void fft_transform_pair(std::int32_t n, double* data);

// The FFT measurement: draws 2N values, then times forward-inverse pairs on them.
void bench_fft(std::int32_t points, lagged_rng& g, const calibration& plan,
               const kernel_set& kernels, kernel_result& result);

} // namespace kalvento
