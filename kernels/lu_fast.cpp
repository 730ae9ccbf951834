// Blocked LU factorisation with register-tiled updates.
//
// Blocking changes when an update happens, never its operands or its order within an element:
// element (i, j) still takes the updates of steps 0, 1, 2, ... in increasing order, each a product
// rounded to double and then subtracted. A block of columns is factored first, with full updates
// inside the block so that every pivot search sees a fully updated column; the block's steps are
// then applied to the columns on its right: first the block's own rows of U in row order (row k
// takes steps k0 .. k-1 from rows that are already final there), then every row below the block.
// Rows move by exchanging table entries, so a row carries its multipliers and its not yet updated
// columns with it.

#include "kernels/fast_kernels.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace kalvento::KALVENTO_FAST_NS {

namespace {

// One vector of W doubles, and sets of its lanes. load_first/store_first touch only the first
// `count` lanes (1 to W), so that no access reaches past the end of a row.
#if defined(__AVX512F__)

constexpr int W = 8;
using vec = __m512d;
using lanes = __mmask8;
using extent = __mmask8;

inline lanes lanes_from(int first)
{
    return first <= 0 ? lanes(0xff) : first >= W ? lanes(0) : lanes(0xff << first);
}
inline extent first_lanes(int count)
{
    return extent((1u << count) - 1);
}
inline vec load(const double* p)
{
    return _mm512_loadu_pd(p);
}
inline vec load_first(const double* p, extent e)
{
    return _mm512_maskz_loadu_pd(e, p);
}
inline void store(double* p, vec v)
{
    _mm512_storeu_pd(p, v);
}
inline void store_first(double* p, vec v, extent e)
{
    _mm512_mask_storeu_pd(p, e, v);
}
inline vec broadcast(double x)
{
    return _mm512_set1_pd(x);
}
inline vec mul(vec a, vec b)
{
    return _mm512_mul_pd(a, b);
}
inline vec sub(vec a, vec b)
{
    return _mm512_sub_pd(a, b);
}
inline vec select(lanes s, vec if_set, vec otherwise)
{
    return _mm512_mask_blend_pd(s, otherwise, if_set);
}

#elif defined(__AVX2__)

constexpr int W = 4;
using vec = __m256d;
using lanes = __m256i;
using extent = __m256i;

inline lanes lanes_from(int first)
{
    return _mm256_cmpgt_epi64(_mm256_setr_epi64x(0, 1, 2, 3), _mm256_set1_epi64x(first - 1));
}
inline extent first_lanes(int count)
{
    return _mm256_cmpgt_epi64(_mm256_set1_epi64x(count), _mm256_setr_epi64x(0, 1, 2, 3));
}
inline vec load(const double* p)
{
    return _mm256_loadu_pd(p);
}
inline vec load_first(const double* p, extent e)
{
    return _mm256_maskload_pd(p, e);
}
inline void store(double* p, vec v)
{
    _mm256_storeu_pd(p, v);
}
inline void store_first(double* p, vec v, extent e)
{
    _mm256_maskstore_pd(p, e, v);
}
inline vec broadcast(double x)
{
    return _mm256_set1_pd(x);
}
inline vec mul(vec a, vec b)
{
    return _mm256_mul_pd(a, b);
}
inline vec sub(vec a, vec b)
{
    return _mm256_sub_pd(a, b);
}
inline vec select(lanes s, vec if_set, vec otherwise)
{
    return _mm256_blendv_pd(otherwise, if_set, _mm256_castsi256_pd(s));
}

#elif defined(__SSE2__)

constexpr int W = 2;
using vec = __m128d;
using lanes = __m128d;
using extent = int; // the count of lanes

inline lanes lanes_from(int first)
{
    return _mm_castsi128_pd(_mm_set_epi64x(first <= 1 ? -1 : 0, first <= 0 ? -1 : 0));
}
inline extent first_lanes(int count)
{
    return count;
}
inline vec load(const double* p)
{
    return _mm_loadu_pd(p);
}
inline vec load_first(const double* p, int count)
{
    return count == 1 ? _mm_load_sd(p) : _mm_loadu_pd(p);
}
inline void store(double* p, vec v)
{
    _mm_storeu_pd(p, v);
}
inline void store_first(double* p, vec v, int count)
{
    if (count == 1)
        _mm_store_sd(p, v);
    else
        _mm_storeu_pd(p, v);
}
inline vec broadcast(double x)
{
    return _mm_set1_pd(x);
}
inline vec mul(vec a, vec b)
{
    return _mm_mul_pd(a, b);
}
inline vec sub(vec a, vec b)
{
    return _mm_sub_pd(a, b);
}
inline vec select(lanes s, vec if_set, vec otherwise)
{
    return _mm_or_pd(_mm_and_pd(s, if_set), _mm_andnot_pd(s, otherwise));
}

#else

constexpr int W = 1;
using vec = double;
using lanes = bool;
using extent = int;

inline lanes lanes_from(int first)
{
    return first <= 0;
}
inline extent first_lanes(int count)
{
    return count;
}
inline vec load(const double* p)
{
    return *p;
}
inline vec load_first(const double* p, extent)
{
    return *p;
}
inline void store(double* p, vec v)
{
    *p = v;
}
inline void store_first(double* p, vec v, extent)
{
    *p = v;
}
inline vec broadcast(double x)
{
    return x;
}
inline vec mul(vec a, vec b)
{
    return a * b;
}
inline vec sub(vec a, vec b)
{
    return a - b;
}
inline vec select(lanes s, vec if_set, vec otherwise)
{
    return s ? if_set : otherwise;
}

#endif

// Columns factored together with full updates; a multiple of W, and of the alignment of rows, so
// that a panel starts on a vector boundary.
constexpr std::int32_t PANEL = 8;
constexpr int PANEL_VECTORS = PANEL / W;
// Widths of the nested blocks above the panel, innermost first: each level's steps reach the
// columns beyond it in one pass of that depth.
constexpr std::array<std::int32_t, 2> BLOCK_WIDTHS = {32, 128};
// Columns of one pass of the tile updates, so that the rows of U it reads stay in cache.
constexpr std::int32_t COLUMN_BLOCK = 256;

// Register tile of the updates: rows and vectors of accumulators.
#if defined(__AVX512F__)
constexpr int TILE_ROWS = 6;
constexpr int TILE_VECTORS = 3;
#elif defined(__AVX2__) || defined(__SSE2__)
constexpr int TILE_ROWS = 4;
constexpr int TILE_VECTORS = 2;
#else
constexpr int TILE_ROWS = 4;
constexpr int TILE_VECTORS = 4;
#endif

struct lu_state {
    double** a;
    std::int32_t m;
    std::int32_t n;
    std::int32_t* pivots;
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

// The pivot row of column j among rows j .. m - 1: the earliest of strictly greatest magnitude;
// a NaN never wins, and a NaN at the diagonal keeps the diagonal row.
std::int32_t search_pivot(const lu_state& s, std::int32_t j)
{
    std::int32_t p = j;
    double t = std::fabs(s.a[j][j]);
    for (std::int32_t i = j + 1; i < s.m; ++i) {
        double candidate = std::fabs(s.a[i][j]);
        if (candidate > t) {
            p = i;
            t = candidate;
        }
    }
    return p;
}

// One step of a panel: its pivot row's vectors, from the one that holds column j, and what each
// row's pass changes: lanes before j keep their values, lane j takes the multiplier and later lanes
// the update.
struct panel_step {
    std::int32_t c; // the panel's first column
    std::int32_t j; // the step
    double r;       // the reciprocal of the pivot
    int first_vector;
    int vectors;
    vec u[PANEL_VECTORS];
    lanes from_j[PANEL_VECTORS];
    lanes after_j[PANEL_VECTORS];
    extent part[PANEL_VECTORS];
};

panel_step step_at(double* const* a, std::int32_t c, std::int32_t end, std::int32_t j)
{
    panel_step st;
    st.c = c;
    st.j = j;
    st.r = 1.0 / a[j][j];
    st.first_vector = static_cast<int>((j - c) / W);
    st.vectors = static_cast<int>((end - c + W - 1) / W);
    for (int v = 0; v < PANEL_VECTORS; ++v) {
        std::int32_t start = c + v * W;
        bool used = v >= st.first_vector && v < st.vectors;
        st.part[v] =
            first_lanes(used ? static_cast<int>(std::min<std::int32_t>(W, end - start)) : 0);
        st.u[v] = used ? load_first(a[j] + start, st.part[v]) : broadcast(0.0);
        st.from_j[v] = lanes_from(static_cast<int>(j - start));
        st.after_j[v] = lanes_from(static_cast<int>(j + 1 - start));
    }
    return st;
}

// Scales column j of the row and updates its later panel columns; returns the multiplier.
inline double step_row(const panel_step& st, double* row)
{
    // Everything is read before the row is written: one store per vector.
    vec old[PANEL_VECTORS] = {};
    for (int v = 0; v < PANEL_VECTORS; ++v)
        if (PANEL_VECTORS == 1 || (v >= st.first_vector && v < st.vectors))
            old[v] = load_first(row + st.c + v * W, st.part[v]);
    double multiplier = row[st.j] * st.r;
    vec m = broadcast(multiplier);
    for (int v = 0; v < PANEL_VECTORS; ++v)
        if (PANEL_VECTORS == 1 || (v >= st.first_vector && v < st.vectors)) {
            vec updated = select(st.after_j[v], sub(old[v], mul(st.u[v], m)), m);
            store_first(row + st.c + v * W, select(st.from_j[v], updated, old[v]), st.part[v]);
        }
    return multiplier;
}

// The step's pass over rows j + 1 .. m - 1. With SEARCH (column j + 1 is in the panel) it also
// returns the next step's pivot, from the updated values of that column; the candidates are
// computed again beside the vector lanes, with the same rounding, so that the search does not
// wait for the rows' stores.
template <bool SEARCH>
std::int32_t step_rows(const panel_step st, double** a, std::int32_t m)
{
    std::int32_t next = st.j + 1;
    if (next >= m)
        return next;
    double pivot_next = SEARCH ? a[st.j][next] : 0.0;
    auto pass = [&](double* row) {
        double old_next = SEARCH ? row[next] : 0.0;
        double multiplier = step_row(st, row);
        return std::fabs(old_next - pivot_next * multiplier);
    };
    std::int32_t p = next;
    double t = pass(a[next]);
    for (std::int32_t i = next + 1; i < m; ++i) {
        double candidate = pass(a[i]);
        if (SEARCH && candidate > t) {
            p = i;
            t = candidate;
        }
    }
    return p;
}

// Factors columns [c, c + width) (width at most PANEL), which have had every step before c,
// without touching any other column. Each step scales its column and updates the rest of the
// panel in one pass over the rows, which also finds the next step's pivot. Returns the step that
// met a zero pivot, or -1.
std::int32_t factor_panel(const lu_state& s, std::int32_t c, std::int32_t width)
{
    double** a = s.a;
    std::int32_t end = c + width;
    std::int32_t p = search_pivot(s, c);
    for (std::int32_t j = c; j < end; ++j) {
        s.pivots[j] = p;
        if (a[p][j] == 0.0)
            return j;
        if (p != j)
            std::swap(a[j], a[p]);
        panel_step st = step_at(a, c, end, j);
        p = j + 1 < end ? step_rows<true>(st, a, s.m) : step_rows<false>(st, a, s.m);
    }
    return -1;
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
    for (std::uint32_t i = 0; i < m; ++i)
        std::memcpy(destination.rows[i], source.rows[i], std::size_t{n} * sizeof(double));
}

std::int32_t lu_decompose(std::int32_t m, std::int32_t n, row_matrix& a, std::int32_t* pivots)
{
    std::int32_t steps = m < n ? m : n;
    if (steps <= 0)
        return 0;
    lu_state s{a.rows, m, n, pivots};
    return factor_block(s, 0, steps, n, static_cast<int>(BLOCK_WIDTHS.size()) + 1) < 0 ? 0 : 1;
}

} // namespace kalvento::KALVENTO_FAST_NS
