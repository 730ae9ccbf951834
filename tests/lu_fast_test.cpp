// The fast lu kernel against the plain one, bit for bit: every element, the order of the row
// table, the pivots and the result, over many shapes and kinds of data, on every code path.

#include "differential.h"
#include "kernels/kernel_set.h"
#include "kernels/lu.h"
#include "support/memory.h"
#include "support/row_matrix.h"
#include "test_support.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <vector>

using namespace kalvento;
using namespace kalvento::testing;

namespace {

using lu_function = std::int32_t (*)(std::int32_t, std::int32_t, row_matrix&, std::int32_t*);

// What a factorisation leaves: its result, the pivot array (one entry more than it may write,
// all starting as -7), the original row each table position points to, and the elements in
// row-major order through the final table.
struct outcome {
    std::int32_t result = 0;
    std::vector<std::int32_t> pivots;
    std::vector<std::int32_t> row_order;
    std::vector<double> values;
};

// With `starved`, every allocation during the factorisation fails.
outcome factor(lu_function lu, std::int32_t m, std::int32_t n, const std::vector<double>& values,
               bool starved = false)
{
    std::uint32_t rows = std::max(m, 0), cols = std::max(n, 0);
    row_matrix a = matrix_alloc(rows, cols);
    for (std::uint32_t i = 0; i < rows; ++i)
        std::copy_n(values.begin() + i * cols, cols, a[i]);
    std::vector<double*> original(a.rows, a.rows + rows);
    outcome o;
    o.pivots.assign(std::max(std::min(m, n), 0) + 1, -7);
    if (starved)
        block_alloc_fail_after(0);
    o.result = lu(m, n, a, o.pivots.data());
    block_alloc_fail_after(-1);
    for (std::uint32_t i = 0; i < rows; ++i) {
        o.row_order.push_back(static_cast<std::int32_t>(
            std::find(original.begin(), original.end(), a[i]) - original.begin()));
        o.values.insert(o.values.end(), a[i], a[i] + cols);
    }
    return o;
}

void expect_same_outcome(const outcome& plain, const outcome& fast, std::int32_t n)
{
    EXPECT_EQ(fast.result, plain.result);
    EXPECT_EQ(fast.pivots, plain.pivots);
    EXPECT_EQ(fast.row_order, plain.row_order);
    std::int64_t at = first_difference(fast.values, plain.values);
    EXPECT_EQ(at, -1) << "first different element at row " << at / std::max(n, 1) << ", column "
                      << at % std::max(n, 1);
}

// Factors the same m x n values with the plain kernel and with `kernels`; returns the plain
// result.
std::int32_t expect_same_factorisation(const kernel_set& kernels, std::int32_t m, std::int32_t n,
                                       const std::vector<double>& values)
{
    SCOPED_TRACE(::testing::Message() << m << " x " << n);
    outcome plain = factor(lu_decompose, m, n, values);
    expect_same_outcome(plain, factor(kernels.lu_decompose, m, n, values), n);
    return plain.result;
}

// Values in [-1, 1) from the generator; pivoting moves rows at nearly every step.
std::vector<double> signed_values(std::int32_t m, std::int32_t n, std::int64_t seed_steps)
{
    lagged_rng g = advanced_generator(seed_steps);
    std::vector<double> v(std::size_t(std::max(m, 0)) * std::max(n, 0));
    for (double& x : v)
        x = 2.0 * lagged_rng_next(g) - 1.0;
    return v;
}

// The measurement's kind of matrix: the diagonal is four times its row's magnitude sum.
std::vector<double> dominant_values(std::int32_t n, std::int64_t seed_steps)
{
    std::vector<double> v = signed_values(n, n, seed_steps);
    for (std::int32_t i = 0; i < n; ++i) {
        double sum = 0.0;
        for (std::int32_t j = 0; j < n; ++j)
            sum += std::fabs(v[i * n + j]);
        v[i * n + i] = sum * 4.0;
    }
    return v;
}

// Small integers, with -0.0 for some zeros: ties in magnitude everywhere, and exact
// cancellations that end some factorisations on a zero pivot.
std::vector<double> small_integer_values(std::int32_t m, std::int32_t n, std::int64_t seed_steps)
{
    std::vector<double> v = signed_values(m, n, seed_steps);
    for (double& x : v) {
        double k = std::floor(x * 2.5);
        x = k == 0.0 && x < -0.2 ? -0.0 : k;
    }
    return v;
}

// Sizes on and around the vector widths, the panel width and the block widths.
const std::vector<std::int32_t> EDGE_SIZES = {95,  96,  97,  100, 127, 128, 129,
                                              130, 159, 160, 161, 255, 256, 257};

} // namespace

TEST(LuFast, SameBitsAsPlainOnSquareMatrices)
{
    for_each_code_path([](const kernel_set& kernels) {
        std::vector<std::int32_t> sizes = EDGE_SIZES;
        for (std::int32_t n = 1; n <= 70; ++n)
            sizes.push_back(n);
        for (std::int32_t n : sizes) {
            expect_same_factorisation(kernels, n, n, signed_values(n, n, n));
            expect_same_factorisation(kernels, n, n, dominant_values(n, 7 * n));
        }
        expect_same_factorisation(kernels, 300, 300, signed_values(300, 300, 5));
    });
}

