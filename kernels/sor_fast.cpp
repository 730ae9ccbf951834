// The SOR sweep as a wavefront across rows, giving exactly the bits of the plain row-by-row sweep.
//
// A point may be updated once the point above and the point to its left hold their new values,
// and must be before the point below and the one to its right are. So many rows can be in flight,
// each a little behind the row above. The lanes of a vector hold consecutive rows, lane k one
// chunk of STEPS columns behind lane k - 1. In a block every lane updates one chunk of its row:
// the chunks of the rows below are loaded and transposed in registers, so that vector u holds
// column u of every lane's chunk, the STEPS steps update all lanes at once, and the results are
// transposed back and stored. Each update performs the plain kernel's operations in the same order
// on the same values.
//
// Where the values come from, for lane k: the points above are lane k - 1's results of the block
// before (the same chunk, one row up), moved one lane on; the lane's own old values are what lane
// k - 1 loaded as its row below in the block before; the points below are loaded now; the left
// neighbour is the previous step's result. Lane 0 reads the row above and its own row from the
// grid.
//
// The rows of all sweeps of a call form one stream, and each lane takes its next row as soon as
// it has finished one, so the lanes keep busy across rows and sweeps. The updates of a lane form
// a chain through the left neighbour, so two vectors are in flight, their steps interleaved.
//
// AVX-512 has a version of its own, which finds each lane's chunk at an origin plus a common
// offset, so that a block touches the lanes' addresses only where a lane changes rows, and handles
// the ends of rows with masked adds and masked broadcasts. The other instruction sets move every
// lane's address in every block and fix the ends of rows lane by lane.

#include "kernels/fast_kernels.h"
#include "kernels/sor.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#if defined(__GNUC__) && !defined(__clang__)
// gcc 12 takes the undefined pass-through operand of some unmasked AVX-512 intrinsics for an
// uninitialised variable.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif
#endif

#define SOR_INLINE inline __attribute__((always_inline))
#define SOR_UNROLL _Pragma("GCC unroll 16")

namespace kalvento::KALVENTO_FAST_NS {
namespace {

// Grids a wavefront has nothing to gain on, swept here: those without interior, those with one
// interior row (each sweep needs the whole previous one) and those whose rows are shorter than a
// chunk of `steps` columns. False when the grid is left to the wavefront.
bool swept_without_wavefront(std::int32_t m, std::int32_t n, double omega, row_matrix& g,
                             std::int32_t batch_size, int steps)
{
    if (batch_size <= 0 || m < 3 || n < 3)
        return true;
    if (m < 4 || n - 2 < steps) {
        kalvento::sor_sweep(m, n, omega, g, batch_size);
        return true;
    }
    return false;
}

} // namespace
} // namespace kalvento::KALVENTO_FAST_NS

#if defined(__AVX512F__)

namespace kalvento::KALVENTO_FAST_NS {
namespace {

constexpr int LANES = 8;
constexpr int STEPS = 4;
constexpr int SLOTS = 2;
constexpr int SKEW = LANES + 2;
constexpr int IN_FLIGHT = LANES * SLOTS;
constexpr unsigned ALL_LANES = (1u << LANES) - 1;

using vec = __m512d;
using lane_mask = __mmask8;
using address = std::uintptr_t;

constexpr address CHUNK_BYTES = STEPS * sizeof(double);

SOR_INLINE address address_of(const double* p)
{
    return reinterpret_cast<address>(p);
}
SOR_INLINE double* at(address a)
{
    return reinterpret_cast<double*>(a);
}

SOR_INLINE vec add(vec x, vec y)
{
    return _mm512_add_pd(x, y);
}
SOR_INLINE vec mul(vec x, vec y)
{
    return _mm512_mul_pd(x, y);
}
// x + y in `lanes`, `other` in the rest.
SOR_INLINE vec add_in(vec other, lane_mask lanes, vec x, vec y)
{
    return _mm512_mask_add_pd(other, lanes, x, y);
}
SOR_INLINE vec set_lanes(vec v, lane_mask lanes, const double* x)
{
    return _mm512_mask_broadcastsd_pd(v, lanes, _mm_load_sd(x));
}
// *x in lane 0, lane k - 1 of v in lane k.
SOR_INLINE vec shift_in(vec v, const double* x)
{
    return _mm512_castsi512_pd(
        _mm512_alignr_epi64(_mm512_castpd_si512(v), _mm512_castpd_si512(_mm512_set1_pd(*x)), 7));
}

// The chunks at p and q, one in each 256-bit half.
SOR_INLINE vec two_chunks(address p, address q)
{
    return _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_loadu_pd(at(p))),
                              _mm256_loadu_pd(at(q)), 1);
}

