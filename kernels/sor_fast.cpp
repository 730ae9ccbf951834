// The SOR sweep as a wavefront across rows, giving the same bits as the plain row-by-row sweep.
//
// A point may be updated as soon as the point above and the point to its left hold their new
// values, and must be updated before the point below and the one to its right are. So rows can be
// in flight together, each a few columns behind the row above. A vector lane k holds row top + k
// of a group of WIDTH rows, one chunk of WIDTH columns behind lane k - 1. One block of a group
// updates one chunk of each of its rows: the chunks are loaded and transposed in registers so
// that vector u holds the u-th column of every lane's chunk, WIDTH steps run the update on all
// lanes at once, and the results are transposed back. Every operation of the plain update is
// done in the same order on the same values, so the bits agree.
//
// Where the neighbours come from, for lane k in chunk q: the point above is lane k - 1's result
// from the block before (same chunk), shifted one lane down, with row top - 1 from the grid in
// lane 0; the point below is row top + k + 1 in chunk q, still old, loaded by transposing rows
// top + 1 to top + WIDTH; the same vectors, shifted one lane up, are the old values of the next
// block; the left neighbour is the previous step's result.
//
// One group's steps form a chain of dependent operations, so several groups (slots) are in flight
// and their steps interleaved. A group starts once the group above is WIDTH blocks ahead; then the
// blocks of one round are independent. The groups of all sweeps of a call form one stream, so the
// next sweep starts while the last one ends.
//
// Edges: lanes start one block apart. A lane before its first chunk or past its last reworks a
// chunk of its row and keeps the loaded values. The last chunk of a row ends at column n - 2; its
// leading columns, already updated by the chunk before, keep their values too.

#include "kernels/fast_kernels.h"
#include "kernels/sor.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace kalvento::KALVENTO_FAST_NS {
namespace {

#define KALVENTO_INLINE inline __attribute__((always_inline))
#define KALVENTO_UNROLL _Pragma("GCC unroll 16")

// Vector primitives. A `vec` holds one value of each of LANES rows; a block covers STEPS columns.
// load_block fills out[u] with lane k = at[k][u]; store_block is its inverse for the first `rows`
// lanes. keep(lanes, old, fresh) takes old in the lanes whose bit is set, set_lanes puts x there.
// shift_in puts *above in lane 0 and lane k - 1 of v in lane k.
#if defined(__AVX512F__)

constexpr int LANES = 8;
constexpr int STEPS = 4;
using vec = __m512d;

KALVENTO_INLINE vec add(vec x, vec y) { return _mm512_add_pd(x, y); }
KALVENTO_INLINE vec mul(vec x, vec y) { return _mm512_mul_pd(x, y); }
KALVENTO_INLINE vec splat(double x) { return _mm512_set1_pd(x); }

KALVENTO_INLINE vec keep(unsigned lanes, vec old, vec fresh)
{
    return _mm512_mask_blend_pd(static_cast<__mmask8>(lanes), fresh, old);
}

KALVENTO_INLINE vec set_lanes(vec v, unsigned lanes, const double* x)
{
    return _mm512_mask_broadcastsd_pd(v, static_cast<__mmask8>(lanes), _mm_load_sd(x));
}

// The chunks of rows p and q, one in each 256-bit half.
KALVENTO_INLINE vec two_chunks(const double* p, const double* q)
{
    return _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_loadu_pd(p)), _mm256_loadu_pd(q), 1);
}

