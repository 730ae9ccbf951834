// Blocked LU factorisation with register-tiled updates.
//
// Blocking changes when an update happens, never its operands or its order within an element:
// element (i, j) still takes the updates of steps 0, 1, 2, ... in increasing order, each a product
// rounded to double and then subtracted. A block of columns is factored first, with full updates
// inside the block so that every pivot search sees a fully updated column; the block's steps are
// then applied to the columns on its right: first the block's own rows of U in row order (row k
// takes steps k0 .. k-1 from rows that are already final there), then every row below the block.
// Rows move by exchanging table entries, so a row carries its multipliers and its not yet updated
// columns with it. Blocks nest down to panels of a few columns, which are factored in a
// column-major copy so that the scaling, the updates and the pivot search run whole vectors down
// the columns.

#include "kernels/fast_kernels.h"
#include "kernels/lu.h"
#include "kernels/simd/simd.h"
#include "support/exact_arithmetic.h"
#include "support/memory.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

namespace kalvento::KALVENTO_FAST_NS {

namespace {

using namespace simd;

constexpr int W = LANES;

// Columns factored together with full updates; a multiple of W, and of the alignment of rows, so
// that a panel starts on a vector boundary.
constexpr std::int32_t PANEL = 8;
// Widths of the nested blocks above the panel, innermost first: each level's steps reach the
// columns beyond it in one pass of that depth.
constexpr std::array<std::int32_t, 2> BLOCK_WIDTHS = {32, 128};
// Columns of one pass of the tile updates, so that the rows of U it reads stay in cache.
constexpr std::int32_t COLUMN_BLOCK = 240;

// Register tile of the updates: rows and vectors of accumulators, as many as the registers hold
// beside one row of U and the multiplier.
constexpr int TILE_VECTORS = 3;
constexpr int TILE_ROWS = REGISTERS >= 32 ? 6 : 3;

// The panel's columns copied out of the rows, so that every step runs whole vectors down its
// columns: panel column l, local row i (table position c + i) at data[l * stride + i]. Vectors
// run past the last row into padding that starts as zeros; nothing reads it back, and its
// values, zeros or NaN, never win a pivot search.
struct panel_columns {
    double* data;
    std::ptrdiff_t stride;
    double* column(std::int32_t l) const { return data + l * stride; }
};

struct lu_state {
    double** a;
    std::int32_t m;
    std::int32_t* pivots;
    panel_columns panel; // room for PANEL columns of m rows and W of padding
};

// Rows target[0 .. R) take steps k0 .. k0 + depth - 1, whose pivot rows are pivot_rows[0 ..
// depth), on C vectors of columns from `col`; the last vector holds `tail` columns when PARTIAL.
template <int R, int C, bool PARTIAL>
void update_tile(double* const* target, double* const* pivot_rows, std::int32_t k0,
                 std::int32_t depth, std::int32_t col, int tail)
{
    double* row[R];
    for (int r = 0; r < R; ++r)
        row[r] = target[r];
    extent last = first_lanes(tail);
    vec acc[R][C];
    for (int r = 0; r < R; ++r)
        for (int c = 0; c < C; ++c)
            acc[r][c] = PARTIAL && c == C - 1 ? load_first(row[r] + col + c * W, last)
                                              : load(row[r] + col + c * W);
    // Every caller has at least one step.
    std::int32_t k = 0;
    do {
        const double* pivot = pivot_rows[k] + col;
        vec u[C];
        for (int c = 0; c < C; ++c)
            u[c] = PARTIAL && c == C - 1 ? load_first(pivot + c * W, last) : load(pivot + c * W);
        for (int r = 0; r < R; ++r) {
            vec multiplier = broadcast(row[r][k0 + k]);
            for (int c = 0; c < C; ++c)
                acc[r][c] = sub(acc[r][c], mul(u[c], multiplier));
        }
    } while (++k < depth);
    for (int r = 0; r < R; ++r)
        for (int c = 0; c < C; ++c) {
            if (PARTIAL && c == C - 1)
                store_first(row[r] + col + c * W, acc[r][c], last);
            else
                store(row[r] + col + c * W, acc[r][c]);
        }
}

using tile_function = void (*)(double* const*, double* const*, std::int32_t, std::int32_t,
                               std::int32_t, int);

// Entry ((R - 1) * TILE_VECTORS + C - 1) * 2 + PARTIAL.
template <std::size_t... I>
constexpr std::array<tile_function, sizeof...(I)> tile_table(std::index_sequence<I...>)
{
    return {
        update_tile<int(I / (2 * TILE_VECTORS)) + 1, int(I / 2 % TILE_VECTORS) + 1, I % 2 == 1>...};
}
constexpr auto TILES = tile_table(std::make_index_sequence<2 * TILE_ROWS * TILE_VECTORS>{});

// `rows` rows from target take steps k0 .. k0 + depth - 1 on columns [col, col + width).
void update_rows(const lu_state& s, double* const* target, int rows, std::int32_t k0,
                 std::int32_t depth, std::int32_t col, std::int32_t width)
{
    const tile_function* by_rows = TILES.data() + (rows - 1) * TILE_VECTORS * 2;
    std::int32_t end = col + width;
    for (; end - col >= TILE_VECTORS * W; col += TILE_VECTORS * W)
        by_rows[(TILE_VECTORS - 1) * 2](target, s.a + k0, k0, depth, col, W);
    if (col < end) {
        std::int32_t left = end - col;
        int vectors = static_cast<int>((left + W - 1) / W);
        int tail = static_cast<int>(left - (vectors - 1) * W);
        by_rows[(vectors - 1) * 2 + (tail != W)](target, s.a + k0, k0, depth, col, tail);
    }
}

// Steps [k0, k1), already taken on their own columns, reach columns [c_begin, c_end), which have
// had every step before k0.
void apply_steps(const lu_state& s, std::int32_t k0, std::int32_t k1, std::int32_t c_begin,
                 std::int32_t c_end)
{
    if (k1 <= k0 || c_end <= c_begin)
        return;
    for (std::int32_t col = c_begin; col < c_end; col += COLUMN_BLOCK) {
        std::int32_t width = std::min(COLUMN_BLOCK, c_end - col);
        // The block's own rows of U, a tile of rows at a time: the steps above the tile
        // together, then the tile's own steps row by row.
        for (std::int32_t g = k0; g < k1; g += TILE_ROWS) {
            int rows = static_cast<int>(std::min<std::int32_t>(TILE_ROWS, k1 - g));
            if (g > k0)
                update_rows(s, s.a + g, rows, k0, g - k0, col, width);
            for (std::int32_t k = g + 1; k < g + rows; ++k)
                update_rows(s, s.a + k, 1, g, k - g, col, width);
        }
        for (std::int32_t i = k1; i < s.m; i += TILE_ROWS)
            update_rows(s, s.a + i, static_cast<int>(std::min<std::int32_t>(TILE_ROWS, s.m - i)),
                        k0, k1 - k0, col, width);
    }
}

// A running pivot search down a column, a vector of rows at a time: per lane the greatest
// magnitude so far (-1 before any) and the row that holds it. The strict comparison keeps the
// earliest row of each lane, and a NaN never compares greater.
struct pivot_search {
    vec best;
    vec where;
    vec rows; // the rows of the next vector
};

inline pivot_search search_from(std::int32_t first)
{
    return {broadcast(-1.0), broadcast(-1.0), add(lane_numbers(), broadcast(double(first)))};
}

inline void search_take(pivot_search& s, vec x)
{
    vec magnitude = magnitude_of(x);
    lanes greater = greater_than(magnitude, s.best);
    s.best = select(greater, magnitude, s.best);
    s.where = select(greater, s.rows, s.where);
    s.rows = add(s.rows, broadcast(double(W)));
}

// The earliest row of strictly greatest magnitude from `first`, whose value is `diagonal`; a NaN
// there keeps `first`, as no magnitude compares greater than it.
inline std::int32_t search_result(const pivot_search& s, std::int32_t first, double diagonal)
{
    if (std::isnan(diagonal))
        return first;
    // Lane 0 holds `first` or a better row, so the greatest magnitude is not negative and some
    // lane holds it with a row from `first` on.
    vec top = broadcast(greatest_lane(s.best));
    vec at =
        select(equal(s.best, top), s.where, broadcast(std::numeric_limits<double>::infinity()));
    return static_cast<std::int32_t>(least_lane(at));
}

// Step jl of the panel (local), whose pivot is in place: scales column jl below the diagonal and
// updates the later columns, a vector of rows at a time. Returns the next step's pivot, the local
// row found in the updated column jl + 1, if that column is in the panel.
std::int32_t panel_step(const panel_columns& p, std::int32_t rows, std::int32_t width,
                        std::int32_t jl, double pivot)
{
    double* data = p.data;
    std::ptrdiff_t stride = p.stride;
    double* pivot_column = data + jl * stride;
    vec r = broadcast(1.0 / pivot);
    std::int32_t next = jl + 1;
    if (next == width) {
        for (std::int32_t i = next; i < rows; i += W)
            store(pivot_column + i, mul(load(pivot_column + i), r));
        return next;
    }
    // The scaling and the next column's update and search in one pass, then the other columns.
    double* column = data + next * stride;
    vec u = broadcast(column[jl]);
    pivot_search search = search_from(next);
    for (std::int32_t i = next; i < rows; i += W) {
        vec m = mul(load(pivot_column + i), r);
        store(pivot_column + i, m);
        vec updated = sub(load(column + i), mul(u, m));
        store(column + i, updated);
        search_take(search, updated);
    }
    for (std::int32_t l = next + 1; l < width; ++l) {
        column = data + l * stride;
        u = broadcast(column[jl]);
        for (std::int32_t i = next; i < rows; i += W)
            store(column + i, sub(load(column + i), mul(u, load(pivot_column + i))));
    }
    return search_result(search, next, data[next * stride + next]);
}

// Columns [c, c + width) of rows a[0 .. rows) into the panel's columns, W x W blocks at a time.
void copy_out(const panel_columns& p, double* const* a, std::int32_t rows, std::int32_t c,
              std::int32_t width)
{
    std::int32_t i = 0;
    for (; i + W <= rows; i += W)
        for (std::int32_t l0 = 0; l0 < width; l0 += W) {
            int count = static_cast<int>(std::min<std::int32_t>(W, width - l0));
            vec v[W];
            for (int k = 0; k < W; ++k)
                v[k] = load_first(a[i + k] + c + l0, first_lanes(count));
            transpose(v);
            for (int l = 0; l < count; ++l)
                store(p.column(l0 + l) + i, v[l]);
        }
    for (; i < rows; ++i)
        for (std::int32_t l = 0; l < width; ++l)
            p.column(l)[i] = a[i][c + l];
}

// The panel's columns back into columns [c, c + width) of rows a[0 .. rows).
void copy_back(const panel_columns& p, double* const* a, std::int32_t rows, std::int32_t c,
               std::int32_t width)
{
    std::int32_t i = 0;
    for (; i + W <= rows; i += W)
        for (std::int32_t l0 = 0; l0 < width; l0 += W) {
            int count = static_cast<int>(std::min<std::int32_t>(W, width - l0));
            vec v[W];
            for (int l = 0; l < W; ++l)
                v[l] = l < count ? load(p.column(l0 + l) + i) : broadcast(0.0);
            transpose(v);
            for (int k = 0; k < W; ++k) {
                if (count == W)
                    store(a[i + k] + c + l0, v[k]);
                else
                    store_first(a[i + k] + c + l0, v[k], first_lanes(count));
            }
        }
    for (; i < rows; ++i)
        for (std::int32_t l = 0; l < width; ++l)
            a[i][c + l] = p.column(l)[i];
}

// Factors columns [c, c + width) (width at most PANEL), which have had every step before c,
// without touching any other column. Returns the step that met a zero pivot, or -1.
std::int32_t factor_panel(const lu_state& s, std::int32_t c, std::int32_t width)
{
    double** a = s.a + c;
    std::int32_t rows = s.m - c;
    const panel_columns& p = s.panel;
    copy_out(p, a, rows, c, width);
    for (std::int32_t l = 0; l < width; ++l)
        std::fill_n(p.column(l) + rows, W, 0.0);

    pivot_search search = search_from(0);
    for (std::int32_t i = 0; i < rows; i += W)
        search_take(search, load(p.column(0) + i));
    std::int32_t pivot = search_result(search, 0, p.column(0)[0]);
    std::int32_t failed = -1;
    for (std::int32_t jl = 0; jl < width; ++jl) {
        s.pivots[c + jl] = c + pivot;
        double pivot_value = p.column(jl)[pivot];
        if (pivot_value == 0.0) {
            failed = c + jl;
            break;
        }
        if (pivot != jl) {
            std::swap(a[jl], a[pivot]);
            for (std::int32_t l = 0; l < width; ++l)
                std::swap(p.column(l)[jl], p.column(l)[pivot]);
        }
        pivot = panel_step(p, rows, width, jl, pivot_value);
    }

    copy_back(p, a, rows, c, width);
    return failed;
}

// Factors steps [c0, c0 + width) with the blocks of `level` (0: a panel), keeping columns up to
// c_end current with them; columns beyond c_end are not touched. Returns the step that met a zero
// pivot, or -1; then every column up to c_end is as the plain order leaves it at that step.
std::int32_t factor_block(const lu_state& s, std::int32_t c0, std::int32_t width,
                          std::int32_t c_end, int level)
{
    if (level == 0) {
        std::int32_t failed = factor_panel(s, c0, width);
        apply_steps(s, c0, failed < 0 ? c0 + width : failed, c0 + width, c_end);
        return failed;
    }
    std::int32_t inner = level == 1 ? PANEL : BLOCK_WIDTHS[level - 2];
    for (std::int32_t c = c0; c < c0 + width; c += inner) {
        std::int32_t w = std::min(inner, c0 + width - c);
        std::int32_t failed = factor_block(s, c, w, c + w, level - 1);
        apply_steps(s, c, failed < 0 ? c + w : failed, c + w, c_end);
        if (failed >= 0)
            return failed;
    }
    return -1;
}

} // namespace

void matrix_copy(std::uint32_t m, std::uint32_t n, row_matrix& destination,
                 const row_matrix& source)
{
    for (std::uint32_t i = 0; i < m; ++i) {
        double* to = destination.rows[i];
        const double* from = source.rows[i];
        std::uint32_t j = 0;
        for (; j + W <= n; j += W)
            store(to + j, load(from + j));
        for (; j < n; ++j)
            to[j] = from[j];
    }
}

std::int32_t lu_decompose(std::int32_t m, std::int32_t n, row_matrix& a, std::int32_t* pivots)
{
    std::int32_t steps = m < n ? m : n;
    if (steps <= 0)
        return 0;
    // A whole number of vectors per column keeps the columns aligned.
    std::ptrdiff_t stride = (std::ptrdiff_t{m} + 2 * W - 1) / W * W;
    block<double> panel = block_of<double>(std::size_t(PANEL) * stride);
    if (!panel)
        return kalvento::lu_decompose(m, n, a, pivots);
    lu_state s{a.rows, m, pivots, {panel.get(), stride}};
    return factor_block(s, 0, steps, n, static_cast<int>(BLOCK_WIDTHS.size()) + 1) < 0 ? 0 : 1;
}

} // namespace kalvento::KALVENTO_FAST_NS
