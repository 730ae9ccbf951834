// The fast sparse kernel against the plain one, bit for bit.

#include "differential.h"
#include "kernels/kernel_set.h"
#include "kernels/sparse.h"
#include "support/lagged_rng.h"
#include "support/row_matrix.h"
#include "test_support.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <vector>

using namespace kalvento;
using namespace kalvento::testing;

namespace {

struct csr_matrix {
    std::int32_t n = 0;
    std::vector<std::int32_t> row_start{0};
    std::vector<std::int32_t> col_index;
    std::vector<double> entry_value;
    std::vector<double> x;
};

// The benchmark's matrix: pattern, then x and the values from the shared stream.
csr_matrix benchmark_matrix(std::int32_t n, std::int32_t nz)
{
    csr_matrix m;
    m.n = n;
    std::int32_t nr = nz / n;
    m.row_start.resize(n + 1);
    m.col_index.resize(std::max<std::int32_t>(nz, 1));
    csr_pattern(n, nr, m.row_start.data(), m.col_index.data());
    lagged_rng g = advanced_generator(0);
    for (std::int32_t i = 0; i < n; ++i)
        m.x.push_back(lagged_rng_next(g));
    for (std::int32_t i = 0; i < nr * n; ++i)
        m.entry_value.push_back(lagged_rng_next(g));
    return m;
}

// Rows whose lengths come from `length(r)`, columns anywhere in 0..n-1 (repeats allowed), values
// and x from a generator of its own.
template <class Length>
csr_matrix random_matrix(std::int32_t n, std::int32_t seed, Length length)
{
    csr_matrix m;
    m.n = n;
    lagged_rng g;
    lagged_rng_seed(g, seed);
    for (std::int32_t r = 0; r < n; ++r) {
        std::int32_t len = length(r, g);
        for (std::int32_t k = 0; k < len; ++k) {
            m.col_index.push_back(static_cast<std::int32_t>(lagged_rng_next(g) * (n - 1) + 0.5));
            m.entry_value.push_back(lagged_rng_next(g) * 4.0 - 2.0);
        }
        m.row_start.push_back(static_cast<std::int32_t>(m.col_index.size()));
    }
    for (std::int32_t i = 0; i < n; ++i)
        m.x.push_back(lagged_rng_next(g) * 2.0 - 1.0);
    return m;
}

// Rows of the given lengths, columns anywhere in 0..n-1 (repeats allowed), values and x from a
// generator of its own.
csr_matrix matrix_of_lengths(const std::vector<std::int32_t>& lengths, std::int32_t seed)
{
    std::int32_t n = static_cast<std::int32_t>(lengths.size());
    return random_matrix(n, seed, [&](std::int32_t r, lagged_rng&) { return lengths[r]; });
}

// y after `batch_size` repetitions of each kernel, from the same starting y, must match.
void expect_same_product(const kernel_set& fast, const csr_matrix& m, std::int32_t batch_size,
                         const std::string& what, std::vector<double> y = {})
{
    if (y.empty())
        for (std::int32_t i = 0; i < m.n; ++i)
            y.push_back(0.25 * (i % 5) - 0.5);
    std::vector<double> plain = y;
    csr_multiply(m.n, plain.data(), m.entry_value.data(), m.row_start.data(), m.col_index.data(),
                 m.x.data(), batch_size);
    fast.csr_multiply(m.n, y.data(), m.entry_value.data(), m.row_start.data(), m.col_index.data(),
                      m.x.data(), batch_size);
    EXPECT_EQ(first_difference(y, plain), -1) << what << ", batch " << batch_size;
}

} // namespace

TEST(SparseFast, BenchmarkPatternAtManySizes)
{
    for_each_code_path([](const kernel_set& fast) {
        for (std::int32_t n = 1; n <= 70; ++n)
            for (std::int32_t nr : {0, 1, 2, 3, 4, 5, 7, 8, 9, 10, 13})
                if (nr <= n)
                    expect_same_product(fast, benchmark_matrix(n, n * nr + n / 3), 1,
                                        "n " + std::to_string(n) + " nr " + std::to_string(nr));
        for (std::int32_t n : {127, 128, 129, 255, 256, 257, 300, 1000})
            for (std::int32_t nr : {5, 8, 10, 16, 17})
                expect_same_product(fast, benchmark_matrix(n, n * nr), 2,
                                    "n " + std::to_string(n) + " nr " + std::to_string(nr));
    });
}