// An 8 x 4 transpose: out[u] holds lane k = lane(k)[u]. Rows 0, 2 | 1, 3 | 4, 6 | 5, 7 paired in
// halves, interleaved by 64-bit element within 128-bit pieces, then the pieces gathered across
// the halves.
template <class Lane>
SOR_INLINE void load_block(vec out[STEPS], Lane lane)
{
    vec z0 = two_chunks(lane(0), lane(2));
    vec z1 = two_chunks(lane(1), lane(3));
    vec z2 = two_chunks(lane(4), lane(6));
    vec z3 = two_chunks(lane(5), lane(7));
    vec t0 = _mm512_unpacklo_pd(z0, z1);
    vec t1 = _mm512_unpackhi_pd(z0, z1);
    vec t2 = _mm512_unpacklo_pd(z2, z3);
    vec t3 = _mm512_unpackhi_pd(z2, z3);
    out[0] = _mm512_shuffle_f64x2(t0, t2, 0x88);
    out[1] = _mm512_shuffle_f64x2(t1, t3, 0x88);
    out[2] = _mm512_shuffle_f64x2(t0, t2, 0xdd);
    out[3] = _mm512_shuffle_f64x2(t1, t3, 0xdd);
}

// The upper half of v to the chunk at p, with a masked store from a chunk before it, which costs
// no extraction; the masked-off part is not written.
SOR_INLINE void store_upper(address p, vec v)
{
    _mm512_mask_storeu_pd(at(p - CHUNK_BYTES), 0xf0, v);
}

// The inverse of load_block: the pieces gathered back into halves, then the 64-bit elements.
template <class Lane>
SOR_INLINE void store_block(Lane lane, const vec in[STEPS])
{
    const __m512i low = _mm512_set_epi64(11, 10, 3, 2, 9, 8, 1, 0);
    const __m512i high = _mm512_set_epi64(15, 14, 7, 6, 13, 12, 5, 4);
    vec t0 = _mm512_permutex2var_pd(in[0], low, in[2]);
    vec t1 = _mm512_permutex2var_pd(in[1], low, in[3]);
    vec t2 = _mm512_permutex2var_pd(in[0], high, in[2]);
    vec t3 = _mm512_permutex2var_pd(in[1], high, in[3]);
    vec z0 = _mm512_unpacklo_pd(t0, t1);
    vec z1 = _mm512_unpackhi_pd(t0, t1);
    vec z2 = _mm512_unpacklo_pd(t2, t3);
    vec z3 = _mm512_unpackhi_pd(t2, t3);
    _mm256_storeu_pd(at(lane(0)), _mm512_castpd512_pd256(z0));
    _mm256_storeu_pd(at(lane(1)), _mm512_castpd512_pd256(z1));
    _mm256_storeu_pd(at(lane(4)), _mm512_castpd512_pd256(z2));
    _mm256_storeu_pd(at(lane(5)), _mm512_castpd512_pd256(z3));
    store_upper(lane(2), z0);
    store_upper(lane(3), z1);
    store_upper(lane(6), z2);
    store_upper(lane(7), z3);
}

// The rows of all sweeps of a call form one stream, row after row and sweep after sweep. Lane
// k of vector j takes rows j LANES + k, then that plus IN_FLIGHT, and so on; it spends `period`
// blocks on each, `chunks` of them working. Lane k works one block behind lane k - 1, and lane 0
// of vector j SKEW blocks behind lane 0 of vector j - 1, so that the row lane 0 reads from
// memory was stored a few blocks before. A row needs the row above it, the one below it and
// itself as the previous sweep left them, all of which lie at least two rows earlier in the
// stream when a sweep has two rows or more.
struct stream_shape {
    double* const* rows;         // the grid's table
    std::int64_t rows_per_sweep; // m - 2
    std::int64_t length;         // rows of all sweeps
    std::int32_t chunks;         // chunks of STEPS columns per row; the last ends at n - 2
    std::int32_t period;         // blocks per row of a lane, at least chunks
};

// One vector of lanes. Lane k's chunk of a block lies at origin + offset, where the offset grows
// by one chunk per block: a lane's origins change only when it starts a row or its last chunk,
// so the block reads its addresses from memory that was written long before.
struct lane_set {
    address self[LANES];  // the lane's row, where its results go
    address down[LANES];  // the row below
    address above[LANES]; // the row above, for lane 0 and the lanes in `first_row`
    address own;          // lane 0's row, where it reads its old values
    unsigned parked;      // lanes without a row
    unsigned first_row;   // lanes other than 0 on a sweep's first row: they read their row and the
                          // one above from memory, not from lane k - 1
    std::int32_t chunk;   // lane 0's block within its period
    std::int64_t round;   // lane 0's round of rows
};

// A parked lane writes to a scratch chunk and reads another, which nothing writes, so that no
// load waits for its stores; its origins are set again in every block.
struct scratch_chunks {
    alignas(64) double read[4 * STEPS] = {};
    alignas(64) double written[4 * STEPS] = {};

    address read_at(address offset) const { return address_of(read + STEPS) - offset; }
    address write_at(address offset) const { return address_of(written + 2 * STEPS) - offset; }
};

// The lanes of one vector that need more than the common update in a block, and the values they
// read from memory instead.
struct block_plan {
    lane_mask entering; // starting a row: the left neighbour is column 0, at `edge`
    lane_mask last;     // in the last chunk: the right neighbour is column n - 1, at `last_right`
    lane_mask before_last; // in the chunk before a last chunk that overlaps it: the right
                           // neighbour, at `before_right`, is not what lane k - 1 loaded
    const double* edge;
    const double* last_right;
    const double* before_right;
};

