// Vectors and row matrices of doubles, filled from the random generator.
//
// A row_matrix is a table of separately allocated rows: two rows are exchanged by exchanging their
// pointers (the LU kernel's pivoting does), and every operation reaches row i through the table's
// current entry i. The fills take values from the generator in row-major order, which is what
// fixes each kernel's input.
#pragma once

#include "support/lagged_rng.h"
#include "support/memory.h"

#include <cstdint>

namespace kalvento {

struct row_matrix {
    double** rows = nullptr;     // the table; null for a matrix that could not be allocated
    std::uint32_t row_count = 0; // how many rows the table owns

    row_matrix() = default;
    row_matrix(row_matrix&& other) noexcept;
    row_matrix& operator=(row_matrix&& other) noexcept;
    ~row_matrix();

    explicit operator bool() const { return rows != nullptr; }
    double* operator[](std::size_t i) const { return rows[i]; }
};

// n values of the generator's stream in index order, or null (taking nothing from the generator)
// when the block cannot be allocated.
block<double> vector_from_rng(std::uint32_t n, lagged_rng& g);

// The next m * n values of the stream, row after row; each row is filled before the next is
// allocated. On an exhausted heap returns a null matrix, having released what it allocated; the
// values taken for the rows already filled stay taken.
row_matrix matrix_from_rng(std::uint32_t m, std::uint32_t n, lagged_rng& g);

// The same allocations without any fill; the values are not set.
row_matrix matrix_alloc(std::uint32_t m, std::uint32_t n);

// Every element of the destination becomes equal to the source's, row by row through both
// tables' current entries.
void matrix_copy(std::uint32_t m, std::uint32_t n, row_matrix& destination,
                 const row_matrix& source);

} // namespace kalvento
