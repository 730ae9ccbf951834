// The fast FFT against the plain one, bit for bit, on every code path.

#include "differential.h"
#include "kernels/fft.h"
#include "kernels/kernel_set.h"
#include "test_support.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <vector>

using namespace kalvento;
using namespace kalvento::testing;

namespace {

using transform_fn = void (*)(std::int32_t, double*);

struct transform_kind {
    const char* name;
    transform_fn kernel_set::*fn;
};

constexpr transform_kind KINDS[] = {{"forward", &kernel_set::fft_forward},
                                    {"backward", &kernel_set::fft_backward},
                                    {"pair", &kernel_set::fft_transform_pair}};

std::vector<double> drawn(std::int32_t count, lagged_rng& g)
{
    std::vector<double> v(count);
    for (double& x : v)
        x = lagged_rng_next(g);
    return v;
}

std::vector<double> applied(transform_fn fn, std::vector<double> data, int times = 1)
{
    for (int i = 0; i < times; ++i)
        fn(static_cast<std::int32_t>(data.size()), data.data());
    return data;
}

// Each transform of the plain kernels, then of every code path, on the same input.
void expect_same_as_plain(const std::vector<double>& input, const std::string& what, int times = 1)
{
    for (const transform_kind& kind : KINDS) {
        std::vector<double> expected = applied(plain_kernels().*kind.fn, input, times);
        for_each_code_path([&](const kernel_set& fast) {
            std::vector<double> actual = applied(fast.*kind.fn, input, times);
            EXPECT_EQ(first_difference(actual, expected), -1)
                << what << ", " << kind.name << " x" << times;
        });
    }
}

const double DEFAULT_NAN = default_nan();
constexpr double INF = std::numeric_limits<double>::infinity();

// Random values with special ones strewn in. Every NaN here is the one the hardware produces
// (inf - inf), so every NaN of the transform has the same bits whichever operand it came from:
// which of two different NaNs an addition returns depends on the operand order the compiler
// chose, in the plain kernel too (gcc builds its real part as x + p, its imaginary part as p + x).
std::vector<double> adversarial(std::int32_t count, lagged_rng& g)
{
    const double specials[] = {DEFAULT_NAN,
                               INF,
                               -INF,
                               -0.0,
                               0.0,
                               std::numeric_limits<double>::max(),
                               -std::numeric_limits<double>::max(),
                               std::numeric_limits<double>::min(),
                               std::numeric_limits<double>::denorm_min(),
                               -std::numeric_limits<double>::denorm_min(),
                               1e300,
                               -1e-300,
                               0.5,
                               -1.0};
    constexpr int SPECIALS = sizeof(specials) / sizeof(specials[0]);
    std::vector<double> v = drawn(count, g);
    for (double& x : v) {
        double pick = lagged_rng_next(g);
        if (pick < 0.05)
            x = specials[static_cast<int>(lagged_rng_next(g) * SPECIALS)];
        else if (pick < 0.1)
            x = std::ldexp(x - 0.5, static_cast<int>(lagged_rng_next(g) * 2000) - 1000);
    }
    return v;
}

} // namespace

TEST(FftFast, RandomDataEveryPowerOfTwo)
{
    lagged_rng g = advanced_generator(0);
    for (std::int32_t points = 1; points <= (1 << 16); points *= 2)
        expect_same_as_plain(drawn(2 * points, g), std::to_string(points) + " points");
}

TEST(FftFast, RandomDataLargePowersOfTwo)
{
    lagged_rng g = advanced_generator(7);
    for (std::int32_t points = 1 << 17; points <= (1 << 20); points *= 2) {
        std::vector<double> input = drawn(2 * points, g);
        std::vector<double> expected = applied(plain_kernels().fft_transform_pair, input);
        for_each_code_path([&](const kernel_set& fast) {
            EXPECT_EQ(first_difference(applied(fast.fft_transform_pair, input), expected), -1)
                << points;
        });
    }
}

// Beyond the large setting: more long stage pairs than one vector of chain lanes holds.
TEST(FftFast, RandomDataBeyondTheLargeSetting)
{
    lagged_rng g = advanced_generator(9);
    for (std::int32_t points : {1 << 21, 1 << 22}) {
        std::vector<double> input = drawn(2 * points, g);
        std::vector<double> expected = applied(plain_kernels().fft_forward, input);
        for_each_code_path([&](const kernel_set& fast) {
            EXPECT_EQ(first_difference(applied(fast.fft_forward, input), expected), -1) << points;
        });
    }
}

TEST(FftFast, SpecialValues)
{
    lagged_rng g = advanced_generator(11);
    for (std::int32_t points = 1; points <= (1 << 14); points *= 2)
        expect_same_as_plain(adversarial(2 * points, g), std::to_string(points) + " points");

    // Whole vectors of one special value, and a single one among zeros.
    for (double special : {DEFAULT_NAN, INF, -INF, -0.0, 1e308}) {
        for (std::int32_t points : {64, 1024, 8192}) {
            expect_same_as_plain(std::vector<double>(2 * points, special), "all same");
            for (std::int32_t at : {0, 1, 2 * points - 1, points + 3}) {
                std::vector<double> one(2 * points, -0.0);
                one[at] = special;
                expect_same_as_plain(one, "one special at " + std::to_string(at));
            }
        }
    }
}