// An 8 x 4 transpose: rows 0, 2 | 1, 3 | 4, 6 | 5, 7 paired in halves, interleaved by 64-bit
// element within 128-bit pieces, then the pieces gathered across the halves.
template <class At>
KALVENTO_INLINE void load_block(vec out[STEPS], At at)
{
    vec z0 = two_chunks(at(0), at(2));
    vec z1 = two_chunks(at(1), at(3));
    vec z2 = two_chunks(at(4), at(6));
    vec z3 = two_chunks(at(5), at(7));
    vec t0 = _mm512_unpacklo_pd(z0, z1);
    vec t1 = _mm512_unpackhi_pd(z0, z1);
    vec t2 = _mm512_unpacklo_pd(z2, z3);
    vec t3 = _mm512_unpackhi_pd(z2, z3);
    out[0] = _mm512_shuffle_f64x2(t0, t2, 0x88);
    out[1] = _mm512_shuffle_f64x2(t1, t3, 0x88);
    out[2] = _mm512_shuffle_f64x2(t0, t2, 0xdd);
    out[3] = _mm512_shuffle_f64x2(t1, t3, 0xdd);
}

KALVENTO_INLINE vec shift_in(vec v, const double* above)
{
    return _mm512_castsi512_pd(_mm512_alignr_epi64(_mm512_castpd_si512(v),
                                                   _mm512_castpd_si512(_mm512_set1_pd(*above)), 7));
}

template <class At>
KALVENTO_INLINE void store_block(At at, const vec in[STEPS])
{
    vec t0 = _mm512_shuffle_f64x2(in[0], in[2], 0x88);
    vec t1 = _mm512_shuffle_f64x2(in[1], in[3], 0x88);
    vec t2 = _mm512_shuffle_f64x2(in[0], in[2], 0xdd);
    vec t3 = _mm512_shuffle_f64x2(in[1], in[3], 0xdd);
    vec z0 = _mm512_unpacklo_pd(t0, t1);
    vec z1 = _mm512_unpackhi_pd(t0, t1);
    vec z2 = _mm512_unpacklo_pd(t2, t3);
    vec z3 = _mm512_unpackhi_pd(t2, t3);
    _mm256_storeu_pd(at(0), _mm512_castpd512_pd256(z0));
    _mm256_storeu_pd(at(2), _mm512_extractf64x4_pd(z0, 1));
    _mm256_storeu_pd(at(1), _mm512_castpd512_pd256(z1));
    _mm256_storeu_pd(at(3), _mm512_extractf64x4_pd(z1, 1));
    _mm256_storeu_pd(at(4), _mm512_castpd512_pd256(z2));
    _mm256_storeu_pd(at(6), _mm512_extractf64x4_pd(z2, 1));
    _mm256_storeu_pd(at(5), _mm512_castpd512_pd256(z3));
    _mm256_storeu_pd(at(7), _mm512_extractf64x4_pd(z3, 1));
}

#elif defined(__AVX2__)

constexpr int LANES = 4;
constexpr int STEPS = 4;
using vec = __m256d;

KALVENTO_INLINE vec add(vec x, vec y) { return _mm256_add_pd(x, y); }
KALVENTO_INLINE vec mul(vec x, vec y) { return _mm256_mul_pd(x, y); }
KALVENTO_INLINE vec splat(double x) { return _mm256_set1_pd(x); }

KALVENTO_INLINE vec keep(unsigned lanes, vec old, vec fresh)
{
    __m256i bits = _mm256_set_epi64x(-static_cast<long long>((lanes >> 3) & 1),
                                     -static_cast<long long>((lanes >> 2) & 1),
                                     -static_cast<long long>((lanes >> 1) & 1),
                                     -static_cast<long long>(lanes & 1));
    return _mm256_blendv_pd(fresh, old, _mm256_castsi256_pd(bits));
}

KALVENTO_INLINE vec set_lanes(vec v, unsigned lanes, const double* x)
{
    return keep(lanes, _mm256_broadcast_sd(x), v);
}

// Two 128-bit pieces, low from p and high from q.
KALVENTO_INLINE vec pieces(const double* p, const double* q)
{
    return _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(p)), _mm_loadu_pd(q), 1);
}