TEST(SparseFast, BenchmarkPatternAtTheLargeSize)
{
    csr_matrix m = benchmark_matrix(100000, 1000000);
    for_each_code_path([&](const kernel_set& fast) { expect_same_product(fast, m, 1, "large"); });
}

// Rows of every length up to 40, empty rows, runs of equal rows broken at every place, and
// columns anywhere.
TEST(SparseFast, RandomRowsOfVaryingLength)
{
    std::vector<csr_matrix> matrices;
    for (std::int32_t n : {1, 2, 7, 8, 9, 15, 16, 17, 31, 64, 97, 200}) {
        matrices.push_back(random_matrix(n, 1000 + n, [](std::int32_t, lagged_rng& g) {
            return static_cast<std::int32_t>(lagged_rng_next(g) * 40.0);
        }));
        matrices.push_back(random_matrix(n, 2000 + n, [](std::int32_t, lagged_rng& g) {
            return lagged_rng_next(g) < 0.3 ? 0 : 3;
        }));
        for (std::int32_t odd_row : {0, 5, 7, 8, 13, n - 1})
            matrices.push_back(random_matrix(n, 3000 + n, [odd_row](std::int32_t r, lagged_rng&) {
                return r == odd_row ? 4 : 5;
            }));
        for (std::int32_t length : {0, 1, 2, 3, 4, 6, 9, 11, 12, 19, 24, 33})
            matrices.push_back(
                random_matrix(n, 4000 + n, [length](std::int32_t, lagged_rng&) { return length; }));
    }
    for_each_code_path([&](const kernel_set& fast) {
        for (std::size_t i = 0; i < matrices.size(); ++i)
            for (std::int32_t batch_size : {1, 3})
                expect_same_product(fast, matrices[i], batch_size,
                                    "matrix " + std::to_string(i) + " of n " +
                                        std::to_string(matrices[i].n));
    });
}

// Cancellation, infinities, not-a-numbers and negative zeros in x, the values and y: every
// rounding and every addition order shows in the result. When both operands of an operation are
// not-a-numbers the processor returns the first one, and which operand comes first is the
// compiler's choice (the plain loop's own order differs between compilers and even between
// unrolled copies), so every not-a-number here has the bits the processor gives 0 * inf.
TEST(SparseFast, AdversarialValues)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = default_nan();
    const std::vector<double> specials{1e16,   1.0, -1e16, -0.0,  0.0,    inf, -inf, nan,
                                       1e-310, 3.0, 1e308, 1e308, -1e308, 0.1, 0.2,  0.3};
    for (std::int32_t length : {3, 5, 6, 8, 10, 13}) {
        csr_matrix m =
            random_matrix(40, 77 + length, [length](std::int32_t, lagged_rng&) { return length; });
        for (std::size_t k = 0; k < m.entry_value.size(); ++k)
            m.entry_value[k] = specials[(k * 7 + length) % specials.size()];
        for (std::int32_t i = 0; i < m.n; ++i)
            m.x[i] = specials[(i * 3) % specials.size()];
        std::vector<double> y(m.n);
        for (std::int32_t i = 0; i < m.n; ++i)
            y[i] = specials[(i * 5 + 1) % specials.size()];
        for_each_code_path([&](const kernel_set& fast) {
            for (std::int32_t batch_size : {1, 2})
                expect_same_product(fast, m, batch_size, "length " + std::to_string(length), y);
        });
    }
    // 1e16 + 1 - 1e16 in order is 0, and -0.0 + +0.0 is +0.0: a row of negative-zero products
    // adds +0.0 to a y of -0.0.
    csr_matrix m;
    m.n = 9;
    for (std::int32_t r = 0; r < m.n; ++r) {
        for (double v : {1e16, 1.0, -1e16, -0.0, 2.0})
            m.entry_value.push_back(r == 8 ? -0.0 : v);
        for (std::int32_t k = 0; k < 5; ++k)
            m.col_index.push_back(k);
        m.row_start.push_back(static_cast<std::int32_t>(m.col_index.size()));
    }
    m.x = {1.0, 1.0, 1.0, 5.0, 0.0, 1.0, 1.0, 1.0, 1.0};
    for_each_code_path([&](const kernel_set& fast) {
        std::vector<double> y(m.n, -0.0);
        fast.csr_multiply(m.n, y.data(), m.entry_value.data(), m.row_start.data(),
                          m.col_index.data(), m.x.data(), 1);
        EXPECT_TRUE(same_bits(y[0], 0.0));
        EXPECT_TRUE(same_bits(y[8], 0.0));
        expect_same_product(fast, m, 1, "cancellation");
    });
}

