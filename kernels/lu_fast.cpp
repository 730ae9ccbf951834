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
#include "support/memory.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace kalvento::KALVENTO_FAST_NS {

namespace {

// One vector of W doubles; `lanes`, a set of its lanes (what a comparison yields); `extent`, its
// first `count` lanes (1 to W), the only ones load_first and store_first touch, so that no access
// reaches past the end of a row.
#if defined(__AVX512F__)

constexpr int W = 8;
using vec = __m512d;
using lanes = __mmask8;
using extent = __mmask8;

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
inline vec add(vec a, vec b)
{
    return _mm512_add_pd(a, b);
}
inline vec select(lanes s, vec if_set, vec otherwise)
{
    return _mm512_mask_blend_pd(s, otherwise, if_set);
}
inline lanes greater_than(vec a, vec b)
{
    return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ);
}
inline lanes equal(vec a, vec b)
{
    return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ);
}
inline vec magnitude_of(vec a)
{
    return _mm512_abs_pd(a);
}
// (The zero-masked forms of the intrinsics keep gcc's headers from warning.)
inline double greatest_lane(vec a)
{
    __m256d quarter = _mm256_max_pd(_mm512_maskz_extractf64x4_pd(0xff, a, 0),
                                    _mm512_maskz_extractf64x4_pd(0xff, a, 1));
    __m128d half = _mm_max_pd(_mm256_castpd256_pd128(quarter), _mm256_extractf128_pd(quarter, 1));
    return _mm_cvtsd_f64(_mm_max_sd(half, _mm_unpackhi_pd(half, half)));
}
inline double least_lane(vec a)
{
    __m256d quarter = _mm256_min_pd(_mm512_maskz_extractf64x4_pd(0xff, a, 0),
                                    _mm512_maskz_extractf64x4_pd(0xff, a, 1));
    __m128d half = _mm_min_pd(_mm256_castpd256_pd128(quarter), _mm256_extractf128_pd(quarter, 1));
    return _mm_cvtsd_f64(_mm_min_sd(half, _mm_unpackhi_pd(half, half)));
}
inline vec lane_numbers()
{
    return _mm512_setr_pd(0, 1, 2, 3, 4, 5, 6, 7);
}
// v[i][l] becomes v[l][i].
inline void transpose(vec (&v)[W])
{
    vec t[W], q[W];
    for (int i = 0; i < W; i += 2) {
        t[i] = _mm512_maskz_unpacklo_pd(0xff, v[i], v[i + 1]);
        t[i + 1] = _mm512_maskz_unpackhi_pd(0xff, v[i], v[i + 1]);
    }
    const __m512i even_pairs = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
    const __m512i odd_pairs = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
    for (int h = 0; h < W; h += 4) {
        q[h] = _mm512_permutex2var_pd(t[h], even_pairs, t[h + 2]);
        q[h + 1] = _mm512_permutex2var_pd(t[h + 1], even_pairs, t[h + 3]);
        q[h + 2] = _mm512_permutex2var_pd(t[h], odd_pairs, t[h + 2]);
        q[h + 3] = _mm512_permutex2var_pd(t[h + 1], odd_pairs, t[h + 3]);
    }
    const __m512i low_halves = _mm512_setr_epi64(0, 1, 2, 3, 8, 9, 10, 11);
    const __m512i high_halves = _mm512_setr_epi64(4, 5, 6, 7, 12, 13, 14, 15);
    for (int l = 0; l < 4; ++l) {
        v[l] = _mm512_permutex2var_pd(q[l], low_halves, q[l + 4]);
        v[l + 4] = _mm512_permutex2var_pd(q[l], high_halves, q[l + 4]);
    }
}

#elif defined(__AVX2__)

