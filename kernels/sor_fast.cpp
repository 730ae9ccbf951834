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
// Each lane's chunk is found at an origin plus an offset common to all lanes, so that a block
// touches the lanes' addresses only where a lane changes rows; the ends of rows are handled with
// masked adds and masked broadcasts. Only the vector operations differ between instruction sets,
// but for the paths with fewer than eight lanes, which run the same wavefront on scalars: eight
// rows, each a column behind the row above, the values passed on in registers.

#include "kernels/fast_kernels.h"
#include "kernels/simd/simd.h"
#include "kernels/sor.h"
#include "support/exact_arithmetic.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace kalvento::KALVENTO_FAST_NS {
namespace {

using namespace simd;

// Columns of a chunk: the transposes of the vocabulary move chunks of up to four.
constexpr int STEPS = LANES < 4 ? LANES : 4;
constexpr int SLOTS = 2;
constexpr int SKEW = LANES + 2;
constexpr int IN_FLIGHT = LANES * SLOTS;
constexpr unsigned ALL_LANES = (1u << LANES) - 1;

// Lane addresses are kept as integers: a finished lane's origin lies before its row.
using address = std::uintptr_t;

constexpr address CHUNK_BYTES = STEPS * sizeof(double);

KALVENTO_INLINE address address_of(const double* p)
{
    return reinterpret_cast<address>(p);
}
KALVENTO_INLINE double* at(address a)
{
    return reinterpret_cast<double*>(a);
}

// Grids a wavefront has nothing to gain on, swept here: those without interior, those with one
// interior row (each sweep needs the whole previous one) and those whose rows are shorter than a
// chunk. False when the grid is left to the wavefront.
bool swept_without_wavefront(std::int32_t m, std::int32_t n, double omega, row_matrix& g,
                             std::int32_t batch_size)
{
    if (batch_size <= 0 || m < 3 || n < 3)
        return true;
    if (m < 4 || n - 2 < STEPS) {
        kalvento::sor_sweep(m, n, omega, g, batch_size);
        return true;
    }
    return false;
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
// load waits for its stores; its origins are set again in every block. The chunks leave room for
// stores that start a chunk early.
struct scratch_chunks {
    alignas(64) double read[4 * STEPS] = {};
    alignas(64) double written[4 * STEPS] = {};

    address read_at(address offset) const { return address_of(read + STEPS) - offset; }
    address write_at(address offset) const { return address_of(written + 2 * STEPS) - offset; }
};

// The lanes of one vector that need more than the common update in a block, and the values they
// read from memory instead.
struct block_plan {
    unsigned entering;    // starting a row: the left neighbour is column 0, at `edge`
    unsigned last;        // in the last chunk: the right neighbour is column n - 1, at `last_right`
    unsigned before_last; // in the chunk before a last chunk that overlaps it: the right
                          // neighbour, at `before_right`, is not what lane k - 1 loaded
    const double* edge;
    const double* last_right;
    const double* before_right;
};

KALVENTO_INLINE void park(lane_set& v, int k)
{
    v.parked |= 1u << k;
    v.first_row &= ~(1u << k);
}

// Moves vector j to block t: lanes finishing, starting and ending rows. The events come with
// branches: their pattern repeats every `period` blocks, and arithmetic without branches that
// writes the origins in every block makes each block's loads wait for those stores.
template <int OVERLAP>
KALVENTO_INLINE block_plan advance(lane_set& v, int j, const stream_shape& shape, std::int64_t t,
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
                plan.entering = bit;
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
            plan.last = 1u << k;
            plan.last_right = at(v.self[k] + offset) + STEPS;
        }
        if (OVERLAP > 0)
            if (int k = lane_in(shape.chunks - 2); k >= 0 && !(v.parked >> k & 1)) {
                plan.before_last = 1u << k;
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
KALVENTO_INLINE void relax_block(const lane_set (&v)[SLOTS], const block_plan (&plan)[SLOTS],
                                 address offset, chain (&c)[SLOTS], vec a, vec b)
{
    vec old[SLOTS][STEPS], down[SLOTS][STEPS];
    const double* own[SLOTS];
    KALVENTO_UNROLL(16)
    for (int j = 0; j < SLOTS; ++j) {
        const lane_set& w = v[j];
        // Lane k - 1 loaded this chunk of lane k's row as its row below in the block before;
        // lane 0 reads its own, and so does a lane on a sweep's first row.
        own[j] = at(w.own + offset);
        KALVENTO_UNROLL(16)
        for (int u = 0; u < STEPS; ++u)
            old[j][u] = shift_up(c[j].below[u], own[j] + u);
        if (w.first_row != 0)
            for (unsigned first = w.first_row; first != 0; first &= first - 1) {
                int k = __builtin_ctz(first);
                KALVENTO_UNROLL(16)
                for (int u = 0; u < STEPS; ++u)
                    old[j][u] = broadcast_where(lanes_from_bits(1u << k),
                                                at(w.self[k] + offset) + u, old[j][u]);
            }
        load_transposed<STEPS>(down[j], [&](int k) { return at(w.down[k] + offset); });
        KALVENTO_UNROLL(16)
        for (int u = 0; u < STEPS; ++u)
            c[j].below[u] = down[j][u];
    }
    KALVENTO_UNROLL(16)
    for (int u = 0; u < STEPS; ++u) {
        KALVENTO_UNROLL(16)
        for (int j = 0; j < SLOTS; ++j) {
            const lane_set& w = v[j];
            const block_plan& p = plan[j];
            // The row above lane 0, and row 0 above a lane on a sweep's first row.
            vec up = shift_up(c[j].prev[u], at(w.above[0] + offset) + u);
            if (w.first_row != 0)
                for (unsigned first = w.first_row; first != 0; first &= first - 1) {
                    int k = __builtin_ctz(first);
                    up = broadcast_where(lanes_from_bits(1u << k), at(w.above[k] + offset) + u, up);
                }
            vec right;
            if (u + 1 < STEPS) {
                right = old[j][u + 1];
            } else {
                // The right neighbour after the chunk is the first column of the next chunk,
                // which lane k - 1 has loaded as its row below, except at the end of the row.
                right = shift_up(down[j][0], own[j] + STEPS);
                right = broadcast_where(lanes_from_bits(p.last), p.last_right, right);
                if (OVERLAP > 0)
                    right = broadcast_where(lanes_from_bits(p.before_last), p.before_right, right);
                if (w.first_row != 0)
                    for (unsigned first = w.first_row; first != 0; first &= first - 1) {
                        int k = __builtin_ctz(first);
                        right = broadcast_where(lanes_from_bits(1u << k),
                                                at(w.self[k] + offset) + STEPS, right);
                    }
            }
            vec sum = add(up, down[j][u]);
            // Blocks in which a lane starts or ends a row are few: where a masked add is more
            // than an add, the others skip it, which keeps the blend off the chain through the
            // left neighbour.
            if (u == 0 && (NATIVE_MASKS || p.entering != 0)) {
                // A lane starting a row has column 0 to its left.
                vec from_edge = add(sum, broadcast(*p.edge));
                sum =
                    add_where(lanes_from_bits(~p.entering & ALL_LANES), sum, c[j].left, from_edge);
            } else {
                sum = add(sum, c[j].left);
            }
            sum = add(sum, right);
            vec scaled = mul(sum, a);
            vec kept = mul(old[j][u], b);
            vec fresh;
            if (u < OVERLAP && (NATIVE_MASKS || p.last != 0)) {
                // The last chunk overlaps the one before by OVERLAP columns, which the lane
                // updated in the block before: it keeps those values, and its left neighbour
                // chain carries the last of them.
                fresh = add_where(lanes_from_bits(~p.last & ALL_LANES), scaled, kept,
                                  c[j].prev[u + STEPS - OVERLAP]);
            } else {
                fresh = add(scaled, kept);
            }
            c[j].left = fresh;
            c[j].prev[u] = fresh;
        }
    }
    KALVENTO_UNROLL(16)
    for (int j = 0; j < SLOTS; ++j)
        store_transposed<STEPS>([&](int k) { return at(v[j].self[k] + offset); }, c[j].prev);
}

template <int OVERLAP>
void sweep_stream(const stream_shape& shape, double omega)
{
    const vec a = broadcast(0.25 * omega);
    const vec b = broadcast(1.0 - omega);
    // The block in which the last row of the stream finishes.
    std::int64_t final_row = shape.length - 1;
    std::int64_t final_lane = final_row % IN_FLIGHT;
    std::int64_t end = final_row / IN_FLIGHT * shape.period + final_lane / LANES * SKEW +
                       final_lane % LANES + shape.chunks - 1;

    scratch_chunks scratch;
    // Every lane starts parked, and advance() sets a parked lane's origins before any block reads
    // them; zeroed all the same, as gcc cannot see that with one lane.
    lane_set v[SLOTS]{};
    chain c[SLOTS];
    KALVENTO_UNROLL(16)
    for (int j = 0; j < SLOTS; ++j) {
        v[j].parked = ALL_LANES;
        v[j].first_row = 0;
        v[j].own = 0;
        v[j].chunk = 0;
        v[j].round = 0;
        c[j].left = zero();
        KALVENTO_UNROLL(16)
        for (int u = 0; u < STEPS; ++u) {
            c[j].prev[u] = zero();
            c[j].below[u] = zero();
        }
    }
    for (std::int64_t t = 0; t <= end; ++t) {
        address offset = static_cast<address>(t) * CHUNK_BYTES;
        block_plan plan[SLOTS];
        KALVENTO_UNROLL(16)
        for (int j = 0; j < SLOTS; ++j)
            plan[j] = advance<OVERLAP>(v[j], j, shape, t, offset, scratch);
        relax_block<OVERLAP>(v, plan, offset, c, a, b);
    }
}

// The sweep for the overlap of the last chunk, from OVERLAP up.
template <int OVERLAP = 0>
void sweep_stream_with(int overlap, const stream_shape& shape, double omega)
{
    if constexpr (OVERLAP + 1 < STEPS)
        if (overlap != OVERLAP)
            return sweep_stream_with<OVERLAP + 1>(overlap, shape, omega);
    sweep_stream<OVERLAP>(shape, omega);
}

// With fewer than eight lanes the transposes and the lanes' bookkeeping cost more than the lanes
// gain: eight rows in flight as eight scalar chains are faster (measured on x86-64 and AVX2).
constexpr bool SCALAR_WAVEFRONT = LANES < 8;
constexpr int SCALAR_ROWS = 8;

// Rows i0 .. i0 + K - 1 of one sweep, row i0 + q a column behind row i0 + q - 1: in step t row
// i0 + q updates column t - q, so each step makes K independent updates. Rows go from the last
// to the first within a step, so that the value row q - 1 made in the step before (its point
// above) is still in a register; each row's new value is its left neighbour in the next step,
// and its right neighbour its old value then. Needs n - 2 >= K.
template <int K>
void relax_rows(std::int32_t n, double a, double b, double* const* rows)
{
    double* row[K + 2];
    for (int q = 0; q < K + 2; ++q)
        row[q] = rows[q - 1];
    auto point = [&](int q, std::int32_t j) KALVENTO_INLINE_LAMBDA {
        double* r = row[q + 1];
        r[j] = ((((row[q][j] + row[q + 2][j]) + r[j - 1]) + r[j + 1]) * a) + (r[j] * b);
    };
    // The steps before every row has started.
    for (std::int32_t t = 1; t < K; ++t)
        for (int q = 0; q <= t - 1; ++q)
            point(q, t - q);
    double last[K];
    double old[K];
    for (int q = 0; q < K; ++q) {
        last[q] = row[q + 1][K - q - 1];
        old[q] = row[q + 1][K - q];
    }
    std::int32_t end = n - 2;
    for (std::int32_t t = K; t <= end; ++t) {
        KALVENTO_UNROLL(16)
        for (int q = K - 1; q >= 0; --q) {
            std::int32_t j = t - q;
            double* r = row[q + 1];
            double up = q == 0 ? row[0][j] : last[q - 1];
            double right = r[j + 1];
            double fresh = ((((up + row[q + 2][j]) + last[q]) + right) * a) + (old[q] * b);
            r[j] = fresh;
            last[q] = fresh;
            old[q] = right;
        }
    }
    // The steps after the first row has finished.
    for (std::int32_t t = end + 1; t < end + K; ++t)
        for (int q = t - end; q < K; ++q)
            point(q, t - q);
}

// The last `count` rows of a sweep (fewer than SCALAR_ROWS), from K up.
template <int K = 1>
void relax_last_rows(int count, std::int32_t n, double a, double b, double* const* rows)
{
    if constexpr (K + 1 < SCALAR_ROWS)
        if (count != K)
            return relax_last_rows<K + 1>(count, n, a, b, rows);
    relax_rows<K>(n, a, b, rows);
}

// Sweeps a grid whose rows have at least SCALAR_ROWS interior points, SCALAR_ROWS rows at a time.
void sweep_scalar(std::int32_t m, std::int32_t n, double omega, row_matrix& g,
                  std::int32_t batch_size)
{
    double a = 0.25 * omega;
    double b = 1.0 - omega;
    for (std::int32_t sweep = 0; sweep < batch_size; ++sweep) {
        std::int32_t i = 1;
        for (; i + SCALAR_ROWS <= m - 1; i += SCALAR_ROWS)
            relax_rows<SCALAR_ROWS>(n, a, b, g.rows + i);
        if (i < m - 1)
            relax_last_rows(static_cast<int>(m - 1 - i), n, a, b, g.rows + i);
    }
}

} // namespace

void sor_sweep(std::int32_t m, std::int32_t n, double omega, row_matrix& g, std::int32_t batch_size)
{
    if (SCALAR_WAVEFRONT && batch_size > 0 && m >= 3 && n - 2 >= SCALAR_ROWS) {
        sweep_scalar(m, n, omega, g, batch_size);
        return;
    }
    if (swept_without_wavefront(m, n, omega, g, batch_size))
        return;
    stream_shape shape;
    shape.rows = g.rows;
    shape.rows_per_sweep = m - 2;
    shape.length = std::int64_t{batch_size} * (m - 2);
    shape.chunks = (n - 2 + STEPS - 1) / STEPS;
    shape.period = std::max(shape.chunks, SKEW * SLOTS);
    sweep_stream_with(STEPS * shape.chunks - (n - 2), shape, omega);
}

} // namespace kalvento::KALVENTO_FAST_NS