SOR_INLINE void park(lane_set& v, int k)
{
    v.parked |= 1u << k;
    v.first_row &= ~(1u << k);
}

// Moves vector j to block t: lanes finishing, starting and ending rows. The events come with
// branches: their pattern repeats every `period` blocks, and arithmetic without branches that
// writes the origins in every block makes each block's loads wait for those stores.
template <int OVERLAP>
SOR_INLINE block_plan advance(lane_set& v, int j, const stream_shape& shape, std::int64_t t,
                              address offset, const scratch_chunks& scratch)
{
    const double* nowhere = scratch.read + STEPS;
    block_plan plan{0, 0, 0, nowhere, nowhere, nowhere};
    std::int64_t start = t - std::int64_t{SKEW} * j;
    if (start >= 0) {
        if (start == 0) {
            v.chunk = 0;
            v.round = 0;
        } else if (++v.chunk == shape.period) {
            v.chunk = 0;
            ++v.round;
        }
        // The lane at block `target` of its period, if it has started.
        auto lane_in = [&](std::int32_t target) {
            std::int32_t k = v.chunk - target;
            if (k < 0)
                k += shape.period;
            return k < LANES && k <= start ? k : -1;
        };
        if (shape.period > shape.chunks)
            if (int k = lane_in(shape.chunks); k >= 0)
                park(v, k);
        if (int e = lane_in(0); e >= 0) {
            std::int64_t row = v.round * IN_FLIGHT + j * LANES + e;
            if (row < shape.length) {
                std::int64_t r = row % shape.rows_per_sweep + 1;
                unsigned bit = 1u << e;
                v.self[e] = address_of(shape.rows[r] + 1) - offset;
                v.down[e] = address_of(shape.rows[r + 1] + 1) - offset;
                v.above[e] = address_of(shape.rows[r - 1] + 1) - offset;
                if (e == 0)
                    v.own = v.self[0];
                v.parked &= ~bit;
                v.first_row = r == 1 && e > 0 ? v.first_row | bit : v.first_row & ~bit;
                plan.entering = static_cast<lane_mask>(bit);
                plan.edge = shape.rows[r];
            } else {
                park(v, e);
            }
        }
        if (int k = lane_in(shape.chunks - 1); k >= 0 && !(v.parked >> k & 1)) {
            // The last chunk ends at n - 2, OVERLAP columns before the pattern would put it.
            constexpr address back = OVERLAP * sizeof(double);
            v.self[k] -= back;
            v.down[k] -= back;
            v.above[k] -= back;
            if (k == 0)
                v.own = v.self[0];
            plan.last = static_cast<lane_mask>(1u << k);
            plan.last_right = at(v.self[k] + offset) + STEPS;
        }
        if (OVERLAP > 0)
            if (int k = lane_in(shape.chunks - 2); k >= 0 && !(v.parked >> k & 1)) {
                plan.before_last = static_cast<lane_mask>(1u << k);
                plan.before_right = at(v.self[k] + offset) + STEPS;
            }
    }
    for (unsigned parked = v.parked; parked != 0; parked &= parked - 1) {
        int k = __builtin_ctz(parked);
        v.self[k] = scratch.write_at(offset);
        v.down[k] = v.above[k] = scratch.read_at(offset);
        if (k == 0)
            v.own = scratch.read_at(offset);
    }
    return plan;
}

// What travels from one block of a vector to the next.
struct chain {
    vec left;         // each lane's left neighbour
    vec prev[STEPS];  // the last block's results: the up neighbours, one lane on
    vec below[STEPS]; // the last block's rows below: this block's old values, one lane on
};

