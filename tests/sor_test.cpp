// SOR: the published 5 x 5 values, the boundary, split sweeps and grids without interior.

#include "kernels/sor.h"
#include "support/row_matrix.h"
#include "test_support.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace kalvento;
using namespace kalvento::testing;

namespace {

row_matrix drawn_grid(std::uint32_t n)
{
    lagged_rng g = advanced_generator(0);
    return matrix_from_rng(n, n, g);
}

} // namespace

TEST(Sor, PublishedFiveByFive)
{
    row_matrix g = drawn_grid(5);
    EXPECT_EQ(grid_mean(g, 5), 0.496724789075891);
    sor_sweep(5, 5, SOR_OMEGA, g, 1);
    EXPECT_EQ(grid_mean(g, 5), 0.5053766496242386);
    sor_sweep(5, 5, SOR_OMEGA, g, 2);
    EXPECT_EQ(grid_mean(g, 5), 0.5257497059911604);
    EXPECT_EQ(g[1][1], 0.39367084040616795);
}

TEST(Sor, BoundaryStaysAndSplitSweepsAgree)
{
    row_matrix once = drawn_grid(9);
    row_matrix split = drawn_grid(9);
    row_matrix original = drawn_grid(9);
    sor_sweep(9, 9, SOR_OMEGA, once, 3);
    sor_sweep(9, 9, SOR_OMEGA, split, 1);
    sor_sweep(9, 9, SOR_OMEGA, split, 2);
    sor_sweep(9, 9, SOR_OMEGA, split, 0);
    sor_sweep(9, 9, SOR_OMEGA, split, -4);
    for (int i = 0; i < 9; ++i)
        for (int j = 0; j < 9; ++j) {
            ASSERT_EQ(once[i][j], split[i][j]);
            if (i == 0 || j == 0 || i == 8 || j == 8)
                ASSERT_EQ(once[i][j], original[i][j]);
            else
                ASSERT_NE(once[i][j], original[i][j]);
        }
}

TEST(Sor, GridsWithoutInteriorDoNotChange)
{
    for (std::uint32_t n : {1u, 2u}) {
        row_matrix g = drawn_grid(n);
        row_matrix original = drawn_grid(n);
        sor_sweep(n, n, SOR_OMEGA, g, 5);
        for (std::uint32_t i = 0; i < n; ++i)
            for (std::uint32_t j = 0; j < n; ++j)
                EXPECT_EQ(g[i][j], original[i][j]);
    }
    EXPECT_EQ(sor_flop_count(2, 2, 1), 6.0);
    EXPECT_EQ(sor_flop_count(1, 1, 7), 0.0);
    EXPECT_EQ(sor_flop_count(100, 100, 1), 58806.0);
}

TEST(Sor, MeasurementCarriesTheGridAndTakesNSquaredValues)
{
    lagged_rng g = advanced_generator(0);
    kernel_result result;
    bench_sor(7, g, {0.0, 8}, plain_kernels(), result);
    EXPECT_TRUE(same_state(g, advanced_generator(49)));
    row_matrix expected = drawn_grid(7);
    sor_sweep(7, 7, SOR_OMEGA, expected, 15);
    EXPECT_EQ(result.checksum, grid_mean(expected, 7));
    EXPECT_EQ(result.reps, 8);
}

TEST(Sor, EmptyGridsArePromptAndFinite)
{
    for (std::int32_t n : {0, 1, 2}) {
        lagged_rng g = advanced_generator(0);
        kernel_result result;
        bench_sor(n, g, {1000.0, 0}, plain_kernels(), result);
        EXPECT_EQ(result.reps, 1);
        EXPECT_EQ(result.mflops, 0.0);
        EXPECT_TRUE(std::isfinite(result.checksum));
    }
}