constexpr int W = 4;
using vec = __m256d;
using lanes = __m256d;
using extent = __m256i;

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
inline vec add(vec a, vec b)
{
    return _mm256_add_pd(a, b);
}
inline vec select(lanes s, vec if_set, vec otherwise)
{
    return _mm256_blendv_pd(otherwise, if_set, s);
}
inline lanes greater_than(vec a, vec b)
{
    return _mm256_cmp_pd(a, b, _CMP_GT_OQ);
}
inline lanes equal(vec a, vec b)
{
    return _mm256_cmp_pd(a, b, _CMP_EQ_OQ);
}
inline vec magnitude_of(vec a)
{
    return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a);
}
inline double greatest_lane(vec a)
{
    __m128d half = _mm_max_pd(_mm256_castpd256_pd128(a), _mm256_extractf128_pd(a, 1));
    return _mm_cvtsd_f64(_mm_max_sd(half, _mm_unpackhi_pd(half, half)));
}
inline double least_lane(vec a)
{
    __m128d half = _mm_min_pd(_mm256_castpd256_pd128(a), _mm256_extractf128_pd(a, 1));
    return _mm_cvtsd_f64(_mm_min_sd(half, _mm_unpackhi_pd(half, half)));
}
inline vec lane_numbers()
{
    return _mm256_setr_pd(0, 1, 2, 3);
}
// v[i][l] becomes v[l][i].
inline void transpose(vec (&v)[W])
{
    vec t0 = _mm256_unpacklo_pd(v[0], v[1]), t1 = _mm256_unpackhi_pd(v[0], v[1]);
    vec t2 = _mm256_unpacklo_pd(v[2], v[3]), t3 = _mm256_unpackhi_pd(v[2], v[3]);
    v[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
    v[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
    v[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
    v[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
}

#elif defined(__SSE2__)

constexpr int W = 2;
using vec = __m128d;
using lanes = __m128d;
using extent = int; // the count of lanes

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
inline vec add(vec a, vec b)
{
    return _mm_add_pd(a, b);
}
inline vec select(lanes s, vec if_set, vec otherwise)
{
    return _mm_or_pd(_mm_and_pd(s, if_set), _mm_andnot_pd(s, otherwise));
}
inline lanes greater_than(vec a, vec b)
{
    return _mm_cmpgt_pd(a, b);
}
inline lanes equal(vec a, vec b)
{
    return _mm_cmpeq_pd(a, b);
}
inline vec magnitude_of(vec a)
{
    return _mm_andnot_pd(_mm_set1_pd(-0.0), a);
}
inline double greatest_lane(vec a)
{
    return _mm_cvtsd_f64(_mm_max_sd(a, _mm_unpackhi_pd(a, a)));
}
inline double least_lane(vec a)
{
    return _mm_cvtsd_f64(_mm_min_sd(a, _mm_unpackhi_pd(a, a)));
}
inline vec lane_numbers()
{
    return _mm_setr_pd(0, 1);
}
// v[i][l] becomes v[l][i].
inline void transpose(vec (&v)[W])
{
    vec t = _mm_unpacklo_pd(v[0], v[1]);
    v[1] = _mm_unpackhi_pd(v[0], v[1]);
    v[0] = t;
}

#else

constexpr int W = 1;
using vec = double;
using lanes = bool;
using extent = int;

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
inline vec add(vec a, vec b)
{
    return a + b;
}
inline vec select(lanes s, vec if_set, vec otherwise)
{
    return s ? if_set : otherwise;
}
inline lanes greater_than(vec a, vec b)
{
    return a > b;
}
inline lanes equal(vec a, vec b)
{
    return a == b;
}
inline vec magnitude_of(vec a)
{
    return std::fabs(a);
}
inline double greatest_lane(vec a)
{
    return a;
}
inline double least_lane(vec a)
{
    return a;
}
inline vec lane_numbers()
{
    return 0.0;
}
inline void transpose(vec (&)[W]) {}

#endif

// Columns factored together with full updates; a multiple of W, and of the alignment of rows, so
// that a panel starts on a vector boundary.
constexpr std::int32_t PANEL = 8;
// Widths of the nested blocks above the panel, innermost first: each level's steps reach the
// columns beyond it in one pass of that depth.
constexpr std::array<std::int32_t, 2> BLOCK_WIDTHS = {32, 128};
// Columns of one pass of the tile updates, so that the rows of U it reads stay in cache.
constexpr std::int32_t COLUMN_BLOCK = 240;

// Register tile of the updates: rows and vectors of accumulators.
#if defined(__AVX512F__)
constexpr int TILE_ROWS = 6;
constexpr int TILE_VECTORS = 3;
#elif defined(__AVX2__)
constexpr int TILE_ROWS = 3;
constexpr int TILE_VECTORS = 3;
#elif defined(__SSE2__)
constexpr int TILE_ROWS = 3;
constexpr int TILE_VECTORS = 3;
#else
constexpr int TILE_ROWS = 4;
constexpr int TILE_VECTORS = 4;
#endif

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