template <class At>
KALVENTO_INLINE void load_block(vec out[STEPS], At at)
{
    vec x0 = pieces(at(0), at(2));
    vec x1 = pieces(at(1), at(3));
    vec x2 = pieces(at(0) + 2, at(2) + 2);
    vec x3 = pieces(at(1) + 2, at(3) + 2);
    out[0] = _mm256_unpacklo_pd(x0, x1);
    out[1] = _mm256_unpackhi_pd(x0, x1);
    out[2] = _mm256_unpacklo_pd(x2, x3);
    out[3] = _mm256_unpackhi_pd(x2, x3);
}

KALVENTO_INLINE vec shift_in(vec v, const double* above)
{
    return _mm256_blend_pd(_mm256_permute4x64_pd(v, 0x90), _mm256_broadcast_sd(above), 1);
}

template <class At>
KALVENTO_INLINE void store_block(At at, const vec in[STEPS])
{
    // y0 holds columns 0 and 1 of rows 0 and 2, y1 those of rows 1 and 3; y2 and y3 columns 2, 3.
    vec y0 = _mm256_unpacklo_pd(in[0], in[1]);
    vec y1 = _mm256_unpackhi_pd(in[0], in[1]);
    vec y2 = _mm256_unpacklo_pd(in[2], in[3]);
    vec y3 = _mm256_unpackhi_pd(in[2], in[3]);
    _mm_storeu_pd(at(0), _mm256_castpd256_pd128(y0));
    _mm_storeu_pd(at(0) + 2, _mm256_castpd256_pd128(y2));
    _mm_storeu_pd(at(1), _mm256_castpd256_pd128(y1));
    _mm_storeu_pd(at(1) + 2, _mm256_castpd256_pd128(y3));
    _mm_storeu_pd(at(2), _mm256_extractf128_pd(y0, 1));
    _mm_storeu_pd(at(2) + 2, _mm256_extractf128_pd(y2, 1));
    _mm_storeu_pd(at(3), _mm256_extractf128_pd(y1, 1));
    _mm_storeu_pd(at(3) + 2, _mm256_extractf128_pd(y3, 1));
}

#elif defined(__SSE2__)

constexpr int LANES = 2;
constexpr int STEPS = 2;
using vec = __m128d;

KALVENTO_INLINE vec add(vec x, vec y) { return _mm_add_pd(x, y); }
KALVENTO_INLINE vec mul(vec x, vec y) { return _mm_mul_pd(x, y); }
KALVENTO_INLINE vec splat(double x) { return _mm_set1_pd(x); }

KALVENTO_INLINE vec keep(unsigned lanes, vec old, vec fresh)
{
    __m128d mask = _mm_castsi128_pd(_mm_set_epi64x(-static_cast<long long>((lanes >> 1) & 1),
                                                   -static_cast<long long>(lanes & 1)));
    return _mm_or_pd(_mm_and_pd(mask, old), _mm_andnot_pd(mask, fresh));
}

KALVENTO_INLINE vec set_lanes(vec v, unsigned lanes, const double* x)
{
    return keep(lanes, _mm_load1_pd(x), v);
}

template <class At>
KALVENTO_INLINE void load_block(vec out[STEPS], At at)
{
    vec x0 = _mm_loadu_pd(at(0));
    vec x1 = _mm_loadu_pd(at(1));
    out[0] = _mm_unpacklo_pd(x0, x1);
    out[1] = _mm_unpackhi_pd(x0, x1);
}

KALVENTO_INLINE vec shift_in(vec v, const double* above)
{
    return _mm_unpacklo_pd(_mm_load_sd(above), v);
}

template <class At>
KALVENTO_INLINE void store_block(At at, const vec in[STEPS])
{
    _mm_storeu_pd(at(0), _mm_unpacklo_pd(in[0], in[1]));
    _mm_storeu_pd(at(1), _mm_unpackhi_pd(in[0], in[1]));
}

#else

// One row at a time: a scalar software pipeline over the rows in flight.
constexpr int LANES = 1;
constexpr int STEPS = 1;
using vec = double;

