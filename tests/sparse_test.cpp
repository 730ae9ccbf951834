// Sparse multiply: the column pattern, partial rows, empty rows and accumulation.

#include "kernels/sparse.h"
#include "support/row_matrix.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <vector>

using namespace kalvento;
using namespace kalvento::testing;

namespace {

std::vector<std::int32_t> row_columns(const std::vector<std::int32_t>& start,
                                      const std::vector<std::int32_t>& col, int r)
{
    return std::vector<std::int32_t>(col.begin() + start[r], col.begin() + start[r + 1]);
}

} // namespace

TEST(Sparse, PatternOfTheDefaultSize)
{
    std::vector<std::int32_t> start(1001), col(5000);
    csr_pattern(1000, 5, start.data(), col.data());
    for (int r = 0; r < 10; ++r)
        EXPECT_EQ(row_columns(start, col, r), (std::vector<std::int32_t>{0, 1, 2, 3, 4}));
    for (int r = 10; r < 15; ++r)
        EXPECT_EQ(row_columns(start, col, r), (std::vector<std::int32_t>{0, 2, 4, 6, 8}));
    EXPECT_EQ(row_columns(start, col, 15), (std::vector<std::int32_t>{0, 3, 6, 9, 12}));
    EXPECT_EQ(row_columns(start, col, 999), (std::vector<std::int32_t>{0, 199, 398, 597, 796}));
    EXPECT_EQ(start[1000], 5000);
    EXPECT_EQ(csr_flop_count(1000, 5000, 1), 10000.0);
}

TEST(Sparse, MultiplySumsEachRowInOrderAndAccumulates)
{
    // Row 0 holds 1e16, 1, -1e16: summed in order that is 0, not 1.
    std::vector<double> values{1e16, 1.0, -1e16, 2.0};
    std::vector<std::int32_t> start{0, 3, 3, 4};
    std::vector<std::int32_t> col{0, 1, 2, 1};
    std::vector<double> x{1.0, 1.0, 1.0};
    std::vector<double> y{0.5, 0.0, -1.0};
    csr_multiply(3, y.data(), values.data(), start.data(), col.data(), x.data(), 2);
    EXPECT_EQ(y, (std::vector<double>{0.5, 0.0, 3.0}));
    csr_multiply(3, y.data(), values.data(), start.data(), col.data(), x.data(), 0);
    csr_multiply(0, y.data(), values.data(), start.data(), col.data(), x.data(), 3);
    EXPECT_EQ(y, (std::vector<double>{0.5, 0.0, 3.0}));
}

TEST(Sparse, PartialLastEntriesAreNotStored)
{
    lagged_rng g = advanced_generator(0);
    kernel_result result;
    bench_sparse(10, 95, g, {0.0, 2}, plain_kernels(), result);
    EXPECT_TRUE(same_state(g, advanced_generator(10 + 90)));
    EXPECT_EQ(csr_flop_count(10, 95, 1), 180.0);

    // y holds the product added three times (1 + 2 repetitions).
    lagged_rng fresh = advanced_generator(0);
    block<double> x = vector_from_rng(10, fresh);
    block<double> values = vector_from_rng(90, fresh);
    std::vector<std::int32_t> start(11), col(95);
    csr_pattern(10, 9, start.data(), col.data());
    std::vector<double> y(10, 0.0);
    csr_multiply(10, y.data(), values.get(), start.data(), col.data(), x.get(), 3);
    double sum = 0.0;
    for (double v : y)
        sum += v;
    EXPECT_EQ(result.checksum, sum / 10);
}

TEST(Sparse, FewerEntriesThanRowsStoreNothing)
{
    lagged_rng g = advanced_generator(0);
    kernel_result result;
    bench_sparse(10, 9, g, {0.0, 4}, plain_kernels(), result);
    EXPECT_TRUE(same_state(g, advanced_generator(10)));
    EXPECT_EQ(result.checksum, 0.0);
    EXPECT_EQ(result.mflops, 0.0);
    EXPECT_EQ(result.reps, 4);
}

TEST(Sparse, NoRowsIsPromptAndFinite)
{
    lagged_rng g = advanced_generator(0);
    kernel_result result;
    bench_sparse(0, 0, g, {1000.0, 0}, plain_kernels(), result);
    EXPECT_EQ(result.reps, 1);
    EXPECT_EQ(result.mflops, 0.0);
    EXPECT_EQ(result.checksum, 0.0);
    EXPECT_TRUE(same_state(g, advanced_generator(0)));
}