TEST(LuFast, SameBitsAsPlainOnRectangularMatrices)
{
    const std::vector<std::pair<std::int32_t, std::int32_t>> shapes = {
        {1, 5},   {5, 1},   {2, 9},     {9, 2},     {3, 40},    {40, 3},
        {8, 33},  {33, 8},  {17, 130},  {130, 17},  {37, 100},  {100, 37},
        {31, 64}, {64, 31}, {129, 200}, {200, 129}, {150, 300}, {300, 150}};
    for_each_code_path([&](const kernel_set& kernels) {
        for (auto [m, n] : shapes) {
            expect_same_factorisation(kernels, m, n, signed_values(m, n, m + 3 * n));
            expect_same_factorisation(kernels, m, n, small_integer_values(m, n, m * n));
        }
    });
}

TEST(LuFast, EmptyShapesTouchNothing)
{
    for_each_code_path([](const kernel_set& kernels) {
        row_matrix a = matrix_alloc(2, 2);
        for (auto [m, n] : {std::pair{0, 2}, {2, 0}, {0, 0}, {-1, 2}, {2, -3}}) {
            a[0][0] = 0.0;
            a[1][0] = 5.0;
            double* first = a.rows[0];
            std::int32_t pivots[2] = {-7, -7};
            EXPECT_EQ(kernels.lu_decompose(m, n, a, pivots), 0);
            EXPECT_EQ(pivots[0], -7);
            EXPECT_EQ(a.rows[0], first);
            EXPECT_EQ(a[1][0], 5.0);
        }
    });
}

TEST(LuFast, ZeroPivotLeavesThePlainStateOfThatStep)
{
    // A column that is zero in every row stays zero under every earlier update, so its step
    // meets a zero pivot: the first and last steps, and steps inside and at the edges of panels
    // and blocks, with columns to the right still waiting for the block's updates.
    const std::vector<std::int32_t> steps = {0,  1,  5,  7,  8,   9,   15,  16,  31,
                                             32, 33, 63, 64, 100, 127, 128, 129, 159};
    for_each_code_path([&](const kernel_set& kernels) {
        for (std::int32_t s : steps)
            for (auto [m, n] : {std::pair{160, 160}, {200, 170}, {160, 230}}) {
                std::vector<double> v = signed_values(m, n, s);
                for (std::int32_t i = 0; i < m; ++i)
                    v[i * n + s] = i % 3 == 0 ? -0.0 : 0.0;
                expect_same_factorisation(kernels, m, n, v);
            }
    });
}

TEST(LuFast, TiesAndExactCancellations)
{
    std::int32_t stopped = 0, runs = 0;
    for_each_code_path([&](const kernel_set& kernels) {
        for (std::int32_t seed = 0; seed < 80; ++seed, ++runs) {
            std::int32_t n = 2 + seed % 40;
            stopped += expect_same_factorisation(kernels, n, n, small_integer_values(n, n, seed));
        }
        for (std::int32_t n : {64, 97, 130})
            expect_same_factorisation(kernels, n, n, small_integer_values(n, n, n));
    });
    // Both endings occur.
    EXPECT_GT(stopped, 0);
    EXPECT_LT(stopped, runs);
}

// The reciprocal of each pivot comes from its magnitude and its sign: pivots of both signs whose
// reciprocals overflow, are subnormal or lose bits, at every position of a panel.
TEST(LuFast, ReciprocalsOfTinyAndHugePivots)
{
    const std::vector<double> scales = {std::numeric_limits<double>::denorm_min(),
                                        3e-310,
                                        std::numeric_limits<double>::min(),
                                        1e-300,
                                        1e300,
                                        std::numeric_limits<double>::max()};
    for_each_code_path([&](const kernel_set& kernels) {
        for (std::int32_t n : {9, 40, 100}) {
            for (std::size_t k = 0; k < scales.size(); ++k) {
                SCOPED_TRACE(::testing::Message() << "scale " << scales[k]);
                std::vector<double> v = signed_values(n, n, n + 31 * k);
                for (std::int32_t i = 0; i < n; ++i)
                    v[i * n] *= scales[k];
                for (std::int32_t j = 0; j < n; ++j)
                    v[j * n + j] = (j % 3 == 1 ? -1.0 : 1.0) * scales[(k + j) % scales.size()];
                expect_same_factorisation(kernels, n, n, v);
            }
        }
    });
}