KALVENTO_INLINE vec add(vec x, vec y) { return x + y; }
KALVENTO_INLINE vec mul(vec x, vec y) { return x * y; }
KALVENTO_INLINE vec splat(double x) { return x; }
KALVENTO_INLINE vec keep(unsigned lanes, vec old, vec fresh) { return lanes & 1 ? old : fresh; }
KALVENTO_INLINE vec set_lanes(vec v, unsigned lanes, const double* x) { return lanes & 1 ? *x : v; }
template <class At>
KALVENTO_INLINE void load_block(vec out[STEPS], At at)
{
    out[0] = *at(0);
}
KALVENTO_INLINE vec shift_in(vec, const double* above) { return *above; }
template <class At>
KALVENTO_INLINE void store_block(At at, const vec in[STEPS])
{
    *at(0) = in[0];
}

#endif

// Groups in flight. Their steps are interleaved, so that the core always has several
// independent chains of updates to work on.
constexpr int SLOTS = 2;

// How far ahead of the blocks the rows are fetched into the cache, in columns.
constexpr std::ptrdiff_t PREFETCH_AHEAD = 64;

// Prefetching does not fault, so the column may lie past the end of the row.
KALVENTO_INLINE void prefetch(const double* row, std::ptrdiff_t col)
{
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(row) +
                                                     col * sizeof(double)),
                       0, 3);
}

// The shape of one sweep in blocks.
struct sweep_shape {
    std::int32_t m;
    std::int32_t groups;       // groups of LANES rows (the last may have fewer)
    std::int32_t chunks;       // chunks of STEPS columns per row
    std::ptrdiff_t last_start; // first column of the last chunk, which ends at n - 2
    std::int32_t overlap;      // leading columns of the last chunk that belong to the one before
    std::int32_t blocks;       // blocks per group: lane k works in chunk block - k
};

constexpr unsigned ALL_LANES = (1u << LANES) - 1;

// Scratch for the lanes that have no chunk to work on: they load and store there instead.
constexpr int SCRATCH = 2 * STEPS + 2;

// Where one group in flight works. An idle slot has no lanes present.
struct slot {
    double* rows[LANES + 2]; // rows top - 1 to top + LANES, those past the grid replaced by m - 1
    unsigned present;        // the lanes that hold a row of the grid's interior
    std::int32_t block;
    std::int64_t group; // index in the stream of groups, -1 when idle
};

void make_idle(slot& s, double* scratch)
{
    for (double*& row : s.rows)
        row = scratch;
    s.present = 0;
    s.block = 0;
    s.group = -1;
}

void start_group(slot& s, const sweep_shape& shape, const row_matrix& g, std::int64_t index)
{
    std::int32_t top = 1 + LANES * static_cast<std::int32_t>(index % shape.groups);
    for (int i = 0; i < LANES + 2; ++i)
        s.rows[i] = g[std::min(top - 1 + i, shape.m - 1)];
    s.present = (1u << std::min(LANES, shape.m - 1 - top)) - 1;
    s.block = 0;
    s.group = index;
}

KALVENTO_INLINE unsigned lane_bit(std::int32_t k) { return k >= 0 && k < LANES ? 1u << k : 0; }

// The chunk of lane k in its row (self) and in the row below (down): column
// min(first - STEPS k, last_start), or the scratch for the lanes in `idle`.
KALVENTO_INLINE void place_lanes(const slot& s, std::ptrdiff_t first, std::ptrdiff_t last_start,
                                 unsigned idle, double* scratch, double* self[LANES],
                                 const double* down[LANES])
{
#if defined(__AVX512F__)
    __m512i col = _mm512_min_epi64(
        _mm512_sub_epi64(_mm512_set1_epi64(first),
                         _mm512_set_epi64(7 * STEPS, 6 * STEPS, 5 * STEPS, 4 * STEPS, 3 * STEPS,
                                          2 * STEPS, STEPS, 0)),
        _mm512_set1_epi64(last_start));
    __m512i offset = _mm512_slli_epi64(col, 3);
    __m512i away = _mm512_set1_epi64(static_cast<long long>(reinterpret_cast<std::uintptr_t>(scratch)));
    __mmask8 parked = static_cast<__mmask8>(idle);
    __m512i self_rows = _mm512_loadu_si512(s.rows + 1);
    __m512i down_rows = _mm512_loadu_si512(s.rows + 2);
    _mm512_storeu_si512(self, _mm512_mask_blend_epi64(parked, _mm512_add_epi64(self_rows, offset), away));
    _mm512_storeu_si512(down, _mm512_mask_blend_epi64(parked, _mm512_add_epi64(down_rows, offset), away));
#else
    for (int k = 0; k < LANES; ++k) {
        std::ptrdiff_t col = std::min(first - STEPS * k, last_start);
        bool parked = (idle >> k) & 1;
        self[k] = parked ? scratch : s.rows[k + 1] + col;
        down[k] = parked ? scratch : s.rows[k + 2] + col;
    }
#endif
}

