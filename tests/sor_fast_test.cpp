// The fast SOR sweep against the plain one, bit for bit, on every code path: published values,
// shapes around the vectors' sizes, sweep counts, relaxation factors and special values. The grids
// have guards around every row and rows out of order in memory.

#include "differential.h"
#include "kernels/kernel_set.h"
#include "kernels/sor.h"
#include "support/row_matrix.h"
#include "test_support.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <span>
#include <vector>

using namespace kalvento;
using namespace kalvento::testing;

namespace {

// An m x n grid with `pad` guard values on each side of every row, the rows laid out in reverse
// order in one buffer, so that writes outside the grid and through the wrong row show up.
struct guarded_grid {
    static constexpr double GUARD = -7.5e300;
    std::int32_t m;
    std::int32_t n;
    std::int32_t pad;
    std::vector<double> storage;
    row_matrix view; // owns only its table

    guarded_grid(std::int32_t rows, std::int32_t columns, std::int32_t guard)
        : m(rows), n(columns), pad(guard),
          storage(static_cast<std::size_t>(rows) * (columns + 2 * guard), GUARD)
    {
        view.rows = block_of<double*>(rows > 0 ? rows : 1).release();
        for (std::int32_t i = 0; i < m; ++i)
            view.rows[i] =
                storage.data() + static_cast<std::size_t>(m - 1 - i) * (n + 2 * pad) + pad;
    }

    bool guards_intact() const
    {
        for (std::int32_t i = 0; i < m; ++i)
            for (std::int32_t j = 0; j < pad; ++j)
                if (!same_bits(view[i][-1 - j], GUARD) || !same_bits(view[i][n + j], GUARD))
                    return false;
        return true;
    }
};

void fill_from(guarded_grid& grid, lagged_rng& g)
{
    for (std::int32_t i = 0; i < grid.m; ++i)
        for (std::int32_t j = 0; j < grid.n; ++j)
            grid.view[i][j] = lagged_rng_next(g);
}

std::vector<double> contents(const guarded_grid& grid)
{
    std::vector<double> values;
    for (std::int32_t i = 0; i < grid.m; ++i)
        values.insert(values.end(), grid.view[i], grid.view[i] + grid.n);
    return values;
}

// Index of the first element whose bits differ, NaNs of any sign and payload counting as equal.
std::int64_t first_difference_but_nan(std::span<const double> a, std::span<const double> b)
{
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same_bits(a[i], b[i]) && !(std::isnan(a[i]) && std::isnan(b[i])))
            return static_cast<std::int64_t>(i);
    return -1;
}

// Runs the plain and the fast sweep on copies of one grid made by `fill`, and reports the first
// differing element as (row, column), or "" when the bits agree and no guard was touched.
template <class Fill>
std::string compare(const kernel_set& fast, std::int32_t m, std::int32_t n, double omega,
                    std::int32_t batch_size, Fill&& fill, bool any_nan = false)
{
    guarded_grid expected(m, n, 3);
    guarded_grid actual(m, n, 5);
    fill(expected);
    fill(actual);
    plain_kernels().sor_sweep(m, n, omega, expected.view, batch_size);
    fast.sor_sweep(m, n, omega, actual.view, batch_size);
    std::string where = std::to_string(m) + " x " + std::to_string(n) + ", omega " +
                        std::to_string(omega) + ", " + std::to_string(batch_size) + " sweeps";
    if (!actual.guards_intact())
        return "wrote outside the grid: " + where;
    std::vector<double> got = contents(actual);
    std::vector<double> want = contents(expected);
    std::int64_t at = any_nan ? first_difference_but_nan(got, want) : first_difference(got, want);
    if (at >= 0)
        return "differs at (" + std::to_string(at / n) + ", " + std::to_string(at % n) +
               "): " + where;
    return "";
}

auto drawn(std::int64_t skip)
{
    return [skip](guarded_grid& grid) {
        lagged_rng g = advanced_generator(skip);
        fill_from(grid, g);
    };
}

} // namespace

TEST(SorFast, PublishedFiveByFive)
{
    for_each_code_path([](const kernel_set& fast) {
        lagged_rng g = advanced_generator(0);
        row_matrix grid = matrix_from_rng(5, 5, g);
        fast.sor_sweep(5, 5, SOR_OMEGA, grid, 1);
        EXPECT_EQ(grid_mean(grid, 5), 0.5053766496242386);
        fast.sor_sweep(5, 5, SOR_OMEGA, grid, 2);
        EXPECT_EQ(grid_mean(grid, 5), 0.5257497059911604);
        EXPECT_EQ(grid[1][1], 0.39367084040616795);
    });
}

// Every shape up to 20 x 20: grids without interior, rows shorter than a chunk, fewer rows than
// a vector has lanes; one sweep and several, whose rows are in flight together.
TEST(SorFast, SameBitsOnEverySmallShape)
{
    for_each_code_path([](const kernel_set& fast) {
        for (std::int32_t m = 1; m <= 20; ++m)
            for (std::int32_t n = 1; n <= 20; ++n)
                for (std::int32_t sweeps : {1, 3})
                    ASSERT_EQ(compare(fast, m, n, SOR_OMEGA, sweeps, drawn(m * 31 + n)), "");
    });
}

// Many sweeps of grids with few rows: rows of several sweeps are in flight at once, a sweep's
// first row sits beside the last row of the one before, and rows wait between chunks when they
// are short. The row counts are around the rows of one vector and of all vectors in flight.
TEST(SorFast, SameBitsWhenSweepsOverlap)
{
    for_each_code_path([](const kernel_set& fast) {
        for (std::int32_t m : {4, 5, 6, 7, 9, 10, 11, 17, 18, 19, 20, 34, 35})
            for (std::int32_t n : {6, 7, 13, 30, 101})
                for (std::int32_t sweeps : {2, 7, 16})
                    ASSERT_EQ(compare(fast, m, n, SOR_OMEGA, sweeps, drawn(m * n + sweeps)), "");
    });
}