// One block of both vectors, their steps interleaved so that the core has two chains of updates
// to work on. One body for every block: with a second one beside it in the loop, gcc 12 keeps the
// chains in memory.
template <int OVERLAP>
SOR_INLINE void relax_block(const lane_set (&v)[SLOTS], const block_plan (&plan)[SLOTS],
                            address offset, chain (&c)[SLOTS], vec a, vec b)
{
    vec old[SLOTS][STEPS], down[SLOTS][STEPS];
    const double* own[SLOTS];
    SOR_UNROLL
    for (int j = 0; j < SLOTS; ++j) {
        const lane_set& w = v[j];
        // Lane k - 1 loaded this chunk of lane k's row as its row below in the block before;
        // lane 0 reads its own, and so does a lane on a sweep's first row.
        own[j] = at(w.own + offset);
        SOR_UNROLL
        for (int u = 0; u < STEPS; ++u)
            old[j][u] = shift_in(c[j].below[u], own[j] + u);
        if (w.first_row != 0)
            for (unsigned first = w.first_row; first != 0; first &= first - 1) {
                int k = __builtin_ctz(first);
                SOR_UNROLL
                for (int u = 0; u < STEPS; ++u)
                    old[j][u] = set_lanes(old[j][u], static_cast<lane_mask>(1u << k),
                                          at(w.self[k] + offset) + u);
            }
        load_block(down[j], [&](int k) { return w.down[k] + offset; });
        SOR_UNROLL
        for (int u = 0; u < STEPS; ++u)
            c[j].below[u] = down[j][u];
    }
    SOR_UNROLL
    for (int u = 0; u < STEPS; ++u) {
        SOR_UNROLL
        for (int j = 0; j < SLOTS; ++j) {
            const lane_set& w = v[j];
            const block_plan& p = plan[j];
            // The row above lane 0, and row 0 above a lane on a sweep's first row.
            vec up = shift_in(c[j].prev[u], at(w.above[0] + offset) + u);
            if (w.first_row != 0)
                for (unsigned first = w.first_row; first != 0; first &= first - 1) {
                    int k = __builtin_ctz(first);
                    up =
                        set_lanes(up, static_cast<lane_mask>(1u << k), at(w.above[k] + offset) + u);
                }
            vec right;
            if (u + 1 < STEPS) {
                right = old[j][u + 1];
            } else {
                // The right neighbour after the chunk is the first column of the next chunk,
                // which lane k - 1 has loaded as its row below, except at the end of the row.
                right = shift_in(down[j][0], own[j] + STEPS);
                right = set_lanes(right, p.last, p.last_right);
                if (OVERLAP > 0)
                    right = set_lanes(right, p.before_last, p.before_right);
                if (w.first_row != 0)
                    for (unsigned first = w.first_row; first != 0; first &= first - 1) {
                        int k = __builtin_ctz(first);
                        right = set_lanes(right, static_cast<lane_mask>(1u << k),
                                          at(w.self[k] + offset) + STEPS);
                    }
            }
            vec sum = add(up, down[j][u]);
            if (u == 0) {
                // A lane starting a row has column 0 to its left.
                vec from_edge = add(sum, _mm512_set1_pd(*p.edge));
                sum = add_in(from_edge, static_cast<lane_mask>(~p.entering), sum, c[j].left);
            } else {
                sum = add(sum, c[j].left);
            }
            sum = add(sum, right);
            vec scaled = mul(sum, a);
            vec kept = mul(old[j][u], b);
            vec fresh;
            if (u < OVERLAP) {
                // The last chunk overlaps the one before by OVERLAP columns, which the lane
                // updated in the block before: it keeps those values, and its left neighbour
                // chain carries the last of them.
                fresh = add_in(c[j].prev[u + STEPS - OVERLAP], static_cast<lane_mask>(~p.last),
                               scaled, kept);
            } else {
                fresh = add(scaled, kept);
            }
            c[j].left = fresh;
            c[j].prev[u] = fresh;
        }
    }
    SOR_UNROLL
    for (int j = 0; j < SLOTS; ++j)
        store_block([&](int k) { return v[j].self[k] + offset; }, c[j].prev);
}

template <int OVERLAP>
void sweep_stream(const stream_shape& shape, double omega)
{
    const vec a = _mm512_set1_pd(0.25 * omega);
    const vec b = _mm512_set1_pd(1.0 - omega);
    // The block in which the last row of the stream finishes.
    std::int64_t final_row = shape.length - 1;
    std::int64_t final_lane = final_row % IN_FLIGHT;
    std::int64_t end = final_row / IN_FLIGHT * shape.period + final_lane / LANES * SKEW +
                       final_lane % LANES + shape.chunks - 1;

    scratch_chunks scratch;
    lane_set v[SLOTS];
    chain c[SLOTS];
    SOR_UNROLL
    for (int j = 0; j < SLOTS; ++j) {
        v[j].parked = ALL_LANES;
        v[j].first_row = 0;
        v[j].own = 0;
        v[j].chunk = 0;
        v[j].round = 0;
        c[j].left = _mm512_setzero_pd();
        SOR_UNROLL
        for (int u = 0; u < STEPS; ++u) {
            c[j].prev[u] = _mm512_setzero_pd();
            c[j].below[u] = _mm512_setzero_pd();
        }
    }
    for (std::int64_t t = 0; t <= end; ++t) {
        address offset = static_cast<address>(t) * CHUNK_BYTES;
        block_plan plan[SLOTS];
        SOR_UNROLL
        for (int j = 0; j < SLOTS; ++j)
            plan[j] = advance<OVERLAP>(v[j], j, shape, t, offset, scratch);
        relax_block<OVERLAP>(v, plan, offset, c, a, b);
    }
}

} // namespace

void sor_sweep(std::int32_t m, std::int32_t n, double omega, row_matrix& g, std::int32_t batch_size)
{
    if (swept_without_wavefront(m, n, omega, g, batch_size, STEPS))
        return;
    stream_shape shape;
    shape.rows = g.rows;
    shape.rows_per_sweep = m - 2;
    shape.length = std::int64_t{batch_size} * (m - 2);
    shape.chunks = (n - 2 + STEPS - 1) / STEPS;
    shape.period = std::max(shape.chunks, SKEW * SLOTS);
    switch (STEPS * shape.chunks - (n - 2)) {
    case 0:
        sweep_stream<0>(shape, omega);
        break;
    case 1:
        sweep_stream<1>(shape, omega);
        break;
    case 2:
        sweep_stream<2>(shape, omega);
        break;
    default:
        sweep_stream<3>(shape, omega);
        break;
    }
}

} // namespace kalvento::KALVENTO_FAST_NS