// What travels from one block of a slot to the next.
struct slot_state {
    vec left[SLOTS];        // each lane's left neighbour
    vec prev[SLOTS][STEPS]; // the last block's results
};

// One block of every slot, the slots' steps interleaved. Lane k works in chunk q = block - k of
// its row. A lane before its first chunk or past its last, or without a row, works on the
// scratch. The last chunk of a row is placed to end at n - 2; its leading `overlap` columns,
// updated by the chunk before, keep the values they had.
KALVENTO_INLINE void relax_blocks(const slot (&s)[SLOTS], const sweep_shape& shape, double* scratch,
                                  slot_state& t, vec a, vec b)
{
    alignas(64) double* placed[SLOTS][LANES];
    bool direct[SLOTS];
    const double* above[SLOTS];
    vec self[SLOTS][STEPS], down[SLOTS][STEPS], right_of_chunk[SLOTS];
    unsigned last[SLOTS];
    KALVENTO_UNROLL
    for (int j = 0; j < SLOTS; ++j) {
        double* const* rows = s[j].rows;
        std::int32_t block = s[j].block;
        std::ptrdiff_t first = 1 + std::ptrdiff_t{STEPS} * block;
        // Lanes k > block have not started, lanes k < finished are done.
        std::int32_t finished = block - shape.chunks + 1;
        // Every lane in a chunk before the last: the columns follow from `first`.
        direct[j] = block >= LANES - 1 && finished < 0 && s[j].present == ALL_LANES;
        if (direct[j]) {
            load_block(self[j], [&](int k) { return rows[k + 1] + (first - STEPS * k); });
            load_block(down[j], [&](int k) { return rows[k + 2] + (first - STEPS * k); });
        } else {
            unsigned idle = ((ALL_LANES << std::min(block + 1, LANES)) & ALL_LANES) |
                            ((1u << std::clamp(finished, 0, LANES)) - 1) | ~s[j].present;
            alignas(64) const double* down_at[LANES];
            place_lanes(s[j], first, shape.last_start, idle & ALL_LANES, scratch, placed[j],
                        down_at);
            load_block(self[j], [&](int k) { return placed[j][k]; });
            load_block(down[j], [&](int k) { return down_at[k]; });
        }
        std::ptrdiff_t first_or_last = std::min(first, shape.last_start);
        above[j] = rows[0] + first_or_last;
        const double* const* fetched = rows + (block & 1) * (LANES / 2 + 1);
        KALVENTO_UNROLL
        for (int i = 0; i < LANES / 2 + 1; ++i)
            prefetch(fetched[i], first + PREFETCH_AHEAD);
        // Lane k's right neighbour after its chunk is the first column of lane k - 1's chunk in
        // the row below it, except where lane k - 1 is past the last chunk, or the last chunk
        // overlaps the one before.
        right_of_chunk[j] = shift_in(down[j][0], rows[1] + first_or_last + STEPS);
        last[j] = shape.overlap > 0 ? lane_bit(finished) : 0;
        if (!direct[j]) {
            unsigned far = (lane_bit(finished) | last[j] << 1) & ALL_LANES;
            while (far != 0) {
                int k = __builtin_ctz(far);
                right_of_chunk[j] = set_lanes(right_of_chunk[j], 1u << k, placed[j][k] + STEPS);
                far &= far - 1;
            }
        }
        // A lane entering its first chunk has column 0 as its left neighbour.
        if (block < LANES)
            t.left[j] = set_lanes(t.left[j], 1u << block, rows[block + 1]);
    }
    KALVENTO_UNROLL
    for (int u = 0; u < STEPS; ++u) {
        KALVENTO_UNROLL
        for (int j = 0; j < SLOTS; ++j) {
            vec up = shift_in(t.prev[j][u], above[j] + u);
            vec right = u + 1 < STEPS ? self[j][u + 1] : right_of_chunk[j];
            vec sum = add(add(add(up, down[j][u]), t.left[j]), right);
            vec fresh = add(mul(sum, a), mul(self[j][u], b));
            if (u < shape.overlap)
                fresh = keep(last[j], self[j][u], fresh);
            t.prev[j][u] = fresh;
            t.left[j] = fresh;
        }
    }
    KALVENTO_UNROLL
    for (int j = 0; j < SLOTS; ++j) {
        if (direct[j]) {
            double* const* rows = s[j].rows;
            std::ptrdiff_t first = 1 + std::ptrdiff_t{STEPS} * s[j].block;
            store_block([&](int k) { return rows[k + 1] + (first - STEPS * k); }, t.prev[j]);
        } else {
            store_block([&](int k) { return placed[j][k]; }, t.prev[j]);
        }
    }
}

} // namespace