TEST(LuFast, NansAndInfinities)
{
    // The NaN that invalid operations produce, so that every NaN in play has the same bits
    // whichever operand of a product it comes from (the plain kernel's operand order varies).
    const double infinity = std::numeric_limits<double>::infinity();
    const double nan = default_nan();
    for_each_code_path([&](const kernel_set& kernels) {
        for (std::int32_t n : {9, 40, 100, 140}) {
            auto at = [n](std::vector<double>& v, std::int32_t i, std::int32_t j) -> double& {
                return v[(i % n) * n + j % n];
            };
            std::vector<double> diagonal_nan = signed_values(n, n, n);
            at(diagonal_nan, 3, 3) = nan;
            at(diagonal_nan, n - 2, n - 2) = nan;
            std::vector<double> infinite = signed_values(n, n, n + 1);
            at(infinite, n / 2, 10) = infinity;
            at(infinite, 1, n / 3) = -infinity;
            at(infinite, n - 1, n - 1) = -infinity;
            std::vector<double> scattered = dominant_values(n, n + 2);
            for (std::int32_t k = 0; k < 6; ++k)
                at(scattered, 7 * k + 2, 13 * k + 5) = k % 2 ? nan : -infinity;
            expect_same_factorisation(kernels, n, n, diagonal_nan);
            expect_same_factorisation(kernels, n, n, infinite);
            expect_same_factorisation(kernels, n, n, scattered);
        }
    });
}

TEST(LuFast, NanOnTheDiagonalKeepsTheDiagonalRow)
{
    // A dominant matrix does not move its rows, so the NaN reaches the diagonal at its own step:
    // the first step of a panel, steps inside one, and the last step of one.
    const double nan = default_nan();
    const std::int32_t n = 40;
    for_each_code_path([&](const kernel_set& kernels) {
        for (std::int32_t step : {0, 1, 5, 7, 8, 9, 33}) {
            std::vector<double> v = dominant_values(n, step);
            v[step * n + step] = nan;
            expect_same_factorisation(kernels, n, n, v);
        }
    });
}

TEST(LuFast, WithoutScratchMemoryStillGivesThePlainBits)
{
    for_each_code_path([](const kernel_set& kernels) {
        for (std::int32_t n : {1, 50}) {
            std::vector<double> v = signed_values(n, n, 3);
            expect_same_outcome(factor(lu_decompose, n, n, v),
                                factor(kernels.lu_decompose, n, n, v, true), n);
        }
    });
}

TEST(LuFast, RepeatedMeasurementUnits)
{
    // The measured unit again and again: the row table stays permuted from one factorisation to
    // the next, the copy goes through it, and the centre element carries over.
    for_each_code_path([](const kernel_set& kernels) {
        for (std::int32_t n : {1, 2, 5, 33, 100}) {
            for (bool dominant : {false, true}) {
                SCOPED_TRACE(::testing::Message() << n << (dominant ? " dominant" : " signed"));
                std::vector<double> v = dominant ? dominant_values(n, n) : signed_values(n, n, n);
                std::uint32_t size = n;
                row_matrix source = matrix_alloc(size, size);
                for (std::uint32_t i = 0; i < size; ++i)
                    std::copy_n(v.begin() + i * size, size, source[i]);
                const kernel_set* sets[2] = {&plain_kernels(), &kernels};
                row_matrix work[2] = {matrix_alloc(size, size), matrix_alloc(size, size)};
                std::vector<double*> original[2];
                for (int s = 0; s < 2; ++s) {
                    for (std::uint32_t i = 0; i < size; ++i)
                        std::fill_n(work[s][i], size, 0.0);
                    original[s].assign(work[s].rows, work[s].rows + size);
                }
                std::uint32_t c = size >> 1;
                std::vector<std::int32_t> pivots(size);
                for (int repetition = 0; repetition < 4; ++repetition) {
                    outcome o[2];
                    for (int s = 0; s < 2; ++s) {
                        double saved = std::fabs(work[s][c][c]);
                        sets[s]->matrix_copy(size, size, work[s], source);
                        work[s][c][c] = source[c][c] > saved ? source[c][c] : saved;
                        o[s].result = sets[s]->lu_decompose(n, n, work[s], pivots.data());
                        o[s].pivots = pivots;
                        for (std::uint32_t i = 0; i < size; ++i) {
                            o[s].row_order.push_back(static_cast<std::int32_t>(
                                std::find(original[s].begin(), original[s].end(), work[s][i]) -
                                original[s].begin()));
                            o[s].values.insert(o[s].values.end(), work[s][i], work[s][i] + size);
                        }
                    }
                    expect_same_outcome(o[0], o[1], n);
                }
            }
        }
    });
}

TEST(LuFast, WholeMeasurementGivesThePlainChecksum)
{
    for_each_code_path([](const kernel_set& kernels) {
        for (std::uint32_t n : {1u, 16u, 100u}) {
            kernel_result plain, fast;
            lagged_rng g = advanced_generator(0);
            bench_lu(n, g, {0.0, 4}, plain_kernels(), plain);
            g = advanced_generator(0);
            bench_lu(n, g, {0.0, 4}, kernels, fast);
            EXPECT_TRUE(same_bits(fast.checksum, plain.checksum)) << n;
            EXPECT_EQ(fast.reps, 4);
        }
    });
}

TEST(LuFast, LargeDominantMatrix)
{
    const std::int32_t n = 1000;
    std::vector<double> v = dominant_values(n, 0);
    v[0] = 0.0; // the first column's pivot moves
    outcome plain = factor(lu_decompose, n, n, v);
    for_each_code_path([&](const kernel_set& kernels) {
        expect_same_outcome(plain, factor(kernels.lu_decompose, n, n, v), n);
    });
}
