// The FFT with vectors: the same butterflies and the same twiddle recurrences as the plain
// transform, rescheduled.
//
// Every butterfly result depends only on its two inputs and its twiddle factor, so any order that
// runs each point's butterflies in stage order gives the same bits. What changes:
// - The bit reversal is fused with stages 0 to 2: sets of 8 x 8 points are read in bit-reversed
//   order, transformed across the vector lanes, transposed and written to their final places.
// - During a transform the data is held as blocks of W real parts followed by W imaginary parts
//   (W = doubles per vector); the last pass restores the interleaved layout and, in the inverse,
//   applies the scale factor to each value as it is written.
// - Later stages run two or three at a time per pass over a group of points, vectorised over
//   consecutive offsets; a lane of offset 0 keeps z itself instead of the product, as the plain
//   offset-0 butterfly applies no multiplication.
// - The twiddle factors of each stage come from exactly the plain recurrence; chains of different
//   stages and directions advance side by side in the lanes of one vector and are transposed into
//   per-stage tables. Stages too long for a table on the stack go two per pass and generate their
//   chains in chunks as the pass runs; the upper stage's chain from its middle on starts from a
//   value that a second run of that chain reaches beside the bit reversal (the longest such run
//   beside the bit reversal and the first long pass). Nothing is kept from one call to the next.

