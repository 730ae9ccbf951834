// LU: the published small cases, zero and NaN pivots, rectangular shapes, P A = L U, and the
// measurement's set-up.

#include "kernels/lu.h"
#include "support/row_matrix.h"
#include "test_support.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <vector>

using namespace kalvento;
using namespace kalvento::testing;

namespace {

row_matrix matrix_of(const std::vector<std::vector<double>>& rows)
{
    row_matrix a = matrix_alloc(rows.size(), rows[0].size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        for (std::size_t j = 0; j < rows[i].size(); ++j)
            a[i][j] = rows[i][j];
    return a;
}

std::vector<std::vector<double>> values_of(const row_matrix& a, int m, int n)
{
    std::vector<std::vector<double>> rows(m, std::vector<double>(n));
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < n; ++j)
            rows[i][j] = a[i][j];
    return rows;
}

} // namespace

TEST(Lu, TwoByTwoExactBits)
{
    row_matrix a = matrix_of({{1, 2}, {3, 4}});
    std::int32_t p[2] = {-1, -1};
    EXPECT_EQ(lu_decompose(2, 2, a, p), 0);
    EXPECT_EQ(p[0], 1);
    EXPECT_EQ(p[1], 1);
    double r = 1.0 / 3.0;
    EXPECT_EQ(values_of(a, 2, 2), (std::vector<std::vector<double>>{{3, 4}, {r, 2 - r * 4}}));
    EXPECT_EQ(a[1][0], 0.3333333333333333);
    EXPECT_EQ(a[1][1], 0.6666666666666667);
}

TEST(Lu, TiesKeepTheEarliestRow)
{
    row_matrix a = matrix_of({{2, 1}, {-2, 5}});
    double* first = a.rows[0];
    std::int32_t p[2];
    EXPECT_EQ(lu_decompose(2, 2, a, p), 0);
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(a.rows[0], first);
}

TEST(Lu, ZeroPivotsStopTheFactorisation)
{
    row_matrix a = matrix_of({{0, 1}, {0, 2}});
    std::int32_t p[2] = {-1, -1};
    EXPECT_EQ(lu_decompose(2, 2, a, p), 1);
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(p[1], -1);
    EXPECT_EQ(values_of(a, 2, 2), (std::vector<std::vector<double>>{{0, 1}, {0, 2}}));

    row_matrix negative_zero = matrix_of({{-0.0, 1}, {0.0, 2}});
    EXPECT_EQ(lu_decompose(2, 2, negative_zero, p), 1);

    row_matrix b = matrix_of({{0, 1}, {1, 0}});
    EXPECT_EQ(lu_decompose(2, 2, b, p), 0);
    EXPECT_EQ(p[0], 1);
    EXPECT_EQ(p[1], 1);

    // A zero found at the second step leaves the first step's update in place.
    row_matrix c = matrix_of({{2, 4, 1}, {1, 2, 3}, {1, 2, 5}});
    std::int32_t q[3] = {-1, -1, -1};
    EXPECT_EQ(lu_decompose(3, 3, c, q), 1);
    EXPECT_EQ(q[0], 0);
    EXPECT_EQ(q[1], 1);
    EXPECT_EQ(values_of(c, 3, 3),
              (std::vector<std::vector<double>>{{2, 4, 1}, {0.5, 0, 2.5}, {0.5, 0, 4.5}}));
}

TEST(Lu, NanPivotsAreNotZero)
{
    double nan = std::numeric_limits<double>::quiet_NaN();
    row_matrix a = matrix_of({{nan, 1}, {5, 2}});
    std::int32_t p[2];
    EXPECT_EQ(lu_decompose(2, 2, a, p), 0);
    EXPECT_EQ(p[0], 0); // a NaN magnitude never loses its place, nor wins one
    EXPECT_TRUE(std::isnan(a[1][0]));
}

TEST(Lu, RectangularShapes)
{
    // More rows than columns: the last step still scales its column.
    row_matrix tall = matrix_of({{1, 2}, {4, 2}, {2, 8}});
    std::int32_t p[3];
    EXPECT_EQ(lu_decompose(3, 2, tall, p), 0);
    EXPECT_EQ(p[0], 1);
    EXPECT_EQ(p[1], 2);
    EXPECT_EQ(values_of(tall, 3, 2),
              (std::vector<std::vector<double>>{{4, 2}, {0.5, 7}, {0.25, 1.5 * (1.0 / 7.0)}}));

    // More columns than rows: the last step neither scales nor updates.
    row_matrix wide = matrix_of({{1, 2, 3}, {4, 5, 6}});
    EXPECT_EQ(lu_decompose(2, 3, wide, p), 0);
    EXPECT_EQ(values_of(wide, 2, 3),
              (std::vector<std::vector<double>>{{4, 5, 6}, {0.25, 2 - 0.25 * 5, 3 - 0.25 * 6}}));

    std::int32_t untouched[1] = {42};
    EXPECT_EQ(lu_decompose(0, 3, wide, untouched), 0);
    EXPECT_EQ(lu_decompose(3, -1, wide, untouched), 0);
    EXPECT_EQ(untouched[0], 42);
}

TEST(Lu, FactorsReproduceTheMatrix)
{
    const int n = 40;
    lagged_rng g = advanced_generator(0);
    row_matrix a = matrix_from_rng(n, n, g);
    std::vector<std::vector<double>> original = values_of(a, n, n);
    std::vector<double*> original_rows(a.rows, a.rows + n);
    std::vector<std::int32_t> p(n);
    ASSERT_EQ(lu_decompose(n, n, a, p.data()), 0);
    // Row i of P A is the original row whose block now sits at position i.
    for (int i = 0; i < n; ++i) {
        int source =
            static_cast<int>(std::find(original_rows.begin(), original_rows.end(), a.rows[i]) -
                             original_rows.begin());
        for (int j = 0; j < n; ++j) {
            double lu = 0.0;
            for (int k = 0; k <= std::min(i, j); ++k)
                lu += (k == i ? 1.0 : a[i][k]) * a[k][j];
            ASSERT_NEAR(lu, original[source][j], 1e-12) << i << " " << j;
        }
    }
}

TEST(Lu, OneByOneMeasurement)
{
    lagged_rng g = advanced_generator(0);
    double drawn = lagged_rng_next(g);
    g = advanced_generator(0);
    kernel_result result;
    bench_lu(1, g, {0.0, 2}, plain_kernels(), result);
    EXPECT_EQ(result.checksum, 4.0 * drawn);
    EXPECT_EQ(lu_flop_count(1), 2.0 / 3.0);
    EXPECT_EQ(lu_flop_count(100), 2000000.0 / 3.0);
    EXPECT_TRUE(same_state(g, advanced_generator(1)));
}

TEST(Lu, MeasurementTakesNSquaredValuesAndEmptyMatricesArePrompt)
{
    lagged_rng g = advanced_generator(0);
    kernel_result result;
    bench_lu(10, g, {0.0, 4}, plain_kernels(), result);
    EXPECT_TRUE(same_state(g, advanced_generator(100)));
    EXPECT_EQ(result.reps, 4);
    EXPECT_TRUE(std::isfinite(result.checksum));

    bench_lu(0, g, {1000.0, 0}, plain_kernels(), result);
    EXPECT_EQ(result.reps, 1);
    EXPECT_EQ(result.mflops, 0.0);
    EXPECT_EQ(result.checksum, 0.0);
}