void sor_sweep(std::int32_t m, std::int32_t n, double omega, row_matrix& g, std::int32_t batch_size)
{
    if (batch_size <= 0 || m < 3 || n < 3)
        return;
    // Rows shorter than one chunk: nothing to run in parallel.
    if (n - 2 < STEPS) {
        kalvento::sor_sweep(m, n, omega, g, batch_size);
        return;
    }
    const vec a = splat(0.25 * omega);
    const vec b = splat(1.0 - omega);
    sweep_shape shape;
    shape.m = m;
    shape.groups = (m - 2 + LANES - 1) / LANES;
    shape.chunks = (n - 2 + STEPS - 1) / STEPS;
    shape.last_start = n - 2 - STEPS + 1;
    shape.overlap = STEPS * shape.chunks - (n - 2);
    shape.blocks = shape.chunks + LANES - 1;

    // Group i of the stream goes to slot i % SLOTS once the slot is free and group i - 1 is
    // LANES blocks ahead: its last lane has then stored the chunk that lane 0 of group i needs.
    const std::int64_t stream = std::int64_t{batch_size} * shape.groups;
    std::int64_t next = 0;
    double scratch[SCRATCH] = {};
    slot s[SLOTS];
    slot_state t;
    KALVENTO_UNROLL
    for (int j = 0; j < SLOTS; ++j) {
        make_idle(s[j], scratch);
        t.left[j] = splat(0.0);
        KALVENTO_UNROLL
        for (int u = 0; u < STEPS; ++u)
            t.prev[j][u] = splat(0.0);
    }
    for (;;) {
        while (next < stream) {
            slot& free = s[next % SLOTS];
            const slot& before = s[(next + SLOTS - 1) % SLOTS];
            if (free.group >= 0 || (next > 0 && before.group == next - 1 && before.block < LANES + 2))
                break;
            start_group(free, shape, g, next);
            ++next;
        }
        bool busy = false;
        KALVENTO_UNROLL
        for (int j = 0; j < SLOTS; ++j)
            busy = busy || s[j].group >= 0;
        if (!busy)
            break;
        relax_blocks(s, shape, scratch, t, a, b);
        KALVENTO_UNROLL
        for (int j = 0; j < SLOTS; ++j)
            if (s[j].group >= 0 && ++s[j].block == shape.blocks)
                make_idle(s[j], scratch);
    }
}

} // namespace kalvento::KALVENTO_FAST_NS
