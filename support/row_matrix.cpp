#include "support/row_matrix.h"

#include "support/exact_arithmetic.h"

#include <utility>

namespace kalvento {

namespace {

void release(double** rows, std::uint32_t row_count)
{
    if (!rows)
        return;
    for (std::uint32_t i = 0; i < row_count; ++i)
        block_free(rows[i]);
    block_free(rows);
}

// Allocates the table and the rows, calling fill(row) on each row before the next is
// allocated; on failure releases everything allocated here and returns a null matrix.
template <class Fill>
row_matrix allocate_rows(std::uint32_t m, std::uint32_t n, Fill&& fill)
{
    row_matrix a;
    block<double*> table = block_of<double*>(m);
    if (!table)
        return a;
    for (std::uint32_t i = 0; i < m; ++i) {
        block<double> row = block_of<double>(n);
        if (!row) {
            release(table.release(), i);
            return a;
        }
        fill(row.get());
        table[i] = row.release();
    }
    a.rows = table.release();
    a.row_count = m;
    return a;
}

} // namespace

row_matrix::row_matrix(row_matrix&& other) noexcept
    : rows(std::exchange(other.rows, nullptr)), row_count(std::exchange(other.row_count, 0))
{}

row_matrix& row_matrix::operator=(row_matrix&& other) noexcept
{
    if (this != &other) {
        release(rows, row_count);
        rows = std::exchange(other.rows, nullptr);
        row_count = std::exchange(other.row_count, 0);
    }
    return *this;
}

row_matrix::~row_matrix()
{
    release(rows, row_count);
}

block<double> vector_from_rng(std::uint32_t n, lagged_rng& g)
{
    block<double> v = block_of<double>(n);
    if (v)
        for (std::uint32_t i = 0; i < n; ++i)
            v[i] = lagged_rng_next(g);
    return v;
}

row_matrix matrix_from_rng(std::uint32_t m, std::uint32_t n, lagged_rng& g)
{
    return allocate_rows(m, n, [&](double* row) {
        for (std::uint32_t j = 0; j < n; ++j)
            row[j] = lagged_rng_next(g);
    });
}

row_matrix matrix_alloc(std::uint32_t m, std::uint32_t n)
{
    return allocate_rows(m, n, [](double*) {});
}

void matrix_copy(std::uint32_t m, std::uint32_t n, row_matrix& destination,
                 const row_matrix& source)
{
    // Unrolled by four after the leading n mod 4 elements.
    std::uint32_t lead = n % 4;
    for (std::uint32_t i = 0; i < m; ++i) {
        double* to = destination.rows[i];
        const double* from = source.rows[i];
        for (std::uint32_t j = 0; j < lead; ++j)
            to[j] = from[j];
        for (std::uint32_t j = lead; j < n; j += 4) {
            to[j] = from[j];
            to[j + 1] = from[j + 1];
            to[j + 2] = from[j + 2];
            to[j + 3] = from[j + 3];
        }
    }
}

} // namespace kalvento