TEST(SparseFast, NoRepetitionsOrNoRowsLeaveYAlone)
{
    csr_matrix m = benchmark_matrix(50, 250);
    for_each_code_path([&](const kernel_set& fast) {
        for (std::int32_t batch_size : {0, -1, -100}) {
            std::vector<double> y(m.n, -0.0);
            fast.csr_multiply(m.n, y.data(), m.entry_value.data(), m.row_start.data(),
                              m.col_index.data(), m.x.data(), batch_size);
            EXPECT_EQ(first_difference(y, std::vector<double>(m.n, -0.0)), -1);
        }
        for (std::int32_t n : {0, -5}) {
            std::vector<double> y(m.n, -0.0);
            fast.csr_multiply(n, y.data(), m.entry_value.data(), m.row_start.data(),
                              m.col_index.data(), m.x.data(), 4);
            EXPECT_EQ(first_difference(y, std::vector<double>(m.n, -0.0)), -1);
        }
    });
}

// The whole measurement through the fast kernels: the checksum of y after 1 + 2 + 4
// multiplies, and the generator left where the plain measurement leaves it.
TEST(SparseFast, MeasurementMatchesPlain)
{
    struct size {
        std::uint32_t n, nz;
    };
    for (size s : {size{1000, 5000}, size{10, 95}, size{333, 2664}}) {
        lagged_rng plain_g = advanced_generator(0);
        kernel_result plain;
        bench_sparse(s.n, s.nz, plain_g, {0.0, 4}, plain_kernels(), plain);
        for_each_code_path([&](const kernel_set& fast) {
            lagged_rng g = advanced_generator(0);
            kernel_result result;
            bench_sparse(s.n, s.nz, g, {0.0, 4}, fast, result);
            EXPECT_TRUE(same_bits(result.checksum, plain.checksum)) << s.n;
            EXPECT_EQ(result.reps, 4);
            EXPECT_TRUE(same_state(g, plain_g));
        });
    }
}

// Runs of rows of one length (those with kernels of their own, 5, 8 and 10, and others) that
// start after a few rows of other lengths, so at any entry offset, and end anywhere: short of a
// block, on a block edge, past it, in the middle of the row-start scan's vectors.
TEST(SparseFast, RunsOfOneLengthAnywhere)
{
    std::vector<csr_matrix> matrices;
    for (std::int32_t length : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 16, 17, 33}) {
        for (std::int32_t before : {0, 1, 3, 8, 9}) {
            for (std::int32_t run : {7, 8, 9, 15, 16, 17, 24, 31, 33, 40, 64}) {
                std::vector<std::int32_t> lengths;
                for (std::int32_t i = 0; i < before; ++i)
                    lengths.push_back((i * 5 + 2) % 7);
                lengths.insert(lengths.end(), run, length);
                for (std::int32_t i = 0; i < 5; ++i)
                    lengths.push_back(i % 3);
                matrices.push_back(matrix_of_lengths(lengths, 100 * length + before + run));
            }
        }
    }
    for_each_code_path([&](const kernel_set& fast) {
        for (std::size_t i = 0; i < matrices.size(); ++i)
            for (std::int32_t batch_size : {1, 2})
                expect_same_product(fast, matrices[i], batch_size,
                                    "matrix " + std::to_string(i) + " of n " +
                                        std::to_string(matrices[i].n));
    });
}