#else

namespace kalvento::KALVENTO_FAST_NS {
namespace {

// Vector primitives. A `vec` holds one value of each of LANES rows; a block covers STEPS columns.
// load_block fills out[u] with lane k = at(k)[u]; store_block is its inverse. keep(lanes, old,
// fresh) takes old in the lanes whose bit is set, set_lanes puts *x there. shift_in puts *x in
// lane 0 and lane k - 1 of v in lane k.
#if defined(__AVX2__)

constexpr int LANES = 4;
constexpr int STEPS = 4;
using vec = __m256d;

SOR_INLINE vec add(vec x, vec y)
{
    return _mm256_add_pd(x, y);
}
SOR_INLINE vec mul(vec x, vec y)
{
    return _mm256_mul_pd(x, y);
}
SOR_INLINE vec splat(double x)
{
    return _mm256_set1_pd(x);
}

// The lanes of a bit set as a blend mask.
alignas(32) constexpr std::int64_t LANE_MASKS[16][4] = {
    {0, 0, 0, 0},   {-1, 0, 0, 0},   {0, -1, 0, 0},   {-1, -1, 0, 0},
    {0, 0, -1, 0},  {-1, 0, -1, 0},  {0, -1, -1, 0},  {-1, -1, -1, 0},
    {0, 0, 0, -1},  {-1, 0, 0, -1},  {0, -1, 0, -1},  {-1, -1, 0, -1},
    {0, 0, -1, -1}, {-1, 0, -1, -1}, {0, -1, -1, -1}, {-1, -1, -1, -1}};

SOR_INLINE vec keep(unsigned lanes, vec old, vec fresh)
{
    return _mm256_blendv_pd(
        fresh, old, _mm256_load_pd(reinterpret_cast<const double*>(LANE_MASKS[lanes & 15])));
}

SOR_INLINE vec set_lanes(vec v, unsigned lanes, const double* x)
{
    return keep(lanes, _mm256_broadcast_sd(x), v);
}

// Two 128-bit pieces, low from p and high from q.
SOR_INLINE vec pieces(const double* p, const double* q)
{
    return _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(p)), _mm_loadu_pd(q), 1);
}

template <class At>
SOR_INLINE void load_block(vec out[STEPS], At at)
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

SOR_INLINE vec shift_in(vec v, const double* x)
{
    return _mm256_blend_pd(_mm256_permute4x64_pd(v, 0x90), _mm256_broadcast_sd(x), 1);
}

template <class At>
SOR_INLINE void store_block(At at, const vec in[STEPS])
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

SOR_INLINE vec add(vec x, vec y)
{
    return _mm_add_pd(x, y);
}
SOR_INLINE vec mul(vec x, vec y)
{
    return _mm_mul_pd(x, y);
}
SOR_INLINE vec splat(double x)
{
    return _mm_set1_pd(x);
}

SOR_INLINE vec keep(unsigned lanes, vec old, vec fresh)
{
    __m128d mask = _mm_castsi128_pd(_mm_set_epi64x(-static_cast<long long>((lanes >> 1) & 1),
                                                   -static_cast<long long>(lanes & 1)));
    return _mm_or_pd(_mm_and_pd(mask, old), _mm_andnot_pd(mask, fresh));
}

SOR_INLINE vec set_lanes(vec v, unsigned lanes, const double* x)
{
    return keep(lanes, _mm_load1_pd(x), v);
}

template <class At>
SOR_INLINE void load_block(vec out[STEPS], At at)
{
    vec x0 = _mm_loadu_pd(at(0));
    vec x1 = _mm_loadu_pd(at(1));
    out[0] = _mm_unpacklo_pd(x0, x1);
    out[1] = _mm_unpackhi_pd(x0, x1);
}

SOR_INLINE vec shift_in(vec v, const double* x)
{
    return _mm_unpacklo_pd(_mm_load_sd(x), v);
}

template <class At>
SOR_INLINE void store_block(At at, const vec in[STEPS])
{
    _mm_storeu_pd(at(0), _mm_unpacklo_pd(in[0], in[1]));
    _mm_storeu_pd(at(1), _mm_unpackhi_pd(in[0], in[1]));
}

#else

// One row at a time: a scalar software pipeline over the rows in flight.
constexpr int LANES = 1;
constexpr int STEPS = 1;
using vec = double;

SOR_INLINE vec add(vec x, vec y)
{
    return x + y;
}
SOR_INLINE vec mul(vec x, vec y)
{
    return x * y;
}
SOR_INLINE vec splat(double x)
{
    return x;
}
SOR_INLINE vec keep(unsigned lanes, vec old, vec fresh)
{
    return lanes & 1 ? old : fresh;
}
SOR_INLINE vec set_lanes(vec v, unsigned lanes, const double* x)
{
    return lanes & 1 ? *x : v;
}
template <class At>
SOR_INLINE void load_block(vec out[STEPS], At at)
{
    out[0] = *at(0);
}
SOR_INLINE vec shift_in(vec, const double* x)
{
    return *x;
}
template <class At>
SOR_INLINE void store_block(At at, const vec in[STEPS])
{
    *at(0) = in[0];
}