// Sizes around the vector width and the number of rows in flight, long and tall grids, and the
// default and large sizes.
TEST(SorFast, SameBitsOnLargerShapes)
{
    struct shape {
        std::int32_t m, n, sweeps;
    };
    const shape shapes[] = {
        {31, 33, 2},  {33, 31, 1},   {64, 65, 3},   {65, 63, 2},  {97, 129, 1},   {128, 36, 4},
        {36, 128, 4}, {100, 100, 1}, {100, 100, 7}, {3, 301, 5},  {301, 3, 5},    {4, 257, 3},
        {257, 6, 3},  {211, 173, 2}, {173, 211, 2}, {7, 1000, 2}, {1000, 1000, 1}};
    for_each_code_path([&](const kernel_set& fast) {
        for (const shape& s : shapes)
            ASSERT_EQ(compare(fast, s.m, s.n, SOR_OMEGA, s.sweeps, drawn(s.m + s.n)), "");
    });
}

// Rows of 20 chunks and more, where every lane starts its next row in the block after its last
// chunk: the last chunk overlapping the one before by each of 0 to 3 columns, lanes starting,
// finishing and leaving rows in every block, a sweep's first row in either vector.
TEST(SorFast, SameBitsOnWideRowsWithEveryOverlap)
{
    for_each_code_path([](const kernel_set& fast) {
        for (std::int32_t n : {82, 83, 84, 85, 102, 103, 104, 105})
            for (std::int32_t m : {4, 5, 10, 17, 18, 19, 34, 35})
                for (std::int32_t sweeps : {1, 3})
                    ASSERT_EQ(compare(fast, m, n, SOR_OMEGA, sweeps, drawn(m * n + sweeps)), "");
    });
}

TEST(SorFast, SameBitsForAnySweepCountAndOmega)
{
    for_each_code_path([](const kernel_set& fast) {
        for (std::int32_t sweeps : {0, -1, -1000, 1, 2, 3, 4, 5, 8, 13})
            for (std::int32_t size : {9, 42})
                ASSERT_EQ(compare(fast, size, size + 3, SOR_OMEGA, sweeps, drawn(sweeps)), "");
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const double inf = std::numeric_limits<double>::infinity();
        for (double omega : {0.0, -0.0, 1.0, 2.0, -0.5, 1.9, 1e-310, 3e300, inf, nan})
            ASSERT_EQ(compare(fast, 23, 19, omega, 2, drawn(5)), "");
    });
}

// Infinities, signed zeros, values that overflow when summed, subnormals and NaN, scattered over
// the grid including its boundary, on narrow grids and on rows wide enough for lanes to change
// rows in every block. The NaN is the one that inf - inf yields at run time (a compiler may fold
// it to another), so every NaN the sweep meets has the same bits.
TEST(SorFast, SameBitsOnAdversarialValues)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double specials[] = {default_nan(),
                               inf,
                               -inf,
                               -0.0,
                               0.0,
                               std::numeric_limits<double>::max(),
                               -std::numeric_limits<double>::max(),
                               std::numeric_limits<double>::denorm_min(),
                               -3e-310,
                               1e308};
    for_each_code_path([&](const kernel_set& fast) {
        for (std::int32_t stride : {7, 13, 61}) {
            auto fill = [&](guarded_grid& grid) {
                drawn(stride)(grid);
                std::int64_t k = 0;
                for (std::int32_t i = 0; i < grid.m; ++i)
                    for (std::int32_t j = 0; j < grid.n; ++j, ++k)
                        if (k % stride == 0)
                            grid.view[i][j] = specials[(k / stride) % std::size(specials)];
            };
            ASSERT_EQ(compare(fast, 37, 45, SOR_OMEGA, 3, fill), "");
            ASSERT_EQ(compare(fast, 6, 11, 1.0, 2, fill), "");
            ASSERT_EQ(compare(fast, 21, 100, SOR_OMEGA, 3, fill), "");
            ASSERT_EQ(compare(fast, 19, 103, SOR_OMEGA, 2, fill), "");
        }
        auto zeros = [](guarded_grid& grid) {
            for (std::int32_t i = 0; i < grid.m; ++i)
                for (std::int32_t j = 0; j < grid.n; ++j)
                    grid.view[i][j] = (i + j) % 2 == 0 ? -0.0 : 0.0;
        };
        ASSERT_EQ(compare(fast, 17, 18, SOR_OMEGA, 2, zeros), "");
    });
}

// Where two NaNs of different sign meet in one addition, the plain kernel's result depends on
// which operand its compiler puts first (gcc -O3 alternates between unrolled iterations), so only
// NaN-ness is compared there; every other value keeps its bits.
TEST(SorFast, SameValuesAroundNaNsOfEitherSign)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for_each_code_path([&](const kernel_set& fast) {
        auto fill = [&](guarded_grid& grid) {
            drawn(3)(grid);
            std::int64_t k = 0;
            for (std::int32_t i = 0; i < grid.m; ++i)
                for (std::int32_t j = 0; j < grid.n; ++j, ++k)
                    if (k % 29 == 0)
                        grid.view[i][j] = k % 58 == 0 ? nan : -nan;
        };
        ASSERT_EQ(compare(fast, 41, 39, SOR_OMEGA, 3, fill, true), "");
    });
}
