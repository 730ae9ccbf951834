// The FFT: operation counts, the published examples, round trips and the length check.

#include "kernels/fft.h"
#include "support/row_matrix.h"
#include "test_support.h"

#include <cmath>
#include <gtest/gtest.h>
#include <vector>

using namespace kalvento;
using namespace kalvento::testing;

TEST(Fft, FlopCounts)
{
    EXPECT_EQ(fft_flop_count(1), 4.0);
    EXPECT_EQ(fft_flop_count(2), 14.0);
    EXPECT_EQ(fft_flop_count(4), 46.0);
    EXPECT_EQ(fft_flop_count(8), 132.0);
    EXPECT_EQ(fft_flop_count(1024), 53230.0);
}

TEST(Fft, TwoPoints)
{
    std::vector<double> data{3, 5, 7, 11};
    fft_forward(4, data.data());
    EXPECT_EQ(data, (std::vector<double>{10, 16, -4, -6}));
    data = {3, 5, 7, 11};
    fft_backward(4, data.data());
    EXPECT_EQ(data, (std::vector<double>{5, 8, -2, -3}));
}

TEST(Fft, OnePointIsLeftAlone)
{
    std::vector<double> data{0.25, -7.5};
    fft_forward(2, data.data());
    fft_backward(2, data.data());
    EXPECT_EQ(data, (std::vector<double>{0.25, -7.5}));
}

TEST(Fft, UnitImpulseGivesExactOnes)
{
    for (std::int32_t points = 1; points <= 4096; points *= 2) {
        std::vector<double> data(2 * points, 0.0);
        data[0] = 1.0;
        fft_forward(2 * points, data.data());
        for (std::int32_t k = 0; k < points; ++k) {
            ASSERT_EQ(data[2 * k], 1.0) << points;
            ASSERT_EQ(data[2 * k + 1], 0.0) << points;
        }
    }
}

TEST(Fft, MatchesTheDefinitionOnSmallSizes)
{
    lagged_rng g = advanced_generator(0);
    for (std::int32_t points = 2; points <= 64; points *= 2) {
        std::vector<double> x(2 * points);
        for (double& v : x)
            v = lagged_rng_next(g);
        std::vector<double> y = x;
        fft_forward(2 * points, y.data());
        for (std::int32_t m = 0; m < points; ++m) {
            double re = 0.0, im = 0.0;
            for (std::int32_t k = 0; k < points; ++k) {
                double angle = -2.0 * M_PI * k * m / points;
                re += x[2 * k] * std::cos(angle) - x[2 * k + 1] * std::sin(angle);
                im += x[2 * k] * std::sin(angle) + x[2 * k + 1] * std::cos(angle);
            }
            ASSERT_NEAR(y[2 * m], re, 1e-12 * points) << points << " " << m;
            ASSERT_NEAR(y[2 * m + 1], im, 1e-12 * points) << points << " " << m;
        }
    }
}

TEST(Fft, RoundTripsReturnTheInput)
{
    lagged_rng g = advanced_generator(0);
    for (std::int32_t points = 1; points <= 65536; points *= 2) {
        std::vector<double> x(2 * points);
        for (double& v : x)
            v = lagged_rng_next(g);
        std::vector<double> y = x;
        fft_forward(2 * points, y.data());
        fft_backward(2 * points, y.data());
        double worst = 0.0;
        for (std::size_t i = 0; i < x.size(); ++i)
            worst = std::max(worst, std::fabs(y[i] - x[i]));
        EXPECT_LT(worst, 1e-14 * (1 + std::log2(points))) << points;
    }
}

TEST(Fft, ReorderIsTheBitReversal)
{
    std::vector<double> data;
    for (int k = 0; k < 8; ++k)
        data.insert(data.end(), {double(k), -double(k)});
    fft_reorder(16, data.data());
    std::vector<int> expected{0, 4, 2, 6, 1, 5, 3, 7};
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(data[2 * k], expected[k]);
        EXPECT_EQ(data[2 * k + 1], -expected[k]);
    }
}

TEST(Fft, LengthsThatAreNoPowerOfTwoFailTheRun)
{
    std::vector<double> data(12, 1.0);
    expect_length_failure([&] { fft_forward(6, data.data()); },
                          "FFT: Data length is not a power of 2!: 3 ");
    expect_length_failure([&] { fft_backward(0, data.data()); },
                          "FFT: Data length is not a power of 2!: 0 ");
    expect_length_failure([] { fft_flop_count(3); }, "FFT: Data length is not a power of 2!: 3 ");
    expect_length_failure([] { fft_flop_count(6); }, "FFT: Data length is not a power of 2!: 6 ");
    expect_length_failure([] { fft_flop_count(0); }, "FFT: Data length is not a power of 2!: 0 ");
    expect_length_failure([] { fft_flop_count(-4); }, "FFT: Data length is not a power of 2!: -4 ");
    EXPECT_EQ(data, std::vector<double>(12, 1.0));
}

TEST(Fft, MeasurementTakesTwoNValuesAndCarriesTheVector)
{
    lagged_rng g = advanced_generator(0);
    kernel_result result;
    bench_fft(1024, g, {0.0, 4}, plain_kernels(), result);
    EXPECT_TRUE(same_state(g, advanced_generator(2048)));
    EXPECT_EQ(result.reps, 4);

    // The vector after 2 x 4 - 1 = 7 pairs.
    lagged_rng fresh = advanced_generator(0);
    block<double> data = vector_from_rng(2048, fresh);
    for (int pair = 0; pair < 7; ++pair) {
        fft_forward(2048, data.get());
        fft_backward(2048, data.get());
    }
    double sum = 0.0;
    for (int i = 0; i < 2048; ++i)
        sum += data[i];
    EXPECT_EQ(result.checksum, sum / 2048);
}

TEST(Fft, OnePointMeasurementIsPromptAndFinite)
{
    lagged_rng g = advanced_generator(0);
    std::vector<double> drawn{lagged_rng_next(g), lagged_rng_next(g)};
    g = advanced_generator(0);
    kernel_result result;
    bench_fft(1, g, {1000.0, 0}, plain_kernels(), result);
    EXPECT_EQ(result.reps, 1);
    EXPECT_EQ(result.mflops, 0.0);
    EXPECT_EQ(result.checksum, (drawn[0] + drawn[1]) / 2);
}