#endif

// Rows in flight: SLOTS vectors of LANES rows, their steps interleaved so that the core always
// has several independent chains of updates to work on. Lane k of a vector works one block behind
// lane k - 1, and lane 0 of vector j works SKEW blocks behind lane 0 of vector j - 1: the lane
// above has stored the chunk lane 0 reads a few blocks before, so the vectors do not wait for
// each other's stores.
constexpr int SLOTS = 2;
constexpr int SKEW = LANES + 2;
constexpr int IN_FLIGHT = LANES * SLOTS;
constexpr unsigned ALL_LANES = (1u << LANES) - 1;

// How far ahead of the blocks the rows are fetched into the cache, in columns.
constexpr std::ptrdiff_t PREFETCH_AHEAD = 64;

// Lane addresses are kept as integers: a finished lane's address may run past its row for a
// block before the lane is given its next row.
using address = std::uintptr_t;

SOR_INLINE address address_of(const double* p)
{
    return reinterpret_cast<address>(p);
}
SOR_INLINE double* at(address a)
{
    return reinterpret_cast<double*>(a);
}
SOR_INLINE address moved(address a, std::ptrdiff_t columns)
{
    return a + static_cast<address>(columns) * sizeof(double);
}

// Prefetching does not fault, so the address may lie past the end of the row.
SOR_INLINE void prefetch(address a)
{
    __builtin_prefetch(at(moved(a, PREFETCH_AHEAD)), 0, 3);
}

// The rows of all sweeps of a call form one stream, row after row and sweep after sweep. Lane
// k of vector j takes rows j LANES + k, then that plus IN_FLIGHT, and so on; it spends `period`
// blocks on each, `chunks` of them working. A row needs the row above it, the one below it and
// itself as the previous sweep left them, all of which lie at least two rows earlier in the
// stream when a sweep has two rows or more.
struct stream_shape {
    double* const* rows;         // the grid's table
    std::int64_t rows_per_sweep; // m - 2
    std::int64_t length;         // rows of all sweeps
    std::int32_t chunks;         // chunks of STEPS columns per row
    std::int32_t overlap;        // leading columns of the last chunk that belong to the one before
    std::int32_t period;         // blocks per row of a lane, at least chunks
};

// One vector of lanes: where each lane's chunk of the current block lies. A lane without a row
// loads and stores in the scratch.
struct lane_set {
    alignas(64) address self[LANES]; // in the lane's row
    alignas(64) address down[LANES]; // in the row below
    address above;                   // in the row above lane 0
    address edge[LANES];             // in row 0, for the lanes in `first_row`
    unsigned active;                 // lanes working on a chunk of a row
    std::int32_t chunk;              // lane 0's block within its period
    std::int64_t round;              // lane 0's round of rows, -1 before it starts
    unsigned first_row;              // lanes on the first row of a sweep
};

SOR_INLINE unsigned lane_bit(std::int32_t k)
{
    return k >= 0 && k < LANES ? 1u << k : 0;
}

// The lane at block `target` of its period while lane 0 is at block `chunk` of round `round`,
// with that lane's round, or -1.
SOR_INLINE std::int32_t lane_at(const lane_set& v, const stream_shape& shape, std::int32_t target,
                                std::int64_t& round)
{
    std::int32_t k = v.chunk - target;
    round = v.round;
    if (round < 0)
        return -1;
    if (k < 0) {
        k += shape.period;
        --round;
    }
    return k < LANES && round >= 0 ? k : -1;
}

// What one vector does in a block besides the common update: the lanes entering, leaving and
// finishing rows.
struct block_plan {
    unsigned entering;  // left neighbour is column 0
    unsigned far_right; // right neighbour after the chunk is not the next lane's
    unsigned last;      // the lane in its last chunk, which keeps its first `overlap` values
};

// How the lanes' addresses change from one block to the next, besides moving one chunk on.
struct lane_moves {
    unsigned entering = 0; // a lane starting a row, at these addresses
    address self = 0;
    address down = 0;
    address above = 0;
    unsigned back = 0;   // a lane entering its last chunk, which lies `overlap` columns back
    unsigned parked = 0; // lanes without a row
};

// Moves the lanes' addresses on to the next block: one chunk on, then the lanes that start a row,
// enter their last chunk or have no row.
SOR_INLINE void move_lanes(lane_set& v, const lane_moves& moves, std::int32_t overlap,
                           double* scratch)
{
    address back = static_cast<address>(overlap) * sizeof(double);
    for (int k = 0; k < LANES; ++k) {
        v.self[k] = moved(v.self[k], STEPS);
        v.down[k] = moved(v.down[k], STEPS);
    }
    for (unsigned changed = moves.entering | moves.back | moves.parked; changed != 0;
         changed &= changed - 1) {
        int k = __builtin_ctz(changed);
        unsigned bit = 1u << k;
        address self = v.self[k];
        address down = v.down[k];
        if (moves.entering & bit) {
            self = moves.self;
            down = moves.down;
        }
        if (moves.back & bit) {
            self -= back;
            down -= back;
        }
        if (moves.parked & bit) {
            self = address_of(scratch);
            down = address_of(scratch);
        }
        v.self[k] = self;
        v.down[k] = down;
    }
    v.above = moves.entering & 1 ? moves.above : moved(v.above, STEPS);
    if (moves.back & 1)
        v.above -= back;
    if (moves.parked & 1)
        v.above = address_of(scratch);
    for (unsigned edge = v.first_row; edge != 0; edge &= edge - 1) {
        int k = __builtin_ctz(edge);
        if (!(moves.entering & (1u << k)))
            v.edge[k] = moved(v.edge[k], STEPS);
        if (moves.back & (1u << k))
            v.edge[k] -= back;
    }
}

