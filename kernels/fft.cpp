#include "kernels/fft.h"

#include "support/exact_arithmetic.h"
#include "support/failure.h"
#include "support/row_matrix.h"

#include <cmath>
#include <utility>

namespace kalvento {

int fft_log2(std::int32_t points)
{
    // A 64-bit counter, so that counts above 2^30 end in the message rather than an overflow.
    std::int64_t c = 1;
    int log = 0;
    while (c < points) {
        c *= 2;
        ++log;
    }
    if (c != points)
        fail_in_report("FFT: Data length is not a power of 2!: %d ", points);
    return log;
}

double fft_flop_count(std::int32_t points)
{
    int log = fft_log2(points);
    double a = 5.0 * points - 2.0;
    double b = a * log;
    double d = (points + 1.0) + (points + 1.0);
    return d + b;
}

double fft_attempt_operations(std::int32_t points, std::int64_t batch_size)
{
    return fft_has_work(points) ? fft_flop_count(points) * static_cast<double>(batch_size) : 0.0;
}

void fft_reorder(std::int32_t n, double* data)
{
    std::int32_t points = n / 2;
    std::int32_t j = 0;
    for (std::int32_t i = 0; i < points - 1; ++i) {
        if (i < j) {
            std::swap(data[2 * i], data[2 * j]);
            std::swap(data[2 * i + 1], data[2 * j + 1]);
        }
        std::int32_t k = points / 2;
        while (k <= j) {
            j -= k;
            k /= 2;
        }
        j += k;
    }
}

void fft_core(std::int32_t n, double* data, std::int32_t direction)
{
    std::int32_t points = n / 2;
    if (points == 1)
        return;
    int stages = fft_log2(points);
    fft_reorder(n, data);
    for (int stage = 0; stage < stages; ++stage) {
        std::int32_t half = std::int32_t{1} << stage;
        std::int32_t width = 2 * half;
        double d = direction;
        double theta = ((d + d) * FFT_PI) / static_cast<double>(width);
        double s = std::sin(theta);
        double t = std::sin(theta * 0.5);
        double beta = 2.0 * t * t;

        for (std::int32_t b = 0; b < points; b += width) {
            std::int32_t i = 2 * b;
            std::int32_t j = 2 * (b + half);
            double z_re = data[j];
            double z_im = data[j + 1];
            data[j] = data[i] - z_re;
            data[j + 1] = data[i + 1] - z_im;
            data[i] += z_re;
            data[i + 1] += z_im;
        }

        double w_re = 1.0;
        double w_im = 0.0;
        for (std::int32_t a = 1; a < half; ++a) {
            double next_re = (w_re - s * w_im) - beta * w_re;
            double next_im = (w_im + s * w_re) - beta * w_im;
            w_re = next_re;
            w_im = next_im;
            for (std::int32_t b = 0; b < points; b += width) {
                std::int32_t i = 2 * (b + a);
                std::int32_t j = 2 * (b + a + half);
                double z_re = data[j];
                double z_im = data[j + 1];
                double p_re = w_re * z_re - w_im * z_im;
                double p_im = w_re * z_im + w_im * z_re;
                data[j] = data[i] - p_re;
                data[j + 1] = data[i + 1] - p_im;
                data[i] += p_re;
                data[i + 1] += p_im;
            }
        }
    }
}

void fft_forward(std::int32_t n, double* data)
{
    fft_core(n, data, -1);
}

void fft_backward(std::int32_t n, double* data)
{
    fft_core(n, data, 1);
    double f = 1.0 / static_cast<double>(n / 2);
    for (std::int32_t i = 0; i < n; ++i)
        data[i] *= f;
}

void fft_transform_pair(std::int32_t n, double* data)
{
    fft_forward(n, data);
    fft_backward(n, data);
}

void bench_fft(std::int32_t points, lagged_rng& g, const calibration& plan,
               const kernel_set& kernels, kernel_result& result)
{
    if (points > FFT_MAX_POINTS)
        fail("the FFT of %d points is longer than %d points", points, FFT_MAX_POINTS);
    std::int32_t n = 2 * points;
    block<double> data = vector_from_rng(static_cast<std::uint32_t>(n), g);
    if (!data)
        fail("out of memory for the FFT (N=%d)", points);
    std::unique_ptr<cpu_timer> timer = cpu_timer_create();
    if (!timer)
        fail("out of memory for the FFT's stopwatch (N=%d)", points);
    fft_log2(points);

    final_attempt last = calibrate<fft_batch>(fft_has_work(points) ? plan : single_attempt(),
                                              *timer, [&](fft_batch batch_size) {
                                                  for (fft_batch r = 0; r < batch_size; ++r)
                                                      kernels.fft_transform_pair(n, data.get());
                                              });

    double sum = 0.0;
    for (std::int32_t i = 0; i < n; ++i)
        sum += data[i];
    result.checksum = sum / n;
    result.operations = fft_attempt_operations(points, last.batch_size);
    result.mflops = rate_mflops(result.operations, last.seconds);
    result.seconds = last.seconds;
    result.reps = last.batch_size;
}

} // namespace kalvento