#include "kernels/fast_kernels.h"
#include "kernels/fft.h"
#include "kernels/simd/simd.h"
#include "support/exact_arithmetic.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace kalvento::KALVENTO_FAST_NS {
namespace {

using std::int32_t;
using std::ptrdiff_t;

using simd::add;
using simd::add_except_first;
using simd::broadcast;
using simd::interleave_high;
using simd::interleave_low;
using simd::load;
using simd::mul;
using simd::static_for;
using simd::store;
using simd::sub;
using simd::sub_except_first;
using simd::transpose;
using simd::vec;

// Doubles per vector.
constexpr int W = simd::LANES;

// The twiddle chains advance in the lanes of short vectors: there are rarely more than four long
// chains at once, and on AVX-512 the wider vectors would only cost clock speed.
using chain_vec = simd::short_vec;
constexpr int G = sizeof(chain_vec) / sizeof(double);

// ---------------------------------------------------------------------------------------------
// Complex numbers, W of them at a time: the real parts in one vector, the imaginary parts in
// another. Inside a transform the blocks of the data hold them in that form, W real parts followed
// by W imaginary parts. Within a block the points stand in the lane order of the in-lane unpack:
// lane k holds point lane_point(k) of the block.

struct complex {
    vec re;
    vec im;
};
// One complex number, and G of them in the lanes of the twiddle chains.
struct scalar_complex {
    double re;
    double im;
};
struct chain_complex {
    chain_vec re;
    chain_vec im;
};

KALVENTO_INLINE complex operator+(complex a, complex b)
{
    return {add(a.re, b.re), add(a.im, b.im)};
}

KALVENTO_INLINE complex operator-(complex a, complex b)
{
    return {sub(a.re, b.re), sub(a.im, b.im)};
}

// w z, each product rounded on its own, in the plain transform's order.
KALVENTO_INLINE complex operator*(complex w, complex z)
{
    return {sub(mul(w.re, z.re), mul(w.im, z.im)), add(mul(w.re, z.im), mul(w.im, z.re))};
}

// w z, except that lane 0 keeps z: the butterfly of offset 0 applies no multiplication.
KALVENTO_INLINE complex times_except_first(complex w, complex z)
{
    return {sub_except_first(z.re, mul(w.re, z.re), mul(w.im, z.im)),
            add_except_first(z.im, mul(w.re, z.im), mul(w.im, z.re))};
}

KALVENTO_INLINE complex scaled(complex z, vec factor)
{
    return {mul(z.re, factor), mul(z.im, factor)};
}

KALVENTO_INLINE complex broadcast_complex(double re, double im)
{
    return {broadcast(re), broadcast(im)};
}

// A block of W points: real parts at p, imaginary parts at p + W.
KALVENTO_INLINE complex load_block(const double* p)
{
    return {load(p), load(p + W)};
}

KALVENTO_INLINE void store_block(double* p, complex z)
{
    store(p, z.re);
    store(p + W, z.im);
}

// W interleaved points (re, im, re, im, ...) at p, in the block's lane order.
KALVENTO_INLINE complex load_interleaved(const double* p)
{
    vec low = load(p), high = load(p + W);
    return {interleave_low(low, high), interleave_high(low, high)};
}

KALVENTO_INLINE void store_interleaved(double* p, complex z)
{
    store(p, interleave_low(z.re, z.im));
    store(p + W, interleave_high(z.re, z.im));
}

// The radix-2 butterfly: (x, z) becomes (x + w z, x - w z).
KALVENTO_INLINE void butterfly(complex& x, complex& z, complex w)
{
    complex p = w * z;
    z = x - p;
    x = x + p;
}

// The butterfly of a block whose lane 0 is offset 0: there, p = z.
KALVENTO_INLINE void butterfly_keeping_first(complex& x, complex& z, complex w)
{
    complex p = times_except_first(w, z);
    z = x - p;
    x = x + p;
}

// The butterfly of offset 0, w = 1: no multiplication.
KALVENTO_INLINE void butterfly_unit(complex& x, complex& z)
{
    complex p = z;
    z = x - p;
    x = x + p;
}

// Lane l of z[i] becomes lane i of z[l], in both parts.
KALVENTO_INLINE void transpose_points(complex (&z)[W])
{
    vec re[W], im[W];
    static_for<W>([&](auto i) KALVENTO_INLINE_LAMBDA {
        re[i] = z[i].re;
        im[i] = z[i].im;
    });
    transpose(re);
    transpose(im);
    static_for<W>([&](auto i) KALVENTO_INLINE_LAMBDA { z[i] = {re[i], im[i]}; });
}

// Butterfly stages fused per pass: eight points in registers take 16 of them, which only a set
// with 32 registers has to spare beside the twiddle factors.
constexpr int MAX_FUSED = simd::REGISTERS >= 32 ? 3 : 2;

// Lane k of a block holds point lane_point(k) of the block.
constexpr int lane_point(int k)
{
    return k % 2 == 0 ? k / 2 : W / 2 + k / 2;
}
// Where the real part of point j of a group of 8 consecutive points lies, in doubles from the
// group's start (the imaginary part follows W doubles later).
constexpr int real_offset(int j)
{
    int block = j / W;
    int within = j % W;
    for (int k = 0; k < W; ++k)
        if (lane_point(k) == within)
            return 2 * W * block + k;
    return -1;
}
// The point in the group of 8 that storage index i holds.
constexpr int stored_point(int i)
{
    return (i / W) * W + lane_point(i % W);
}

// One step of a stage's twiddle recurrence, exactly as the plain transform takes it.
template <class Complex, class V>
KALVENTO_INLINE void twiddle_step(Complex& w, V s, V beta)
{
    w = {sub(sub(w.re, mul(s, w.im)), mul(beta, w.re)),
         sub(add(w.im, mul(s, w.re)), mul(beta, w.im))};
}

struct rotation {
    double sigma;
    double beta;
};

// The two sin calls of stage `stage`, with the plain transform's arguments.
rotation stage_rotation(int stage, int32_t direction)
{
    int32_t width = int32_t{2} << stage;
    double d = direction;
    double theta = ((d + d) * FFT_PI) / static_cast<double>(width);
    double s = std::sin(theta);
    double t = std::sin(theta * 0.5);
    return {s, 2.0 * t * t};
}

// ---------------------------------------------------------------------------------------------
// Twiddle tables.
//
// The table of stage l holds its 2^l twiddle factors, offset 0 first (exactly one), in the block
// layout of the data: real parts of W consecutive offsets in lane order, then their imaginary
// parts. Tables exist for stages 3 to TABLE_STAGES - 1; longer stages generate theirs in chunks.

constexpr int FIRST_TABLE_STAGE = 3;
constexpr int TABLE_STAGES = 12;
// Doubles of all tables of one direction up to stage `stages` - 1.
constexpr ptrdiff_t table_doubles(int stages)
{
    return 2 * ((ptrdiff_t{1} << stages) - (ptrdiff_t{1} << FIRST_TABLE_STAGE));
}
constexpr ptrdiff_t table_offset(int stage)
{
    return table_doubles(stage);
}
constexpr ptrdiff_t TABLE_CAPACITY = table_doubles(TABLE_STAGES);

constexpr int MAX_LANE_CHAINS = 2 * TABLE_STAGES;

// One stage's chain of one direction, to be written into its table.
struct table_chain {
    double* table;
    int32_t entries;
    int stage;
    int32_t direction;
    bool rotated;
    rotation r;
};

struct lane_queue {
    table_chain items[MAX_LANE_CHAINS];
    int count;
};

// Runs the table chains, G at a time in the lanes of a vector, each lane one chain after the
// other, eight offsets per round. The transforms take its steps between their butterflies, so
// that the chains' latency overlaps the butterflies, and wait for it where they need a table that
// is not yet complete. Lane 0 holds the longest queue; a lane whose queue is done repeats lane
// 0's chain into lane 0's table.
struct chain_runner {
    lane_queue queues[G];
    // The round at which the chain of (direction index, stage) starts in its lane.
    int32_t begin[2][TABLE_STAGES];
    int next[G];
    int32_t end[G];
    int32_t until;
    int32_t total;
    bool pending;
    // The lanes' state between runs of rounds.
    alignas(64) double w_re[G];
    alignas(64) double w_im[G];
    alignas(64) double sigma[G];
    alignas(64) double beta[G];
    double* dst[G];
    int32_t done;
    int step;
    // The round in progress: its offsets as they come, a vector of lanes each.
    alignas(64) double staging[8][2][G];
};

// The runner's state while a loop runs it: in registers. `done` counts the rounds complete,
// `step` the offsets of the round in progress.
struct chain_regs {
    chain_complex w;
    chain_vec s, beta;
    double* dst[G];
    int32_t done;
    int step;
};

KALVENTO_INLINE chain_regs runner_regs(const chain_runner& r)
{
    chain_regs q;
    q.w = {load<chain_vec>(r.w_re), load<chain_vec>(r.w_im)};
    q.s = load<chain_vec>(r.sigma);
    q.beta = load<chain_vec>(r.beta);
    for (int c = 0; c < G; ++c)
        q.dst[c] = r.dst[c];
    q.done = r.done;
    q.step = r.step;
    return q;
}

KALVENTO_INLINE void runner_keep(chain_runner& r, const chain_regs& q)
{
    store(r.w_re, q.w.re);
    store(r.w_im, q.w.im);
    store(r.sigma, q.s);
    store(r.beta, q.beta);
    for (int c = 0; c < G; ++c)
        r.dst[c] = q.dst[c];
    r.done = q.done;
    r.step = q.step;
}

void queue_chain(chain_runner& r, int lane, int index, int32_t direction, int stage, double* tables)
{
    lane_queue& q = r.queues[lane];
    int32_t begin = 0;
    for (int i = 0; i < q.count; ++i)
        begin += q.items[i].entries / 8;
    r.begin[index][stage] = begin;
    q.items[q.count++] = {
        tables + table_offset(stage), int32_t{1} << stage, stage, direction, false, {}};
}

// The sin calls of each lane's next chain, made ahead of its start so that they overlap the
// rounds before it.
__attribute__((noinline)) void runner_rotate(chain_runner& r)
{
    for (int c = 0; c < G; ++c) {
        if (r.next[c] < r.queues[c].count) {
            table_chain& k = r.queues[c].items[r.next[c]];
            if (!k.rotated) {
                k.r = stage_rotation(k.stage, k.direction);
                k.rotated = true;
            }
        }
    }
    r.pending = false;
}

// Lane c takes up its next chain, or repeats lane 0's.
void runner_next_chain(chain_runner& r, int c)
{
    if (r.next[c] < r.queues[c].count) {
        table_chain& k = r.queues[c].items[r.next[c]++];
        if (!k.rotated) {
            k.r = stage_rotation(k.stage, k.direction);
            k.rotated = true;
        }
        r.w_re[c] = 1.0;
        r.w_im[c] = 0.0;
        r.sigma[c] = k.r.sigma;
        r.beta[c] = k.r.beta;
        r.dst[c] = k.table;
        r.end[c] = r.done + k.entries / 8;
        r.pending = true;
    } else {
        r.w_re[c] = r.w_re[0];
        r.w_im[c] = r.w_im[0];
        r.sigma[c] = r.sigma[0];
        r.beta[c] = r.beta[0];
        r.dst[c] = r.dst[0];
        r.end[c] = r.end[0];
    }
}

void runner_until(chain_runner& r)
{
    r.until = r.end[0];
    for (int c = 1; c < G; ++c)
        if (r.end[c] < r.until)
            r.until = r.end[c];
}

__attribute__((noinline)) void runner_switch(chain_runner& r, chain_regs& q)
{
    runner_keep(r, q);
    for (int c = 0; c < G; ++c)
        if (r.end[c] == r.done)
            runner_next_chain(r, c);
    runner_until(r);
    q = runner_regs(r);
}

// The table chains of stages 3 .. top of one direction (index 0) or of both (forward index 0,
// inverse index 1). The stages a transform needs first come first; with both directions the
// inverse's chains fill what the forward's leave of the lanes, so the forward's tables are ready
// early and the inverse's by the time the forward ends.
void runner_start(chain_runner& r, int top, int directions, const int32_t* direction,
                  double* const* tables)
{
    for (int c = 0; c < G; ++c)
        r.queues[c].count = 0;
    auto add_rest = [&](int lane, int index, int32_t dir) {
        for (int stage = FIRST_TABLE_STAGE; stage < top - 1; ++stage)
            queue_chain(r, lane, index, dir, stage, tables[index]);
    };
    if constexpr (G >= 4) {
        for (int d = 0; d < directions; ++d) {
            int32_t dir = direction[d];
            queue_chain(r, d == 0 ? 0 : 3, d, dir, top, tables[d]);
            queue_chain(r, 1, d, dir, top - 1, tables[d]);
            add_rest(2, d, dir);
        }
    } else if constexpr (G == 2) {
        queue_chain(r, 0, 0, direction[0], top, tables[0]);
        add_rest(1, 0, direction[0]);
        queue_chain(r, 1, 0, direction[0], top - 1, tables[0]);
    } else {
        add_rest(0, 0, direction[0]);
        queue_chain(r, 0, 0, direction[0], top - 1, tables[0]);
        queue_chain(r, 0, 0, direction[0], top, tables[0]);
    }
    r.total = 0;
    for (int i = 0; i < r.queues[0].count; ++i)
        r.total += r.queues[0].items[i].entries / 8;
    r.done = 0;
    r.step = 0;
    for (int c = 0; c < G; ++c) {
        r.next[c] = 0;
        runner_next_chain(r, c);
    }
    runner_until(r);
}

// One offset of every lane's chain. The twiddle steps of a round are spread over a group of
// butterflies, a step after each butterfly, so that only a few wait for their predecessor at a
// time and the butterflies flow past them.
KALVENTO_INLINE void runner_step(chain_runner& r, chain_regs& q)
{
    store(r.staging[q.step][0], q.w.re);
    store(r.staging[q.step][1], q.w.im);
    twiddle_step(q.w, q.s, q.beta);
    ++q.step;
}

// Writes the round's eight offsets to the tables, in the block layout, and moves lanes whose
// chain is done to their next chain.
KALVENTO_INLINE void runner_flush(chain_runner& r, chain_regs& q)
{
    using cvec = chain_vec;
    static_for<8 / G>([&](auto g) KALVENTO_INLINE_LAMBDA {
        constexpr int first = g * G;
        cvec t_re[G], t_im[G];
        static_for<G>([&](auto i) KALVENTO_INLINE_LAMBDA {
            t_re[i] = load<chain_vec>(r.staging[stored_point(first + i)][0]);
            t_im[i] = load<chain_vec>(r.staging[stored_point(first + i)][1]);
        });
        transpose(t_re);
        transpose(t_im);
        constexpr int offset = 2 * W * (first / W) + first % W;
        static_for<G>([&](auto c) KALVENTO_INLINE_LAMBDA {
            store(q.dst[c] + offset, t_re[c]);
            store(q.dst[c] + offset + W, t_im[c]);
        });
    });
    for (int c = 0; c < G; ++c)
        q.dst[c] += 16;
    ++q.done;
    q.step = 0;
    if (r.pending)
        runner_rotate(r);
    if (q.done == r.until && q.done < r.total)
        runner_switch(r, q);
}

KALVENTO_INLINE void runner_round(chain_runner& r, chain_regs& q)
{
    while (q.step < 8)
        runner_step(r, q);
    runner_flush(r, q);
}

// A transform's view of its tables.
struct twiddles {
    const double* tables;
    chain_runner* runner;
    int index;
};

// Runs rounds until stage `stage`'s table holds its entries 0 .. entry.
KALVENTO_INLINE void need(const twiddles& t, chain_regs& q, int stage, int32_t entry)
{
    int32_t target = t.runner->begin[t.index][stage] + entry / 8 + 1;
    while (q.done < target)
        runner_round(*t.runner, q);
}

// Whether the runner has `steps` steps left to take.
KALVENTO_INLINE bool can_take(const chain_runner& r, const chain_regs& q, int steps)
{
    return (r.total - q.done) * 8 - q.step >= steps;
}

// Completes the round in progress unless `steps` more steps fit in it.
KALVENTO_INLINE void align_round(chain_runner& r, chain_regs& q, int steps)
{
    if (q.step % steps != 0 && q.done < r.total)
        runner_round(r, q);
}

// After a group of butterflies: completes the round if its offsets are all there.
KALVENTO_INLINE void settle(chain_runner& r, chain_regs& q)
{
    if (q.step == 8)
        runner_flush(r, q);
}

// A twiddle step after each butterfly: the groups that take one take exactly as many as they
// have butterflies, so that no branch breaks up their code.
struct ticker {
    chain_runner* r;
    chain_regs* q;
    KALVENTO_INLINE void operator()() const { runner_step(*r, *q); }
};

// For transforms whose tables are complete.
struct no_ticker {
    KALVENTO_INLINE void operator()() const {}
};

// How a pass leaves its points: in blocks, interleaved, or interleaved and scaled.
enum class output { blocks, interleaved, scaled };

// ---------------------------------------------------------------------------------------------
// Chains run ahead.
//
// A pass of two long stages l and l + 1 (h = 2^l) needs stage l + 1's twiddle factors of the
// offsets a and a + h side by side, so its second chain starts at offset h. The factor there comes
// from stage l + 1's recurrence run h steps from one, exactly as the plain transform runs it,
// beside the bit reversal, whose scattered reads leave the arithmetic units idle. The longest of
// these chains is serial work enough to bound the bit reversal: where a long pass comes before the
// last pair, the bit reversal runs half of it and that pass the rest, beside its own chains.

struct lead_chain {
    scalar_complex w;
    rotation r;
    int32_t length;
    // The offset whose factor w is.
    int32_t reached;
};

// Up to n more steps of the chain, to its length at most.
KALVENTO_INLINE void advance_lead(lead_chain& c, int32_t n)
{
    for (; n > 0 && c.reached < c.length; --n) {
        twiddle_step(c.w, c.r.sigma, c.r.beta);
        ++c.reached;
    }
}

// A length n below 2^31 has at most 2^29 points: at most 17 long stages, 8 pairs.
constexpr int MAX_LEAD_CHAINS = 8;

struct lead_chains {
    lead_chain chain[MAX_LEAD_CHAINS];
    int count;
    int kept;
};

// The lead chains run in the lanes of NV chain vectors, in step: after n steps, lane i holds
// chain i's factor of offset n, and it is kept when n reaches the chain's length (the chains come
// shortest first). Lanes without a chain step a factor of one by zero angles.
template <int NV>
struct lead_lanes {
    chain_complex w[NV];
    chain_vec s[NV], beta[NV];
    int32_t done;
    int32_t next_length;
};

template <>
struct lead_lanes<0> {};

template <int NV>
lead_lanes<NV> start_leads(const lead_chains& leads)
{
    alignas(64) double sigma[NV * G] = {}, beta[NV * G] = {};
    for (int i = 0; i < leads.count; ++i) {
        sigma[i] = leads.chain[i].r.sigma;
        beta[i] = leads.chain[i].r.beta;
    }
    lead_lanes<NV> l;
    for (int v = 0; v < NV; ++v) {
        l.w[v] = {broadcast<chain_vec>(1.0), broadcast<chain_vec>(0.0)};
        l.s[v] = load<chain_vec>(sigma + G * v);
        l.beta[v] = load<chain_vec>(beta + G * v);
    }
    l.done = 0;
    l.next_length = leads.count > 0 ? leads.chain[0].length : -1;
    return l;
}

// The chains' factors from the lanes, chain i at re[i] and im[i].
template <int NV>
KALVENTO_INLINE void store_lead_lanes(const lead_lanes<NV>& l, double* re, double* im)
{
    for (int v = 0; v < NV; ++v) {
        store(re + G * v, l.w[v].re);
        store(im + G * v, l.w[v].im);
    }
}

// Keeps the factors of the chains whose length the steps have reached; returns the next length to
// watch for. The lanes come by value, so that they can stay in registers between the calls.
template <int NV>
__attribute__((noinline)) int32_t keep_leads(const lead_lanes<NV> l, lead_chains& leads)
{
    alignas(64) double re[NV * G], im[NV * G];
    store_lead_lanes(l, re, im);
    while (leads.kept < leads.count && leads.chain[leads.kept].length == l.done) {
        leads.chain[leads.kept].w = {re[leads.kept], im[leads.kept]};
        leads.chain[leads.kept].reached = l.done;
        ++leads.kept;
    }
    return leads.kept < leads.count ? leads.chain[leads.kept].length : -1;
}

// Hands the chains not yet done over where the steps have brought them.
template <int NV>
__attribute__((noinline)) void leave_leads(const lead_lanes<NV> l, lead_chains& leads)
{
    alignas(64) double re[NV * G], im[NV * G];
    store_lead_lanes(l, re, im);
    for (int i = leads.kept; i < leads.count; ++i) {
        leads.chain[i].w = {re[i], im[i]};
        leads.chain[i].reached = l.done;
    }
}

template <int NV>
KALVENTO_INLINE void lead_step(lead_lanes<NV>& l, lead_chains& leads)
{
    static_for<NV>([&](auto v) KALVENTO_INLINE_LAMBDA { twiddle_step(l.w[v], l.s[v], l.beta[v]); });
    if (++l.done == l.next_length)
        l.next_length = keep_leads(l, leads);
}

// Two lead steps after each butterfly of stages 1 and 2 of a set's first W lanes: 16 per set, as
// the longest lead has 2^(L - 2) steps and the bit reversal 2^(L - 6) sets. With `halve`, one
// step: all leads but the longest are done, and that one half.
template <int NV>
struct lead_ticker {
    lead_lanes<NV>* l;
    lead_chains* leads;
    bool halve;
    KALVENTO_INLINE void operator()() const
    {
        lead_step(*l, *leads);
        if (!halve)
            lead_step(*l, *leads);
    }
};

template <>
struct lead_ticker<0> {
    KALVENTO_INLINE void operator()() const {}
};

// ---------------------------------------------------------------------------------------------
// Bit reversal with stages 0 to 2.
//
// With N = 2^L points, the points 8u + m + s N/8 (m, s = 0..7) of set u end up, after the bit
// reversal, as the 8 x 8 points 8 rev(u) + t + rev3(m) N/8 with t = rev3(s), rev the reversal of
// L - 6 bits. Each group m of 8 consecutive final points is a complete transform of stages 0 to 2.

struct small_twiddles {
    scalar_complex w1;    // stage 1, offset 1
    scalar_complex w2[3]; // stage 2, offsets 1 to 3
};

small_twiddles first_stage_twiddles(int32_t direction)
{
    small_twiddles t;
    rotation r1 = stage_rotation(1, direction);
    t.w1 = {1.0, 0.0};
    twiddle_step(t.w1, r1.sigma, r1.beta);
    rotation r2 = stage_rotation(2, direction);
    scalar_complex w{1.0, 0.0};
    for (int a = 0; a < 3; ++a) {
        twiddle_step(w, r2.sigma, r2.beta);
        t.w2[a] = w;
    }
    return t;
}

// Reads set `src` (rows of 8 points `row` doubles apart, interleaved) and writes its 8 groups in
// blocks, group m at dst + rev3(m) dst_row. `tick` runs after each butterfly of stages 1 and 2
// in the first W lanes.
template <class Tick, class Lead>
KALVENTO_INLINE void first_set(double* dst, ptrdiff_t dst_row, const double* src, ptrdiff_t row,
                               const small_twiddles& t, Tick tick, Lead lead)
{
    constexpr int REV3[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    const complex w1 = broadcast_complex(t.w1.re, t.w1.im);
    complex w2[3];
    for (int a = 0; a < 3; ++a)
        w2[a] = broadcast_complex(t.w2[a].re, t.w2[a].im);
    static_for<8 / W>([&](auto c) KALVENTO_INLINE_LAMBDA {
        complex x[8];
        static_for<8>([&](auto k) KALVENTO_INLINE_LAMBDA {
            x[k] = load_interleaved(src + REV3[k] * row + 2 * W * c);
        });
        auto first_tick = [&]() KALVENTO_INLINE_LAMBDA {
            if constexpr (c == 0) {
                tick();
                lead();
            }
        };
        // Stage 0: pairs (k, k + 1); stage 1: (k, k + 2); stage 2: (k, k + 4).
        static_for<4>([&](auto k)
                          KALVENTO_INLINE_LAMBDA { butterfly_unit(x[2 * k], x[2 * k + 1]); });
        static_for<2>([&](auto b) KALVENTO_INLINE_LAMBDA {
            constexpr int k = 4 * b;
            butterfly_unit(x[k], x[k + 2]);
            first_tick();
            butterfly(x[k + 1], x[k + 3], w1);
            first_tick();
        });
        butterfly_unit(x[0], x[4]);
        first_tick();
        static_for<3>([&](auto a) KALVENTO_INLINE_LAMBDA {
            butterfly(x[a + 1], x[a + 5], w2[a]);
            first_tick();
        });
        static_for<8 / W>([&](auto tb) KALVENTO_INLINE_LAMBDA {
            complex r[W];
            static_for<W>([&](auto j) KALVENTO_INLINE_LAMBDA { r[j] = x[W * tb + lane_point(j)]; });
            transpose_points(r);
            static_for<W>([&](auto k) KALVENTO_INLINE_LAMBDA {
                store_block(dst + REV3[W * c + lane_point(k)] * dst_row + 2 * W * tb, r[k]);
            });
        });
    });
}

int32_t reverse_bits(int32_t v, int bits)
{
    int32_t r = 0;
    for (int b = 0; b < bits; ++b) {
        r = (r << 1) | (v & 1);
        v >>= 1;
    }
    return r;
}

// Twiddle steps beside each set.
constexpr int SET_STEPS = 8;

template <bool TICKS, int NV>
void bit_reverse_first_stages(int32_t points, int log_points, double* data, const small_twiddles& t,
                              const twiddles& tw, lead_chains& leads, bool halve)
{
    alignas(64) double saved[128];
    chain_runner& r = *tw.runner;
    chain_regs q = runner_regs(r);
    if constexpr (TICKS)
        align_round(r, q, SET_STEPS);
    lead_lanes<NV> l;
    lead_ticker<NV> lead;
    if constexpr (NV > 0) {
        l = start_leads<NV>(leads);
        lead = {&l, &leads, halve};
    }
    auto first = [&](double* dst, ptrdiff_t dst_row, const double* src, ptrdiff_t row)
                     KALVENTO_INLINE_LAMBDA {
                         if (TICKS && can_take(r, q, SET_STEPS)) {
                             first_set(dst, dst_row, src, row, t, ticker{&r, &q}, lead);
                             settle(r, q);
                         } else {
                             first_set(dst, dst_row, src, row, t, no_ticker{}, lead);
                         }
                     };
    ptrdiff_t row = ptrdiff_t{2} * (points / 8);
    auto exchange = [&](int32_t u, int32_t v) KALVENTO_INLINE_LAMBDA {
        double* set_u = data + 16 * ptrdiff_t{u};
        double* set_v = data + 16 * ptrdiff_t{v};
        // Set u goes where set v lies and the other way round (or onto itself).
        first(saved, 16, set_u, row);
        if (v != u)
            first(set_u, row, set_v, row);
        for (int m = 0; m < 8; ++m)
            for (int k = 0; k < 16; k += W)
                store(set_v + m * row + k, load(saved + 16 * m + k));
    };
    // Sets are numbered by `bits` bits. For large transforms they go in tiles of 2^TILE x 2^TILE
    // sets whose numbers share their middle bits, so that the partners of a tile's sets lie on a
    // few pages too and the pages of both stay in the TLB and their lines in L2.
    constexpr int TILE = 5;
    int bits = log_points - 6;
    if (bits < 2 * TILE) {
        for (int32_t u = 0; u < points / 64; ++u) {
            int32_t v = reverse_bits(u, bits);
            if (v >= u)
                exchange(u, v);
        }
    } else {
        int middle = bits - 2 * TILE;
        for (int32_t mid = 0; mid < int32_t{1} << middle; ++mid) {
            int32_t mid_v = reverse_bits(mid, middle) << TILE;
            for (int32_t hi = 0; hi < int32_t{1} << TILE; ++hi) {
                for (int32_t lo = 0; lo < int32_t{1} << TILE; ++lo) {
                    int32_t u = hi << (bits - TILE) | mid << TILE | lo;
                    int32_t v =
                        reverse_bits(lo, TILE) << (bits - TILE) | mid_v | reverse_bits(hi, TILE);
                    if (v >= u)
                        exchange(u, v);
                }
            }
        }
    }
    if constexpr (NV > 0) {
        if (halve) {
            leave_leads(l, leads);
        } else {
            while (leads.kept < leads.count)
                lead_step(l, leads);
        }
    }
    runner_keep(r, q);
}

// The bit reversal with stages 0 to 2, and the lead chains in as few vectors as hold them: all of
// them, or with `halve` all but the longest and half of that.
void bit_reverse_first_stages(int32_t points, int log_points, double* data, const small_twiddles& t,
                              const twiddles& tw, lead_chains& leads, bool halve)
{
    bool ticks = tw.runner->done < tw.runner->total;
    auto run = [&](auto nv) {
        constexpr int NV = decltype(nv)::value;
        if (ticks)
            bit_reverse_first_stages<true, NV>(points, log_points, data, t, tw, leads, halve);
        else
            bit_reverse_first_stages<false, NV>(points, log_points, data, t, tw, leads, halve);
    };
    constexpr int MOST = (MAX_LEAD_CHAINS + G - 1) / G;
    int vectors = (leads.count + G - 1) / G;
    if (vectors == 0)
        run(std::integral_constant<int, 0>{});
    else if (vectors == 1)
        run(std::integral_constant<int, 1>{});
    else if (vectors <= 2 || MOST <= 2)
        run(std::integral_constant<int, (MOST < 2 ? MOST : 2)>{});
    else if (vectors <= 4 || MOST <= 4)
        run(std::integral_constant<int, (MOST < 4 ? MOST : 4)>{});
    else
        run(std::integral_constant<int, MOST>{});
}

// ---------------------------------------------------------------------------------------------
// Passes of 1 to 3 fused stages.
//
// A group: the 2^R points x + k h (k < 2^R) of stages l .. l + R - 1 with h = 2^l, in blocks of W
// points at consecutive offsets. Stage l + s pairs k with k + 2^s, with the twiddle factors of
// the offsets a + (k mod 2^s) h, taken from twiddle[s] at (k mod 2^s) twiddle_step doubles.

template <int R, bool KEEP_FIRST, output OUT, class Tick>
KALVENTO_INLINE void group(double* x, ptrdiff_t step, const double* const* twiddle,
                           ptrdiff_t twiddle_step, vec scale, Tick tick)
{
    constexpr int K = 1 << R;
    complex z[K];
    static_for<K>([&](auto k) KALVENTO_INLINE_LAMBDA { z[k] = load_block(x + k * step); });
    static_for<R>([&](auto s) KALVENTO_INLINE_LAMBDA {
        constexpr int half = 1 << s;
        static_for<half>([&](auto c) KALVENTO_INLINE_LAMBDA {
            const complex w = load_block(twiddle[s] + c * twiddle_step);
            static_for<K / (2 * half)>([&](auto b) KALVENTO_INLINE_LAMBDA {
                constexpr int i = 2 * half * b + c;
                if constexpr (KEEP_FIRST && c == 0)
                    butterfly_keeping_first(z[i], z[i + half], w);
                else
                    butterfly(z[i], z[i + half], w);
                if constexpr (s + 2 >= R)
                    tick();
            });
        });
    });
    static_for<K>([&](auto k) KALVENTO_INLINE_LAMBDA {
        double* p = x + k * step;
        if constexpr (OUT == output::blocks)
            store_block(p, z[k]);
        else if constexpr (OUT == output::scaled)
            store_interleaved(p, scaled(z[k], scale));
        else
            store_interleaved(p, z[k]);
    });
}

// Twiddle steps beside a group of 2^R points: one after each butterfly of its last two stages.
template <int R>
constexpr int GROUP_STEPS = R == 3   ? 8
                            : R == 2 ? 4
                                     : 1;

// Stages l .. l + R - 1 over `points` points at data, twiddles from the tables. With TICKS, the
// table chains run beside the groups, and each group waits for the entries it needs.
template <int R, output OUT, bool TICKS>
void table_pass(int32_t points, int stage, double* data, const twiddles& tw, vec scale)
{
    int32_t h = int32_t{1} << stage;
    int32_t span = h << R;
    ptrdiff_t step = 2 * ptrdiff_t{h};
    const double* twiddle[3];
    for (int s = 0; s < R; ++s)
        twiddle[s] = tw.tables + table_offset(stage + s);
    chain_runner& r = *tw.runner;
    chain_regs q = runner_regs(r);
    if constexpr (TICKS)
        align_round(r, q, GROUP_STEPS<R>);
    for (int32_t b = 0; b < points; b += span) {
        for (int32_t a = 0; a < h; a += W) {
            const double* t[3];
            for (int s = 0; s < R; ++s) {
                if constexpr (TICKS)
                    need(tw, q, stage + s, a + ((int32_t{1} << s) - 1) * h + W - 1);
                t[s] = twiddle[s] + 2 * ptrdiff_t{a};
            }
            double* x = data + 2 * (ptrdiff_t{b} + a);
            if (TICKS && can_take(r, q, GROUP_STEPS<R>)) {
                if (a == 0)
                    group<R, true, OUT>(x, step, t, step, scale, ticker{&r, &q});
                else
                    group<R, false, OUT>(x, step, t, step, scale, ticker{&r, &q});
                settle(r, q);
            } else if (a == 0) {
                group<R, true, OUT>(x, step, t, step, scale, no_ticker{});
            } else {
                group<R, false, OUT>(x, step, t, step, scale, no_ticker{});
            }
        }
    }
    runner_keep(r, q);
}

template <int R, output OUT>
void table_pass(int32_t points, int stage, double* data, const twiddles& tw, vec scale)
{
    if (tw.runner->done < tw.runner->total)
        table_pass<R, OUT, true>(points, stage, data, tw, scale);
    else
        table_pass<R, OUT, false>(points, stage, data, tw, scale);
}

template <output OUT>
void table_pass(int fused, int32_t points, int stage, double* data, const twiddles& tw, vec scale)
{
    if constexpr (MAX_FUSED >= 3) {
        if (fused == 3) {
            table_pass<3, OUT>(points, stage, data, tw, scale);
            return;
        }
    }
    if (fused == 2)
        table_pass<2, OUT>(points, stage, data, tw, scale);
    else
        table_pass<1, OUT>(points, stage, data, tw, scale);
}

// The table stages 3 .. end - 1 over `points` points at data, as passes of up to MAX_FUSED
// stages, the larger passes first. The last pass leaves its points as `last`.
template <output LAST>
void table_stages(int32_t points, int end, double* data, const twiddles& tw, vec scale)
{
    int stage = FIRST_TABLE_STAGE;
    int remaining = end - stage;
    int passes = (remaining + MAX_FUSED - 1) / MAX_FUSED;
    for (int p = 0; p < passes; ++p) {
        int fused = (remaining + (passes - p) - 1) / (passes - p);
        if (p + 1 < passes)
            table_pass<output::blocks>(fused, points, stage, data, tw, scale);
        else
            table_pass<LAST>(fused, points, stage, data, tw, scale);
        stage += fused;
        remaining -= fused;
    }
}

// A stage too long for a table, one pass; its chain is generated CHUNK offsets at a time, the
// next chunk's beside the butterflies of the current one.
constexpr int32_t CHUNK = 512;
static_assert(2 * 3 * 2 * CHUNK <= TABLE_CAPACITY);

// The chain of one long stage: the twiddle factor of the next offset, and how many offsets of
// the chunk being filled are done.
struct stage_chain {
    scalar_complex w;
    rotation r;
    int32_t made;
};

// Writes the next offset's twiddle factor into `chunk` (block layout) and steps the chain.
KALVENTO_INLINE void make_entry(stage_chain& k, double* chunk)
{
    static constexpr int OFFSET[8] = {real_offset(0), real_offset(1), real_offset(2),
                                      real_offset(3), real_offset(4), real_offset(5),
                                      real_offset(6), real_offset(7)};
    double* q = chunk + 16 * (k.made / 8) + OFFSET[k.made % 8];
    q[0] = k.w.re;
    q[W] = k.w.im;
    twiddle_step(k.w, k.r.sigma, k.r.beta);
    ++k.made;
}

// A pass that carries on with the rest of a lead chain `later` (or none: null) takes the steps
// left evenly beside its groups of butterflies.
KALVENTO_INLINE lead_chain carried_lead(const lead_chain* later)
{
    return later != nullptr ? *later : lead_chain{{1.0, 0.0}, {0.0, 0.0}, 0, 0};
}

KALVENTO_INLINE int32_t lead_steps_per_group(const lead_chain& c, int32_t groups)
{
    return (c.length - c.reached + groups - 1) / groups;
}

KALVENTO_INLINE void hand_back(lead_chain* later, lead_chain& c)
{
    if (later != nullptr) {
        advance_lead(c, c.length);
        *later = c;
    }
}

template <output OUT>
void chunked_stage(int32_t points, int stage, double* data, int32_t direction, double* spare,
                   vec scale, lead_chain* later)
{
    int32_t h = int32_t{1} << stage;
    ptrdiff_t step = 2 * ptrdiff_t{h};
    double* chunks[2] = {spare, spare + 2 * CHUNK};
    stage_chain k{{1.0, 0.0}, stage_rotation(stage, direction), 0};
    while (k.made < CHUNK)
        make_entry(k, chunks[0]);
    // Chain steps per group of butterflies, so that the next chunk is ready when it is needed.
    int32_t groups = points / (2 * h) * (CHUNK / W);
    int32_t per_group = (CHUNK + groups - 1) / groups;
    lead_chain rest = carried_lead(later);
    int32_t lead_per_group = lead_steps_per_group(rest, groups * (h / CHUNK));
    for (int32_t c = 0, i = 0; c < h; c += CHUNK, i ^= 1) {
        const double* chunk = chunks[i];
        double* next = chunks[i ^ 1];
        k.made = c + CHUNK < h ? 0 : CHUNK;
        for (int32_t b = 0; b < points; b += 2 * h) {
            double* x = data + 2 * (ptrdiff_t{b} + c);
            for (int32_t a = 0; a < CHUNK; a += W) {
                for (int32_t n = 0; n < per_group && k.made < CHUNK; ++n)
                    make_entry(k, next);
                advance_lead(rest, lead_per_group);
                const double* t = chunk + 2 * a;
                if (c == 0 && a == 0)
                    group<1, true, OUT>(x, step, &t, 0, scale, no_ticker{});
                else
                    group<1, false, OUT>(x + 2 * a, step, &t, 0, scale, no_ticker{});
            }
        }
        while (k.made < CHUNK)
            make_entry(k, next);
    }
    hand_back(later, rest);
}

// The three chains of a pair pass advance in the lanes of chain vectors, chain i in lane i % G of
// vector i / G: one vector step costs far fewer instructions than three scalar ones, and those
// instructions, not the chains' latency, bound the pass. Lanes beyond the third repeat the first.
constexpr int PAIR_VECTORS = (3 + G - 1) / G;

struct pair_chains {
    chain_complex w[PAIR_VECTORS];
    chain_vec s[PAIR_VECTORS];
    chain_vec beta[PAIR_VECTORS];
    // Offsets of the chunk being filled that are done.
    int32_t made;
};

// The factors of the current round of 8 offsets, a row of lanes per offset and part.
struct pair_staging {
    alignas(64) double lanes[8][2][PAIR_VECTORS * G];
};

pair_chains start_pair_chains(rotation lower, const lead_chain& lead)
{
    alignas(64) double w_re[PAIR_VECTORS * G], w_im[PAIR_VECTORS * G];
    alignas(64) double sigma[PAIR_VECTORS * G], beta[PAIR_VECTORS * G];
    for (int i = 0; i < PAIR_VECTORS * G; ++i) {
        bool upper = i == 1 || i == 2;
        w_re[i] = i == 2 ? lead.w.re : 1.0;
        w_im[i] = i == 2 ? lead.w.im : 0.0;
        sigma[i] = upper ? lead.r.sigma : lower.sigma;
        beta[i] = upper ? lead.r.beta : lower.beta;
    }
    pair_chains k;
    for (int v = 0; v < PAIR_VECTORS; ++v) {
        k.w[v] = {load<chain_vec>(w_re + G * v), load<chain_vec>(w_im + G * v)};
        k.s[v] = load<chain_vec>(sigma + G * v);
        k.beta[v] = load<chain_vec>(beta + G * v);
    }
    k.made = 0;
    return k;
}

// Writes a round's 8 offsets of each chain i to its part of the chunk, at `round` + i `part`, in
// the block layout.
KALVENTO_INLINE void pair_flush(const pair_staging& g, double* round, ptrdiff_t part)
{
    static_for<PAIR_VECTORS>([&](auto v) KALVENTO_INLINE_LAMBDA {
        static_for<8 / G>([&](auto b) KALVENTO_INLINE_LAMBDA {
            constexpr int first = b * G;
            chain_vec t_re[G], t_im[G];
            static_for<G>([&](auto i) KALVENTO_INLINE_LAMBDA {
                t_re[i] = load<chain_vec>(g.lanes[stored_point(first + i)][0] + G * v);
                t_im[i] = load<chain_vec>(g.lanes[stored_point(first + i)][1] + G * v);
            });
            transpose(t_re);
            transpose(t_im);
            constexpr int offset = 2 * W * (first / W) + first % W;
            static_for<G>([&](auto c) KALVENTO_INLINE_LAMBDA {
                if constexpr (G * v + c < 3) {
                    double* p = round + part * (G * v + c) + offset;
                    store(p, t_re[c]);
                    store(p + W, t_im[c]);
                }
            });
        });
    });
}

// The next offset of the three chains, into `chunk`.
KALVENTO_INLINE void pair_step(pair_chains& k, pair_staging& g, double* chunk, ptrdiff_t part)
{
    int j = k.made % 8;
    static_for<PAIR_VECTORS>([&](auto v) KALVENTO_INLINE_LAMBDA {
        store(g.lanes[j][0] + G * v, k.w[v].re);
        store(g.lanes[j][1] + G * v, k.w[v].im);
        twiddle_step(k.w[v], k.s[v], k.beta[v]);
    });
    if (++k.made % 8 == 0)
        pair_flush(g, chunk + 16 * ptrdiff_t{k.made / 8 - 1}, part);
}

// Two long stages l and l + 1 in one pass, over groups of the 4 points x + k h: stage l's chain
// runs over the offsets a, stage l + 1's over a and, from its lead, over a + h, each a chunk ahead.
template <output OUT>
void chunked_pair(int32_t points, int stage, double* data, int32_t direction,
                  const lead_chain& lead, double* spare, vec scale, lead_chain* later)
{
    int32_t h = int32_t{1} << stage;
    ptrdiff_t step = 2 * ptrdiff_t{h};
    // Each buffer: stage l's chunk, then stage l + 1's of the offsets a, then of the offsets a + h.
    constexpr ptrdiff_t PART = 2 * CHUNK;
    double* chunks[2] = {spare, spare + 3 * PART};
    pair_chains k = start_pair_chains(stage_rotation(stage, direction), lead);
    pair_staging g;
    auto make = [&](double* buffer) KALVENTO_INLINE_LAMBDA { pair_step(k, g, buffer, PART); };
    while (k.made < CHUNK)
        make(chunks[0]);
    int32_t groups = points / (4 * h) * (CHUNK / W);
    int32_t per_group = (CHUNK + groups - 1) / groups;
    lead_chain rest = carried_lead(later);
    int32_t lead_per_group = lead_steps_per_group(rest, groups * (h / CHUNK));
    for (int32_t c = 0, i = 0; c < h; c += CHUNK, i ^= 1) {
        const double* chunk = chunks[i];
        double* next = chunks[i ^ 1];
        k.made = c + CHUNK < h ? 0 : CHUNK;
        for (int32_t b = 0; b < points; b += 4 * h) {
            double* x = data + 2 * (ptrdiff_t{b} + c);
            for (int32_t a = 0; a < CHUNK; a += W) {
                for (int32_t n = 0; n < per_group && k.made < CHUNK; ++n)
                    make(next);
                advance_lead(rest, lead_per_group);
                const double* t[2] = {chunk + 2 * a, chunk + PART + 2 * a};
                if (c == 0 && a == 0)
                    group<2, true, OUT>(x, step, t, PART, scale, no_ticker{});
                else
                    group<2, false, OUT>(x + 2 * a, step, t, PART, scale, no_ticker{});
            }
        }
        while (k.made < CHUNK)
            make(next);
    }
    hand_back(later, rest);
}

// ---------------------------------------------------------------------------------------------
// Whole transforms.

// The vector transforms need 8 x 8 points for the bit reversal.
constexpr int32_t MIN_POINTS = 64;

// Transform of N = 2^log_points points; the chain runner of `tw` fills its tables meanwhile.
// Transforms with stages beyond the tables keep the chunks of their long stages' chains in
// `spare`, TABLE_CAPACITY doubles that may be the tables themselves: they are done with by then.
template <output LAST>
void transform(int32_t points, int log_points, double* data, int32_t direction, const twiddles& tw,
               double scale_factor, double* spare)
{
    vec scale = broadcast(scale_factor);
    small_twiddles t = first_stage_twiddles(direction);
    // The long stages go in pairs from the last one down, an odd one alone first; each pair's
    // upper stage has a lead chain.
    int first_pair =
        log_points > TABLE_STAGES ? TABLE_STAGES + (log_points - TABLE_STAGES) % 2 : log_points;
    lead_chains leads;
    leads.count = 0;
    leads.kept = 0;
    for (int stage = first_pair; stage < log_points; stage += 2)
        leads.chain[leads.count++] = {
            {1.0, 0.0}, stage_rotation(stage + 1, direction), int32_t{1} << stage, 0};
    // The first long pass carries on with the longest lead, unless it is the pair that needs it.
    bool carried = leads.count > 1 || (leads.count == 1 && first_pair > TABLE_STAGES);
    lead_chain* later = carried ? &leads.chain[leads.count - 1] : nullptr;
    bit_reverse_first_stages(points, log_points, data, t, tw, leads, carried);
    if (log_points <= TABLE_STAGES) {
        table_stages<LAST>(points, log_points, data, tw, scale);
        return;
    }
    // Blocks of 2^TABLE_STAGES points stay in cache for every table stage.
    constexpr int32_t BLOCK = int32_t{1} << TABLE_STAGES;
    for (int32_t b = 0; b < points; b += BLOCK)
        table_stages<output::blocks>(BLOCK, TABLE_STAGES, data + 2 * ptrdiff_t{b}, tw, scale);
    if (first_pair > TABLE_STAGES) {
        if (first_pair == log_points) {
            chunked_stage<LAST>(points, TABLE_STAGES, data, direction, spare, scale, nullptr);
            return;
        }
        chunked_stage<output::blocks>(points, TABLE_STAGES, data, direction, spare, scale, later);
        later = nullptr;
    }
    for (int p = 0, stage = first_pair; stage < log_points; ++p, stage += 2) {
        if (stage + 2 < log_points)
            chunked_pair<output::blocks>(points, stage, data, direction, leads.chain[p], spare,
                                         scale, later);
        else
            chunked_pair<LAST>(points, stage, data, direction, leads.chain[p], spare, scale,
                               nullptr);
        later = nullptr;
    }
}

// One transform with tables of its own.
template <output LAST>
void single_transform(int32_t points, int log_points, double* data, int32_t direction,
                      double scale_factor)
{
    alignas(64) double tables[TABLE_CAPACITY];
    chain_runner runner;
    double* table = tables;
    int top = (log_points < TABLE_STAGES ? log_points : TABLE_STAGES) - 1;
    runner_start(runner, top, 1, &direction, &table);
    transform<LAST>(points, log_points, data, direction, {tables, &runner, 0}, scale_factor,
                    tables);
}

// The inverse scales all n doubles; an odd n leaves one beyond the points.
void scale_odd_tail(int32_t n, double* data)
{
    if (n % 2 != 0)
        data[n - 1] *= 1.0 / static_cast<double>(n / 2);
}

} // namespace

void fft_forward(std::int32_t n, double* data)
{
    if (n / 2 < MIN_POINTS)
        return kalvento::fft_forward(n, data);
    single_transform<output::interleaved>(n / 2, fft_log2(n / 2), data, -1, 1.0);
}

void fft_backward(std::int32_t n, double* data)
{
    if (n / 2 < MIN_POINTS)
        return kalvento::fft_backward(n, data);
    single_transform<output::scaled>(n / 2, fft_log2(n / 2), data, 1, 1.0 / (n / 2));
    scale_odd_tail(n, data);
}

void fft_transform_pair(std::int32_t n, double* data)
{
    std::int32_t points = n / 2;
    if (points < MIN_POINTS)
        return kalvento::fft_transform_pair(n, data);
    int log_points = fft_log2(points);
    double scale_factor = 1.0 / static_cast<double>(points);
    // Small transforms: the inverse's chains run beside the forward's, in lanes the forward's
    // leave free, so the inverse finds its tables ready.
    if (G >= 4 && 2 * table_doubles(log_points) <= TABLE_CAPACITY) {
        alignas(64) double tables[TABLE_CAPACITY];
        chain_runner runner;
        const int32_t directions[2] = {-1, 1};
        double* table[2] = {tables, tables + table_doubles(log_points)};
        runner_start(runner, log_points - 1, 2, directions, table);
        transform<output::interleaved>(points, log_points, data, -1, {table[0], &runner, 0}, 1.0,
                                       nullptr);
        transform<output::scaled>(points, log_points, data, 1, {table[1], &runner, 1}, scale_factor,
                                  nullptr);
    } else {
        single_transform<output::interleaved>(points, log_points, data, -1, 1.0);
        single_transform<output::scaled>(points, log_points, data, 1, scale_factor);
    }
    scale_odd_tail(n, data);
}

} // namespace kalvento::KALVENTO_FAST_NS