// Plans vector j's block t and how its lanes move to it.
SOR_INLINE block_plan advance(lane_set& v, int j, const stream_shape& shape, std::int64_t t,
                              lane_moves& moves)
{
    std::int64_t start = t - std::int64_t{SKEW} * j;
    if (start == 0) {
        v.round = 0;
        v.chunk = 0;
    } else if (start > 0 && ++v.chunk == shape.period) {
        v.chunk = 0;
        ++v.round;
    }
    block_plan plan{0, 0, 0};
    // Most blocks: every lane in the middle of a row.
    if (v.active == ALL_LANES && v.first_row == 0 && v.chunk >= LANES && v.chunk < shape.chunks - 2)
        return plan;
    std::int64_t round = 0;
    if (std::int32_t k = lane_at(v, shape, shape.chunks, round); k >= 0) {
        v.active &= ~(1u << k); // waits for its next row
        v.first_row &= ~(1u << k);
    }
    if (std::int32_t k = lane_at(v, shape, 0, round); k >= 0) {
        unsigned bit = 1u << k;
        v.first_row &= ~bit;
        std::int64_t stream_row = round * IN_FLIGHT + j * LANES + k;
        if (stream_row < shape.length) {
            std::int64_t r = stream_row % shape.rows_per_sweep + 1;
            moves.entering = bit;
            moves.self = address_of(shape.rows[r] + 1);
            moves.down = address_of(shape.rows[r + 1] + 1);
            if (k == 0)
                moves.above = address_of(shape.rows[r - 1] + 1);
            else if (r == 1) {
                v.edge[k] = address_of(shape.rows[0] + 1);
                v.first_row |= bit;
            }
            v.active |= bit;
            plan.entering = bit;
        } else {
            v.active &= ~bit;
        }
    }
    std::int32_t last = lane_at(v, shape, shape.chunks - 1, round);
    unsigned last_bit = lane_bit(last) & v.active;
    if (shape.overlap > 0) {
        // The last chunk ends at n - 2, `overlap` columns before the pattern would put it.
        moves.back = last_bit;
        plan.last = last_bit;
        plan.far_right = lane_bit(lane_at(v, shape, shape.chunks - 2, round)) & v.active;
    }
    plan.far_right |= last_bit | v.first_row;
    plan.far_right &= ~1u; // lane 0 always reads its own row
    moves.parked = ~v.active & ALL_LANES;
    return plan;
}

// What travels from one block of a vector to the next.
struct chains {
    vec left[SLOTS];         // each lane's left neighbour
    vec prev[SLOTS][STEPS];  // the last block's results: the up neighbours, one lane on
    vec below[SLOTS][STEPS]; // the last block's rows below: this block's old values, one lane on
};

