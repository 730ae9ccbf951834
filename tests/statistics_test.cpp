#include "driver/statistics.h"

#include <cmath>
#include <gtest/gtest.h>
#include <vector>

namespace kalvento {
namespace {

// Samples of sizes nx and ny, all values distinct, with exactly u pairs in which x is larger.
struct sample_pair {
    std::vector<double> x, y;
};
sample_pair with_u(int nx, int ny, int u)
{
    sample_pair s;
    for (int j = 0; j < ny; ++j)
        s.y.push_back(10.0 * j);
    for (int i = 0; i < nx; ++i) {
        int above = std::min(u, ny); // this x lies above that many y values
        u -= above;
        s.x.push_back(10.0 * above - 5.0 + 0.01 * i);
    }
    return s;
}

double p_for_u(int nx, int ny, int u)
{
    sample_pair s = with_u(nx, ny, u);
    return mann_whitney(s.x, s.y).p_value;
}

// Critical values of U for the two-sided test at alpha = 0.05, as published in the standard
// tables: the largest U significant at that level, -1 where no U is (first column n2 = n1).
const int CRITICAL_U[][20] = {
    /* n1 = 2 */ {-1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 1, 1, 1, 1, 1, 2, 2, 2, 2},
    /* n1 = 3 */ {-1, -1, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8},
    /* n1 = 4 */ {0, 1, 2, 3, 4, 4, 5, 6, 7, 8, 9, 10, 11, 11, 12, 13, 14},
    /* n1 = 5 */ {2, 3, 5, 6, 7, 8, 9, 11, 12, 13, 14, 15, 17, 18, 19, 20},
    /* n1 = 6 */ {5, 6, 8, 10, 11, 13, 14, 16, 17, 19, 21, 22, 24, 25, 27},
    /* n1 = 7 */ {8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30, 32, 34},
    /* n1 = 8 */ {13, 15, 17, 19, 22, 24, 26, 29, 31, 34, 36, 38, 41},
    /* n1 = 9 */ {17, 20, 23, 26, 28, 31, 34, 37, 39, 42, 45, 48},
    /* n1 = 10 */ {23, 26, 29, 33, 36, 39, 42, 45, 48, 52, 55},
};
// The same tables for n1 = n2 = 11 to 19.
const int CRITICAL_U_EQUAL[] = {30, 37, 45, 55, 64, 75, 87, 99, 113};

void expect_critical(int n1, int n2, int critical)
{
    if (critical < 0) {
        EXPECT_GT(p_for_u(n1, n2, 0), 0.05) << n1 << " x " << n2;
        return;
    }
    EXPECT_LE(p_for_u(n1, n2, critical), 0.05) << n1 << " x " << n2;
    EXPECT_GT(p_for_u(n1, n2, critical + 1), 0.05) << n1 << " x " << n2;
    // Either side may be the first.
    sample_pair s = with_u(n1, n2, critical);
    EXPECT_EQ(mann_whitney(s.x, s.y).p_value, mann_whitney(s.y, s.x).p_value);
}

TEST(MannWhitney, MatchesThePublishedCriticalValues)
{
    for (int n1 = 2; n1 <= 10; ++n1)
        for (int n2 = n1; n2 <= 20; ++n2)
            expect_critical(n1, n2, CRITICAL_U[n1 - 2][n2 - n1]);
    for (int n = 11; n <= 19; ++n)
        expect_critical(n, n, CRITICAL_U_EQUAL[n - 11]);
}

TEST(MannWhitney, ExactPValuesCountedByHand)
{
    // Complete separation: 2 of the C(n1 + n2, n1) splits are that extreme.
    EXPECT_DOUBLE_EQ(p_for_u(5, 5, 0), 2.0 / 252.0); // printed as p=0.008
    EXPECT_DOUBLE_EQ(p_for_u(4, 4, 0), 2.0 / 70.0);
    EXPECT_DOUBLE_EQ(p_for_u(3, 3, 0), 2.0 / 20.0);
    EXPECT_DOUBLE_EQ(p_for_u(1, 1, 0), 1.0);
    // 3 and 4 values, U = 1: the splits with U 0 or 1 (1 + 1) at each end, 4 of 35.
    EXPECT_DOUBLE_EQ(p_for_u(3, 4, 1), 4.0 / 35.0);
    // 5 and 5, U = 2: U 0, 1, 2 are reached by 1, 1 and 2 splits at each end, 8 of 252.
    EXPECT_DOUBLE_EQ(p_for_u(5, 5, 2), 8.0 / 252.0);
    // The middle of the distribution.
    EXPECT_DOUBLE_EQ(p_for_u(4, 4, 8), 1.0);

    sample_pair s = with_u(5, 5, 0);
    rank_test test = mann_whitney(s.x, s.y);
    EXPECT_EQ(test.u, 0.0);
    EXPECT_TRUE(test.exact);
    EXPECT_EQ(mann_whitney(s.y, s.x).u, 25.0);
}

// Every way to split the pooled values into groups of the sizes of x and y, counted directly.
double brute_force_p(const std::vector<double>& x, const std::vector<double>& y)
{
    std::vector<double> pooled(x);
    pooled.insert(pooled.end(), y.begin(), y.end());
    std::size_t n = pooled.size();
    auto u_of = [&](unsigned mask) {
        double u = 0.0;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j)
                if ((mask >> i & 1) && !(mask >> j & 1))
                    u += pooled[i] > pooled[j] ? 1.0 : pooled[i] == pooled[j] ? 0.5 : 0.0;
        return u;
    };
    double mean = x.size() * y.size() / 2.0;
    double observed = std::fabs(u_of((1u << x.size()) - 1) - mean);
    double splits = 0.0, extreme = 0.0;
    for (unsigned mask = 0; mask < 1u << n; ++mask)
        if (static_cast<std::size_t>(__builtin_popcount(mask)) == x.size()) {
            splits += 1.0;
            extreme += std::fabs(u_of(mask) - mean) >= observed - 1e-9 ? 1.0 : 0.0;
        }
    return extreme / splits;
}

TEST(MannWhitney, TiesTakeMidRanksAndTheirOwnExactDistribution)
{
    // By hand: 1 2 | 2 3 gives mid-ranks 1, 2.5, 2.5, 4; U = 0.5, and 4 of the 6 splits lie as
    // far from the mean U of 2.
    rank_test test = mann_whitney(std::vector<double>{1, 2}, std::vector<double>{2, 3});
    EXPECT_EQ(test.u, 0.5);
    EXPECT_DOUBLE_EQ(test.p_value, 4.0 / 6.0);

    const std::vector<std::pair<std::vector<double>, std::vector<double>>> cases = {
        {{1, 1, 2, 3}, {2, 3, 3, 4, 4}},         {{5, 5, 5}, {5, 5, 6, 6}},
        {{1, 2, 2, 2, 7}, {2, 3, 3, 9, 9, 9}},   {{0, 0, 0, 0, 0, 1}, {1, 1, 1, 1, 1, 2}},
        {{3.5, 1, 4, 1, 5}, {9, 2, 6, 5, 3, 5}},
    };
    for (const auto& [x, y] : cases) {
        EXPECT_NEAR(mann_whitney(x, y).p_value, brute_force_p(x, y), 1e-12);
        EXPECT_NEAR(mann_whitney(y, x).p_value, brute_force_p(x, y), 1e-12);
    }
}

TEST(MannWhitney, IdenticalSamplesAreNeverSignificant)
{
    std::vector<double> runs{2843.5, 2850.1, 2838.7, 2843.5, 2901.0};
    EXPECT_EQ(mann_whitney(runs, runs).p_value, 1.0);
    std::vector<double> same(30, 1000.0);
    rank_test test = mann_whitney(same, same);
    EXPECT_FALSE(test.exact);
    EXPECT_EQ(test.p_value, 1.0);
    EXPECT_EQ(mann_whitney({}, runs).p_value, 1.0);
}

TEST(MannWhitney, NormalApproximationOnlyFromTwentyRunsASide)
{
    sample_pair small = with_u(19, 40, 0);
    EXPECT_TRUE(mann_whitney(small.x, small.y).exact);

    // 20 and 20, completely separated: z = (200 - 0.5) / sqrt(20 * 20 * 41 / 12) = 5.397.
    sample_pair s = with_u(20, 20, 0);
    rank_test test = mann_whitney(s.x, s.y);
    EXPECT_FALSE(test.exact);
    EXPECT_NEAR(test.p_value, std::erfc(199.5 / std::sqrt(400.0 * 41.0 / 12.0) / std::sqrt(2.0)),
                1e-15);
    EXPECT_LT(test.p_value, 1e-6);
    // The tables' critical value for 20 and 20 holds for the approximation as well.
    expect_critical(20, 20, 127);
}

TEST(MannWhitney, SmallestPValuesAndTheRunsNeeded)
{
    EXPECT_DOUBLE_EQ(smallest_p_value(5, 5), 2.0 / 252.0);
    EXPECT_DOUBLE_EQ(smallest_p_value(1, 5), 2.0 / 6.0);
    EXPECT_EQ(smallest_p_value(1, 1), 1.0);
    EXPECT_GE(smallest_p_value(3, 3), 0.05);
    EXPECT_LT(smallest_p_value(2, 8), 0.05);
    EXPECT_GE(smallest_p_value(1, 39), 0.05); // exactly 2 / 40
    EXPECT_LT(smallest_p_value(1, 40), 0.05);
    EXPECT_EQ(runs_needed_per_side(), 4u);
}

} // namespace
} // namespace kalvento
