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
// earliest row of each lane, and a NaN never compares greater. Two searches take alternate
// vectors, so that their chains of comparisons and selections overlap; the pivot is the earliest
// row of greatest magnitude in either.
struct pivot_search {
    vec best;
    vec where;
    vec rows; // the rows of this search's next vector
};

struct pivot_searches {
    pivot_search even;
    pivot_search odd;
};

inline pivot_search search_from(std::int32_t first)
{
    return {broadcast(-1.0), broadcast(-1.0), add(lane_numbers(), broadcast(double(first)))};
}

inline pivot_searches searches_from(std::int32_t first)
{
    return {search_from(first), search_from(first + W)};
}

inline void search_take(pivot_search& s, vec x)
{
    vec magnitude = magnitude_of(x);
    lanes greater = greater_than(magnitude, s.best);
    s.best = select(greater, magnitude, s.best);
    s.where = select(greater, s.rows, s.where);
    s.rows = add(s.rows, broadcast(double(2 * W)));
}

// The earliest row holding `top` in s, or infinity.
inline double earliest_with(const pivot_search& s, double top)
{
    return least_lane(select(equal(s.best, broadcast(top)), s.where,
                             broadcast(std::numeric_limits<double>::infinity())));
}

// What a search found: the pivot's row and its magnitude, which is NaN when the search kept the
// first row for its NaN.
struct pivot_choice {
    std::int32_t row;
    double magnitude;
};

// The earliest row of strictly greatest magnitude from `first`, whose value is `diagonal`; a NaN
// there keeps `first`, as no magnitude compares greater than it.
inline pivot_choice search_result(const pivot_searches& s, std::int32_t first, double diagonal)
{
    if (std::isnan(diagonal))
        return {first, diagonal};
    // Lane 0 of the even search holds `first` or a better row, so the greatest magnitude is not
    // negative and some lane holds it with a row from `first` on; no best is NaN.
    double top = std::max(greatest_lane(s.even.best), greatest_lane(s.odd.best));
    return {
        static_cast<std::int32_t>(std::min(earliest_with(s.even, top), earliest_with(s.odd, top))),
        top};
}

// 1 / pivot. From the magnitude the search found, the division waits for the search alone, not
// for the pivot's row and its load; 1 / -x is -(1 / x) exactly, so the pivot gives the sign.
inline double reciprocal_of(double pivot, double magnitude)
{
    return std::isnan(magnitude) ? 1.0 / pivot : std::copysign(1.0 / magnitude, pivot);
}

// Vectors of rows from `first` up to `rows`, two at a time into alternate searches:
// take(i, search) for each vector's first row i.
template <class Take>
KALVENTO_INLINE void search_down(pivot_searches& s, std::int32_t first, std::int32_t rows,
                                 Take take)
{
    std::int32_t i = first;
    for (; i + W < rows; i += 2 * W) {
        take(i, s.even);
        take(i + W, s.odd);
    }
    if (i < rows)
        take(i, s.even);
}

// Step jl's pass down the rows, whose multipliers are column jl times r: the multipliers stored,
// column jl + 1 updated and searched, and the OTHERS columns after it updated, all from the
// multipliers in registers. Returns the pivot found in column jl + 1.
template <int OTHERS>
pivot_choice panel_pass(const panel_columns& p, std::int32_t rows, std::int32_t jl, vec r)
{
    double* pivot_column = p.column(jl);
    std::int32_t next = jl + 1;
    double* column[OTHERS + 1];
    vec u[OTHERS + 1];
    for (int l = 0; l <= OTHERS; ++l) {
        column[l] = p.column(next + l);
        u[l] = broadcast(column[l][jl]);
    }
    pivot_searches search = searches_from(next);
    search_down(search, next, rows, [&](std::int32_t i, pivot_search& half) KALVENTO_INLINE_LAMBDA {
        vec m = mul(load(pivot_column + i), r);
        store(pivot_column + i, m);
        vec updated = sub(load(column[0] + i), mul(u[0], m));
        store(column[0] + i, updated);
        search_take(half, updated);
        for (int l = 1; l <= OTHERS; ++l)
            store(column[l] + i, sub(load(column[l] + i), mul(u[l], m)));
    });
    return search_result(search, next, column[0][next]);
}

// panel_pass for `others` columns after jl + 1, from OTHERS up.
template <int OTHERS = 0>
pivot_choice panel_pass_with(int others, const panel_columns& p, std::int32_t rows, std::int32_t jl,
                             vec r)
{
    if constexpr (OTHERS + 2 < PANEL)
        if (others != OTHERS)
            return panel_pass_with<OTHERS + 1>(others, p, rows, jl, r);
    return panel_pass<OTHERS>(p, rows, jl, r);
}

// Step jl of the panel (local), whose pivot is in place: scales column jl below the diagonal and
// updates the later columns, a vector of rows at a time. Returns the next step's pivot, found in
// the updated column jl + 1, if that column is in the panel.
pivot_choice panel_step(const panel_columns& p, std::int32_t rows, std::int32_t width,
                        std::int32_t jl, double pivot, double magnitude)
{
    double* pivot_column = p.column(jl);
    vec r = broadcast(reciprocal_of(pivot, magnitude));
    std::int32_t next = jl + 1;
    if (next == width) {
        for (std::int32_t i = next; i < rows; i += W)
            store(pivot_column + i, mul(load(pivot_column + i), r));
        return {next, std::numeric_limits<double>::quiet_NaN()};
    }
    return panel_pass_with(static_cast<int>(width - next - 1), p, rows, jl, r);
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

    pivot_searches search = searches_from(0);
    search_down(search, 0, rows, [&](std::int32_t i, pivot_search& half) KALVENTO_INLINE_LAMBDA {
        search_take(half, load(p.column(0) + i));
    });
    pivot_choice choice = search_result(search, 0, p.column(0)[0]);
    std::int32_t failed = -1;
    for (std::int32_t jl = 0; jl < width; ++jl) {
        std::int32_t pivot = choice.row;
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
        choice = panel_step(p, rows, width, jl, pivot_value, choice.magnitude);
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