// One block of the vectors FIRST to LAST, their steps interleaved; the others have no lane
// working.
template <int FIRST, int LAST>
SOR_INLINE void relax_blocks(const lane_set (&v)[SLOTS], const block_plan (&plan)[SLOTS],
                             const stream_shape& shape, std::int64_t t, chains& c, vec a, vec b)
{
    constexpr int USED = LAST - FIRST + 1;
    vec old_values[USED][STEPS], below[USED][STEPS], right_after[USED];
    SOR_UNROLL
    for (int j = FIRST; j <= LAST; ++j) {
        const lane_set& w = v[j];
        const block_plan& p = plan[j];
        vec* old = old_values[j - FIRST];
        vec* down = below[j - FIRST];
        // Lane k - 1 loaded this chunk of lane k's row as its row below in the block before.
        // Lane 0 reads its own, and so do a lane on a sweep's first row, whose lane k - 1 is on
        // the sweep before, and a lane in its last chunk, whose leading columns it has updated
        // since.
        SOR_UNROLL
        for (int u = 0; u < STEPS; ++u)
            old[u] = shift_in(c.below[j][u], at(w.self[0]) + u);
        for (unsigned reread = w.first_row | p.last; reread != 0; reread &= reread - 1) {
            int k = __builtin_ctz(reread);
            SOR_UNROLL
            for (int u = 0; u < STEPS; ++u)
                old[u] = set_lanes(old[u], 1u << k, at(w.self[k]) + u);
        }
        load_block(down, [&](int k) { return at(w.down[k]); });
        SOR_UNROLL
        for (int u = 0; u < STEPS; ++u)
            c.below[j][u] = down[u];
        for (int k = t & 1; k < LANES; k += 2)
            prefetch(w.self[k]);
        if (t & 1)
            prefetch(w.down[LANES - 1]);
        // The right neighbour after the chunk is the first column of the next chunk, which lane
        // k - 1 has loaded as its row below, except where lane k - 1 works elsewhere.
        right_after[j - FIRST] = shift_in(down[0], at(w.self[0]) + STEPS);
        if ((p.far_right | p.entering | w.first_row) == 0)
            continue;
        for (unsigned far = p.far_right; far != 0; far &= far - 1) {
            int k = __builtin_ctz(far);
            right_after[j - FIRST] =
                set_lanes(right_after[j - FIRST], 1u << k, at(w.self[k]) + STEPS);
        }
        // A lane entering a row has column 0 to its left.
        if (p.entering != 0)
            c.left[j] = set_lanes(c.left[j], p.entering, at(w.self[__builtin_ctz(p.entering)]) - 1);
        // A lane on a sweep's first row has row 0 above it, not the lane before.
        for (unsigned edge = w.first_row; edge != 0; edge &= edge - 1) {
            int k = __builtin_ctz(edge);
            SOR_UNROLL
            for (int u = 0; u < STEPS; ++u)
                c.prev[j][u] = set_lanes(c.prev[j][u], 1u << (k - 1), at(w.edge[k]) + u);
        }
    }
    // A lane in its last chunk starts at column `overlap`, to the right of the value the chunk
    // before left; the columns before keep their values.
    int restart[USED];
    SOR_UNROLL
    for (int j = FIRST; j <= LAST; ++j)
        restart[j - FIRST] = plan[j].last != 0 ? shape.overlap : 0;
    SOR_UNROLL
    for (int u = 0; u < STEPS; ++u) {
        SOR_UNROLL
        for (int j = FIRST; j <= LAST; ++j) {
            const vec* old = old_values[j - FIRST];
            vec up = shift_in(c.prev[j][u], at(v[j].above) + u);
            vec right = u + 1 < STEPS ? old[u + 1] : right_after[j - FIRST];
            if (u > 0 && u == restart[j - FIRST])
                c.left[j] = keep(plan[j].last, old[u - 1], c.left[j]);
            vec sum = add(add(add(up, below[j - FIRST][u]), c.left[j]), right);
            vec fresh = add(mul(sum, a), mul(old[u], b));
            c.left[j] = fresh;
            c.prev[j][u] = fresh;
        }
    }
    SOR_UNROLL
    for (int j = FIRST; j <= LAST; ++j)
        for (int u = 0; u < restart[j - FIRST]; ++u)
            c.prev[j][u] = keep(plan[j].last, old_values[j - FIRST][u], c.prev[j][u]);
    SOR_UNROLL
    for (int j = FIRST; j <= LAST; ++j) {
        const lane_set& w = v[j];
        store_block([&](int k) { return at(w.self[k]); }, c.prev[j]);
    }
}

} // namespace

void sor_sweep(std::int32_t m, std::int32_t n, double omega, row_matrix& g, std::int32_t batch_size)
{
    if (swept_without_wavefront(m, n, omega, g, batch_size, STEPS))
        return;
    const vec a = splat(0.25 * omega);
    const vec b = splat(1.0 - omega);
    stream_shape shape;
    shape.rows = g.rows;
    shape.rows_per_sweep = m - 2;
    shape.length = std::int64_t{batch_size} * (m - 2);
    shape.chunks = (n - 2 + STEPS - 1) / STEPS;
    shape.overlap = STEPS * shape.chunks - (n - 2);
    shape.period = std::max(shape.chunks, SKEW * SLOTS);

    // The block in which the last row of the stream finishes.
    std::int64_t final_row = shape.length - 1;
    std::int64_t final_lane = final_row % IN_FLIGHT;
    std::int64_t end = final_row / IN_FLIGHT * shape.period + final_lane / LANES * SKEW +
                       final_lane % LANES + shape.chunks - 1;

    double scratch[2 * STEPS + 2] = {};
    lane_set v[SLOTS] = {};
    chains c;
    SOR_UNROLL
    for (int j = 0; j < SLOTS; ++j) {
        v[j].round = -1;
        c.left[j] = splat(0.0);
        SOR_UNROLL
        for (int u = 0; u < STEPS; ++u) {
            c.prev[j][u] = splat(0.0);
            c.below[j][u] = splat(0.0);
        }
    }
    for (std::int64_t t = 0; t <= end; ++t) {
        block_plan plan[SLOTS];
        SOR_UNROLL
        for (int j = 0; j < SLOTS; ++j) {
            lane_moves moves;
            plan[j] = advance(v[j], j, shape, t, moves);
            move_lanes(v[j], moves, shape.overlap, scratch);
        }
        // While the stream starts and ends, one vector of two may have nothing to do.
        if (SLOTS == 2 && v[0].active == 0)
            relax_blocks<SLOTS - 1, SLOTS - 1>(v, plan, shape, t, c, a, b);
        else if (SLOTS == 2 && v[SLOTS - 1].active == 0)
            relax_blocks<0, 0>(v, plan, shape, t, c, a, b);
        else
            relax_blocks<0, SLOTS - 1>(v, plan, shape, t, c, a, b);
    }
}

} // namespace kalvento::KALVENTO_FAST_NS

#endif