TEST(FftFast, DataCarriedOverRepeatedTransforms)
{
    lagged_rng g = advanced_generator(3);
    for (std::int32_t points : {64, 1024, 4096, 8192})
        expect_same_as_plain(drawn(2 * points, g), std::to_string(points) + " points", 5);
    // Values growing without bound through repeated forward transforms, down through inverse ones.
    expect_same_as_plain(adversarial(2 * 2048, g), "special", 4);
}

TEST(FftFast, OddLengthsScaleTheExtraDouble)
{
    lagged_rng g = advanced_generator(5);
    for (std::int32_t points : {1, 64, 1024, 8192})
        expect_same_as_plain(drawn(2 * points + 1, g), "odd n, " + std::to_string(points));
}

TEST(FftFast, UnitImpulseGivesExactOnes)
{
    for_each_code_path([](const kernel_set& fast) {
        for (std::int32_t points = 64; points <= (1 << 14); points *= 2) {
            std::vector<double> data(2 * points, 0.0);
            data[0] = 1.0;
            fast.fft_forward(2 * points, data.data());
            for (std::int32_t k = 0; k < points; ++k) {
                ASSERT_EQ(data[2 * k], 1.0) << points;
                ASSERT_EQ(data[2 * k + 1], 0.0) << points;
            }
        }
    });
}

TEST(FftFast, DataOnAnyEightByteBoundary)
{
    lagged_rng g = advanced_generator(13);
    for (std::int32_t points : {64, 1024, 8192}) {
        for (int shift : {1, 3}) {
            std::vector<double> input = drawn(2 * points, g);
            for (const transform_kind& kind : KINDS) {
                std::vector<double> expected = applied(plain_kernels().*kind.fn, input);
                for_each_code_path([&](const kernel_set& fast) {
                    std::vector<double> buffer(2 * points + 8);
                    std::copy(input.begin(), input.end(), buffer.begin() + shift);
                    (fast.*kind.fn)(2 * points, buffer.data() + shift);
                    std::vector<double> actual(buffer.begin() + shift,
                                               buffer.begin() + shift + 2 * points);
                    EXPECT_EQ(first_difference(actual, expected), -1)
                        << points << " points at +" << shift << ", " << kind.name;
                });
            }
        }
    }
}

// Calls of different sizes and directions, one after the other, each on its own vector: nothing
// one call leaves behind may reach the next. The long sizes have one pass of long stages (2^14),
// or more, where the first one finishes the chain that the last one starts from (2^15, 2^16).
TEST(FftFast, CallsInAnyOrderAreIndependent)
{
    struct call {
        std::int32_t points;
        int kind;
    };
    const call calls[] = {{1024, 0},    {2048, 1},    {64, 2},      {1 << 13, 0},
                          {1024, 1},    {1024, 2},    {4096, 0},    {2048, 0},
                          {1 << 13, 2}, {64, 1},      {1 << 16, 2}, {1 << 14, 1},
                          {1 << 15, 0}, {1 << 16, 1}, {1 << 15, 2}, {1 << 14, 0}};
    lagged_rng g = advanced_generator(17);
    std::vector<std::vector<double>> inputs;
    for (const call& c : calls)
        inputs.push_back(drawn(2 * c.points, g));
    std::vector<std::vector<double>> expected = inputs;
    for (std::size_t i = 0; i < expected.size(); ++i)
        applied(plain_kernels().*KINDS[calls[i].kind].fn, expected[i]).swap(expected[i]);
    for_each_code_path([&](const kernel_set& fast) {
        std::vector<std::vector<double>> actual = inputs;
        for (std::size_t i = 0; i < actual.size(); ++i)
            (fast.*KINDS[calls[i].kind].fn)(2 * calls[i].points, actual[i].data());
        for (std::size_t i = 0; i < actual.size(); ++i)
            EXPECT_EQ(first_difference(actual[i], expected[i]), -1) << "call " << i;
    });
}

// The whole measurement, replayed to a fixed repetition count: the same vector, so the same
// checksum, with the fast kernels as with the plain ones.
TEST(FftFast, MeasurementGivesThePlainChecksum)
{
    for (std::int32_t points : {1024, 1 << 14}) {
        lagged_rng g = advanced_generator(0);
        kernel_result plain;
        bench_fft(points, g, {0.0, 8}, plain_kernels(), plain);
        for_each_code_path([&](const kernel_set& fast) {
            lagged_rng h = advanced_generator(0);
            kernel_result result;
            bench_fft(points, h, {0.0, 8}, fast, result);
            EXPECT_EQ(result.reps, 8);
            EXPECT_TRUE(same_bits(result.checksum, plain.checksum)) << points;
        });
    }
}

TEST(FftFast, LengthsThatAreNoPowerOfTwoFailTheRun)
{
    std::vector<double> data(2 * 200, 1.0);
    for_each_code_path([&](const kernel_set& fast) {
        for (const transform_kind& kind : KINDS) {
            SCOPED_TRACE(kind.name);
            transform_fn fn = fast.*kind.fn;
            expect_length_failure([&] { fn(6, data.data()); },
                                  "FFT: Data length is not a power of 2!: 3 ");
            expect_length_failure([&] { fn(0, data.data()); },
                                  "FFT: Data length is not a power of 2!: 0 ");
            expect_length_failure([&] { fn(2 * 192, data.data()); },
                                  "FFT: Data length is not a power of 2!: 192 ");
            expect_length_failure([&] { fn(2 * 96 + 1, data.data()); },
                                  "FFT: Data length is not a power of 2!: 96 ");
            expect_length_failure([&] { fn(-256, data.data()); },
                                  "FFT: Data length is not a power of 2!: -128 ");
        }
    });
}