// One row of another length at every position of a run, and runs of the kernels' lengths back
// to back: every run ends exactly where its rows change.
TEST(SparseFast, RunsBrokenAtEveryRow)
{
    std::vector<csr_matrix> matrices;
    for (std::int32_t length : {5, 8, 10}) {
        for (std::int32_t odd_row = 0; odd_row < 48; ++odd_row) {
            std::vector<std::int32_t> lengths(48, length);
            lengths[odd_row] = odd_row % 2 == 0 ? length + 1 : length - 1;
            matrices.push_back(matrix_of_lengths(lengths, 7000 + odd_row * length));
        }
    }
    std::vector<std::int32_t> mixed;
    for (std::int32_t length : {5, 10, 8, 5, 3, 10, 8, 8, 0, 5})
        for (std::int32_t i = 0; i < 8 + length % 3 * 7; ++i)
            mixed.push_back(length);
    matrices.push_back(matrix_of_lengths(mixed, 8000));
    for_each_code_path([&](const kernel_set& fast) {
        for (std::size_t i = 0; i < matrices.size(); ++i)
            expect_same_product(fast, matrices[i], 3, "matrix " + std::to_string(i));
    });
}

// Rows whose lists of columns equal the list of the row before, in runs of every length that
// start at every place of a block; and rows that differ from their run in one entry only (the
// first, one between, the last). Every x differs, so a row given another row's x shows.
TEST(SparseFast, RowsSharingTheirColumns)
{
    constexpr std::int32_t ROWS = 64;
    std::vector<csr_matrix> matrices;
    for (std::int32_t length : {5, 8, 10, 16})
        for (std::int32_t run : {1, 2, 3, 5, 7, 8, 9, 10, 13, 24})
            for (std::int32_t shift : {0, 1, 4, 7})
                for (std::int32_t odd_entry : {-1, 0, length / 2, length - 1}) {
                    csr_matrix m = matrix_of_lengths(std::vector<std::int32_t>(ROWS, length),
                                                     run * 100 + shift * 10 + odd_entry);
                    for (std::int32_t r = 0; r < ROWS; ++r) {
                        std::int32_t group = (r + shift) / run;
                        for (std::int32_t k = 0; k < length; ++k)
                            m.col_index[r * length + k] = (group * 7 + k * 13) % ROWS;
                        if (odd_entry >= 0 && r % 3 == 1) {
                            std::int32_t& column = m.col_index[r * length + odd_entry];
                            column = (column + 1) % ROWS;
                        }
                    }
                    matrices.push_back(m);
                }
    for_each_code_path([&](const kernel_set& fast) {
        for (std::size_t i = 0; i < matrices.size(); ++i)
            expect_same_product(fast, matrices[i], 2, "matrix " + std::to_string(i));
    });
}

// The arrays go on past the n rows the kernel is given, in the same pattern: rows n and later,
// and the entries of y that belong to them, are not the kernel's.
TEST(SparseFast, NothingPastTheLastRow)
{
    for (std::int32_t length : {3, 5, 8, 10}) {
        csr_matrix m = matrix_of_lengths(std::vector<std::int32_t>(48, length), 9000 + length);
        for_each_code_path([&](const kernel_set& fast) {
            for (std::int32_t n = 1; n < m.n; ++n) {
                std::vector<double> plain(m.n, 0.5);
                std::vector<double> y = plain;
                csr_multiply(n, plain.data(), m.entry_value.data(), m.row_start.data(),
                             m.col_index.data(), m.x.data(), 1);
                fast.csr_multiply(n, y.data(), m.entry_value.data(), m.row_start.data(),
                                  m.col_index.data(), m.x.data(), 1);
                EXPECT_EQ(first_difference(y, plain), -1) << "length " << length << ", n " << n;
            }
        });
    }
}
