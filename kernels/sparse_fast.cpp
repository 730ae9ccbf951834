// The sparse multiply, with fewer and wider loads than one entry at a time.
//
// A row's sum must be formed exactly as defined: +0.0, then each product x[col] * value rounded
// and added in the row's order. What can change is where the operations happen. With AVX-512,
// eight rows sit in the lanes of a vector: entry k of all eight rows is one vector, and each lane
// adds its own row's products in order, exactly the scalar sequence. The other paths take rows one
// at a time and form several products with one multiply. Rows are taken eight at a time when
// they all have the same length (read from row_start in every call, nothing assumed about the
// columns); other rows are summed one by one.
#include "kernels/fast_kernels.h"
#include "kernels/simd/simd.h"
#include "support/exact_arithmetic.h"

#include <cstdint>
#include <type_traits>
#include <utility>

namespace kalvento::KALVENTO_FAST_NS {

namespace {

using namespace simd;

constexpr int BLOCK_ROWS = 8;

// The first row from r on, up to n, whose length is not `length`. Whole vectors of row ends are
// compared with the ends such a run must have, row_start[r] + length * (1, 2, ...); the
// expectations are computed modulo 2^32, where valid row ends never wrap, so a value that wrapped
// matches nothing.
std::int32_t end_of_run(const std::int32_t* row_start, std::int32_t r, std::int32_t n,
                        std::int32_t length)
{
    auto wrapped = [](std::uint32_t x) { return static_cast<std::int32_t>(x); };
    auto start = static_cast<std::uint32_t>(row_start[r]);
    auto step = static_cast<std::uint32_t>(length);
    std::int32_t first_ends[INT32_LANES];
    for (int i = 0; i < INT32_LANES; ++i)
        first_ends[i] = wrapped(start + step * static_cast<std::uint32_t>(i + 1));
    int32s want = load_int32s(first_ends);
    int32s next = broadcast_int32(wrapped(step * INT32_LANES));
    for (; r + INT32_LANES <= n; r += INT32_LANES, want = add_int32(want, next))
        if (!all_equal_int32(load_int32s(row_start + r + 1), want))
            break;
    while (r < n && static_cast<std::uint32_t>(row_start[r + 1]) -
                            static_cast<std::uint32_t>(row_start[r]) ==
                        static_cast<std::uint32_t>(length))
        ++r;
    return r;
}

// Rows one at a time: the values of a few entries come in one vector load, the gathered x values
// are paired into a vector so that one multiply forms several products, and the products are
// taken out one by one for the additions in order.

// Entries whose products one multiply forms: wider vectors would cost more extraction than they
// save.
using group_vec = short_vec;
constexpr int GROUP = sizeof(group_vec) / sizeof(double);

// sum + the products of the GROUP entries at (v, c), added in order.
KALVENTO_INLINE double add_group(double sum, const double* v, const std::int32_t* c,
                                 const double* x)
{
    return add_in_order(sum, mul(load_indexed<group_vec>(x, c), load<group_vec>(v)));
}

// The sum of a row of `length` entries, in order from +0.0, GROUP entries at a time.
inline double grouped_row_sum(const double* v, const std::int32_t* c, std::int32_t length,
                              const double* x)
{
    double sum = 0.0;
    std::int32_t k = 0;
    for (; k + GROUP <= length; k += GROUP)
        sum = add_group(sum, v + k, c + k, x);
    for (; k < length; ++k)
        sum += x[c[k]] * v[k];
    return sum;
}

#if defined(__AVX512F__)

// The x values come one load each, whatever the columns, so they can go straight into the lane
// of their row. The values of a block are contiguous: for rows of 5, 8 and 10 (the benchmark's)
// they come in full-vector loads and are transposed with a pattern of blends and shuffles fixed by
// the length; rows of other lengths take them two entries at a time.

using vec = __m512d;

// Lane m of a block's vectors holds row ROW[m] of the block.
struct lane_order {
    int row[BLOCK_ROWS];
};

constexpr lane_order NATURAL{{0, 1, 2, 3, 4, 5, 6, 7}};

// Keeps the compiler from folding a load or a shuffle into each instruction that uses it, which
// repeats the load or the shuffle at every use (and clang splits shuffled loads into scalar ones).
inline vec settled(vec v)
{
    __asm__("" : "+v"(v));
    return v;
}

struct vec_pair {
    vec first;
    vec second;
};

// What the loads from x may read, for the compiler: any of its possible 2^31 entries.
using any_x = const double[std::size_t{1} << 31];

// x[c[0]] in every lane of `first` and x[c[1]] in every lane of `second`: one 64-bit load brings
// both columns. Loads are what limits this kernel, so the columns come in pairs, and each load
// and broadcast is one statement: left to itself, gcc loads the columns of a whole block ahead,
// runs short of integer registers and parks the columns in vector registers. Columns are never
// negative, so each 32-bit half, zero-extended, is the column itself.
inline vec_pair x_at_pair(const double* x, const std::int32_t* c)
{
    vec first;
    vec second;
    std::uint64_t pair;
    std::uint64_t low;
    __asm__("movq %[c], %[pair]\n\t"
            "movl %k[pair], %k[low]\n\t"
            "shrq $32, %[pair]\n\t"
            "vbroadcastsd (%[x],%[low],8), %[first]\n\t"
            "vbroadcastsd (%[x],%[pair],8), %[second]"
            : [first] "=v"(first), [second] "=v"(second), [pair] "=&r"(pair), [low] "=&r"(low)
            : [c] "m"(*reinterpret_cast<const std::int32_t(*)[2]>(c)), [x] "r"(x),
              "m"(*reinterpret_cast<const any_x*>(x)));
    return {first, second};
}

// x[c[0]] in every lane (see x_at_pair).
inline vec x_at(const double* x, const std::int32_t* c)
{
    vec lanes;
    std::uint64_t column;
    __asm__("movl %[c], %k[column]\n\t"
            "vbroadcastsd (%[x],%[column],8), %[lanes]"
            : [lanes] "=v"(lanes), [column] "=&r"(column)
            : [c] "m"(*c), [x] "r"(x), "m"(*reinterpret_cast<const any_x*>(x)));
    return lanes;
}

// x of entries FIRST..LAST-1 of the rows in lanes 2J and 2J + 1, broadcast: one[k] for the row in
// lane 2J, other[k] for the row in lane 2J + 1. A row of odd length shares a column pair with the
// next row, so with odd lengths the two rows must be neighbours and all entries come at once.
template <int LENGTH, lane_order ORDER, int FIRST, int LAST, int J>
inline void x_of_two_rows(const double* x, const std::int32_t* c, vec (&one)[LENGTH],
                          vec (&other)[LENGTH])
{
    constexpr int ROW = ORDER.row[2 * J];
    constexpr int NEXT = ORDER.row[2 * J + 1];
    if constexpr (LENGTH % 2 == 0) {
        static_assert(FIRST % 2 == 0 && LAST % 2 == 0);
        static_for<(LAST - FIRST) / 2>([&](auto p) {
            constexpr int K = FIRST + 2 * p;
            vec_pair a = x_at_pair(x, c + ROW * LENGTH + K);
            vec_pair b = x_at_pair(x, c + NEXT * LENGTH + K);
            one[K] = a.first;
            one[K + 1] = a.second;
            other[K] = b.first;
            other[K + 1] = b.second;
        });
    } else {
        static_assert(NEXT == ROW + 1 && FIRST == 0 && LAST == LENGTH);
        vec both[2 * LENGTH];
        static_for<LENGTH>([&](auto p) {
            vec_pair a = x_at_pair(x, c + ROW * LENGTH + 2 * p);
            both[2 * p] = a.first;
            both[2 * p + 1] = a.second;
        });
        static_for<LENGTH>([&](auto k) {
            one[k] = both[k];
            other[k] = both[LENGTH + k];
        });
    }
}

// xs[k] = x of entry k of every row, in ORDER, for k = FIRST..LAST-1. Unpacks and blends merge
// the broadcasts: they leave the shuffle unit, which would also merge masked broadcasts, to the
// value transposes.
template <int LENGTH, lane_order ORDER, int FIRST, int LAST>
inline void x_lanes(const double* x, const std::int32_t* c, vec (&xs)[LENGTH])
{
    vec high[LENGTH];
    static_for<BLOCK_ROWS / 2>([&](auto j) {
        vec one[LENGTH];
        vec other[LENGTH];
        x_of_two_rows<LENGTH, ORDER, FIRST, LAST, j>(x, c, one, other);
        static_for<LAST - FIRST>([&](auto i) {
            constexpr int K = FIRST + i;
            vec two = _mm512_unpacklo_pd(one[K], other[K]);
            if constexpr (j == 0)
                xs[K] = two;
            else if constexpr (j == 1)
                xs[K] = _mm512_mask_blend_pd(0xCC, xs[K], two);
            else if constexpr (j == 2)
                high[K] = two;
            else
                xs[K] = _mm512_mask_blend_pd(0xF0, xs[K], _mm512_mask_blend_pd(0xCC, high[K], two));
        });
    });
}

// Rows with the same list of columns read the same x values. A block whose rows form at most two
// runs of equal lists loads each run's x values once and broadcasts them into the lanes of all its
// rows; blocks with more runs load every row's own. The lists are compared in every call, and
// every product and sum is still formed in every lane. Rows shorter than SHARED_X_LENGTH save
// fewer loads than the comparison costs (measured: a fifth slower for rows of 5).
constexpr int SHARED_X_LENGTH = 8;

// Bit i set where row i of the block starts a run: row 0, and each row whose list differs from
// the list of the row before.
template <int LENGTH>
inline unsigned run_starts(const std::int32_t* c)
{
    static_assert(LENGTH <= 16, "a row's columns fit one vector");
    constexpr __mmask16 ENTRIES = (1u << LENGTH) - 1;
    __m512i previous = _mm512_maskz_loadu_epi32(ENTRIES, c);
    unsigned starts = 1;
    static_for<BLOCK_ROWS - 1>([&](auto j) {
        constexpr int ROW = j + 1;
        __m512i list = _mm512_maskz_loadu_epi32(ENTRIES, c + ROW * LENGTH);
        starts |= static_cast<unsigned>(_mm512_cmpneq_epi32_mask(list, previous) != 0) << ROW;
        previous = list;
    });
    return starts;
}

// For each row p, the lanes in ORDER that hold rows p and later.
template <lane_order ORDER>
constexpr auto LANES_FROM_ROW = [] {
    struct table {
        __mmask8 lanes[BLOCK_ROWS];
    } from{};
    for (int p = 0; p < BLOCK_ROWS; ++p)
        for (int m = 0; m < BLOCK_ROWS; ++m)
            if (ORDER.row[m] >= p)
                from.lanes[p] |= static_cast<__mmask8>(1u << m);
    return from;
}();

// xs[k] = x of entry k of every row, in ORDER, for a block of at most two runs: the first run's
// values in every lane, then the last run's over the lanes of its rows. With one run the last
// run is the first, which keeps the work free of branches.
template <int LENGTH, lane_order ORDER>
inline void x_lanes_by_runs(const double* x, const std::int32_t* c, unsigned starts,
                            vec (&xs)[LENGTH])
{
    int last = 31 - __builtin_clz(starts);
    __mmask8 lanes = LANES_FROM_ROW<ORDER>.lanes[last];
    const std::int32_t* columns = c + last * LENGTH;
    static_for<LENGTH>([&](auto k) {
        xs[k] = _mm512_mask_broadcastsd_pd(x_at(x, c + k), lanes, _mm_load_sd(x + columns[k]));
    });
}

// The eight row sums of a block, in ORDER: +0.0, then the products of entry 0, 1, ... added in
// turn. `values(k)` gives the values of entry k in ORDER. Even lengths take the x values two
// entries at a time, which keeps them in registers.
template <int LENGTH, lane_order ORDER, class Values>
inline vec block_sum(const double* x, const std::int32_t* c, Values values)
{
    vec xs[LENGTH];
    vec sum = _mm512_setzero_pd();
    if constexpr (LENGTH >= SHARED_X_LENGTH) {
        unsigned starts = run_starts<LENGTH>(c);
        if (unsigned later = starts & ~1u; (later & (later - 1)) == 0) {
            x_lanes_by_runs<LENGTH, ORDER>(x, c, starts, xs);
            static_for<LENGTH>([&](auto k) {
                sum = _mm512_add_pd(sum,
                                    _mm512_mul_pd(xs[k], values(std::integral_constant<int, k>{})));
            });
            return sum;
        }
    }
    auto add_products = [&](auto first, auto last) {
        x_lanes<LENGTH, ORDER, first, last>(x, c, xs);
        static_for<last - first>([&](auto i) {
            constexpr int K = first + i;
            sum =
                _mm512_add_pd(sum, _mm512_mul_pd(xs[K], values(std::integral_constant<int, K>{})));
        });
    };
    if constexpr (LENGTH % 2 == 0)
        static_for<LENGTH / 2>([&](auto p) {
            add_products(std::integral_constant<int, 2 * p>{},
                         std::integral_constant<int, 2 * p + 2>{});
        });
    else
        add_products(std::integral_constant<int, 0>{}, std::integral_constant<int, LENGTH>{});
    return sum;
}

// y[0..7] += the block's sums; `sum` is in ORDER.
template <lane_order ORDER>
inline void add_to_y(double* y, vec sum)
{
    if constexpr (ORDER.row[1] != 1) {
        constexpr lane_order LANE_OF_ROW = [] {
            lane_order inverse{};
            for (int m = 0; m < BLOCK_ROWS; ++m)
                inverse.row[ORDER.row[m]] = m;
            return inverse;
        }();
        __m512i index = _mm512_setr_epi64(
            LANE_OF_ROW.row[0], LANE_OF_ROW.row[1], LANE_OF_ROW.row[2], LANE_OF_ROW.row[3],
            LANE_OF_ROW.row[4], LANE_OF_ROW.row[5], LANE_OF_ROW.row[6], LANE_OF_ROW.row[7]);
        sum = _mm512_permutexvar_pd(index, sum);
    }
    _mm512_storeu_pd(y, _mm512_add_pd(_mm512_loadu_pd(y), sum));
}

// Four rows of five units each (values for rows of 5, pairs of values for rows of 10) fill five
// vectors of four units, called quarters. Unit k of row i is unit 5i + k, which lies in quarter
// (5i + k) / 4 at position (i + k) mod 4; taking position p from quarter quarter_of(p, k)
// gathers the four rows' unit k, rotated by k.
constexpr int quarter_of(int position, int k)
{
    int i = (position - k % 4 + 4) % 4;
    return (5 * i + k) / 4;
}

// The selector that moves position (i + k) mod 4 to position i.
constexpr int rotation(int k)
{
    int selector = 0;
    for (int i = 0; i < 4; ++i)
        selector |= ((i + k) % 4) << (2 * i);
    return selector;
}

// Rows of 5: rows 0-3 hold values 0-19 and rows 4-7 values 20-39. Quarter j pairs values
// 4j..4j+3 (low half) with 20+4j..23+4j (high half), so that each half solves the four-row
// problem for its rows.
inline void quarters_of_5(const double* v, vec (&q)[5])
{
    vec a[5];
    static_for<5>([&](auto j) { a[j] = settled(_mm512_loadu_pd(v + 8 * j)); });
    q[0] = _mm512_mask_blend_pd(0xF0, a[0], a[2]);
    q[1] = settled(_mm512_shuffle_f64x2(a[0], a[3], 0x4E));
    q[2] = _mm512_mask_blend_pd(0xF0, a[1], a[3]);
    q[3] = settled(_mm512_shuffle_f64x2(a[1], a[4], 0x4E));
    q[4] = _mm512_mask_blend_pd(0xF0, a[2], a[4]);
}

template <int K>
inline vec entry_of_5(const vec (&q)[5])
{
    vec b = q[quarter_of(0, K)];
    b = _mm512_mask_blend_pd(0x22, b, q[quarter_of(1, K)]);
    b = _mm512_mask_blend_pd(0x44, b, q[quarter_of(2, K)]);
    b = _mm512_mask_blend_pd(0x88, b, q[quarter_of(3, K)]);
    if constexpr (K % 4 == 0)
        return b;
    else
        return _mm512_permutex_pd(b, rotation(K));
}

// Rows of 10 as rows of five pairs: rows 0-3 in the first five vectors, rows 4-7 in the next
// five, each vector four pairs; pair P of the four rows gathered, rotated into row order.
template <int P>
inline vec pairs_of_10(const vec* a)
{
    vec b = a[quarter_of(0, P)];
    b = _mm512_mask_blend_pd(0x0C, b, a[quarter_of(1, P)]);
    b = _mm512_mask_blend_pd(0x30, b, a[quarter_of(2, P)]);
    b = _mm512_mask_blend_pd(0xC0, b, a[quarter_of(3, P)]);
    if constexpr (P % 4 == 0)
        return b;
    else
        return _mm512_shuffle_f64x2(b, b, rotation(P));
}

// Unpacking pair P of rows 0-3 with pair P of rows 4-7 leaves the rows interleaved.
constexpr lane_order INTERLEAVED{{0, 4, 1, 5, 2, 6, 3, 7}};

template <int K>
inline vec entry_of_10(const vec (&a)[10])
{
    vec low = pairs_of_10<K / 2>(a);
    vec high = pairs_of_10<K / 2>(a + 5);
    if constexpr (K % 2 == 0)
        return _mm512_unpacklo_pd(low, high);
    else
        return _mm512_unpackhi_pd(low, high);
}

// Rows of 8: an 8x8 transpose. Unpacking rows 2j and 2j + 1 puts entries 2c + K mod 2 of both in
// 128-bit chunk c; two rounds of chunk shuffles gather chunk K / 2 of the four unpacked vectors.
template <int K>
inline vec entry_of_8(const vec (&a)[8])
{
    vec u[4];
    static_for<4>([&](auto j) {
        u[j] = K % 2 == 0 ? _mm512_unpacklo_pd(a[2 * j], a[2 * j + 1])
                          : _mm512_unpackhi_pd(a[2 * j], a[2 * j + 1]);
    });
    // Chunks c and c + 2 of two vectors, then chunk K / 2 of all four.
    constexpr int FIRST = (K / 2) % 2 == 0 ? 0x88 : 0xDD;
    constexpr int SECOND = K / 4 == 0 ? 0x88 : 0xDD;
    vec u01 = _mm512_shuffle_f64x2(u[0], u[1], FIRST);
    vec u23 = _mm512_shuffle_f64x2(u[2], u[3], FIRST);
    return _mm512_shuffle_f64x2(u01, u23, SECOND);
}

// Rows of other lengths, two entries at a time, with the rows interleaved as for rows of 10 (so
// that pair j of lanes holds rows j and j + 4). Entries k and k + 1 of a row are neighbours: one
// 128-bit load brings both values, four rows' pairs fill a vector, and unpacking rows 0-3 with
// rows 4-7 separates the two entries. The offsets are constants when the length is.

// Lanes 2j and 2j + 1 from two[j], which repeats them along the vector.
inline vec merge_pairs(vec two0, vec two1, vec two2, vec two3)
{
    return _mm512_mask_blend_pd(0xF0, _mm512_mask_blend_pd(0xCC, two0, two1),
                                _mm512_mask_blend_pd(0xCC, two2, two3));
}

KALVENTO_INLINE vec_pair x_of_two_entries(const double* x, const std::int32_t* c,
                                          std::int32_t length, std::int32_t k)
{
    vec_pair two[4];
    static_for<4>([&](auto j) {
        vec_pair a = x_at_pair(x, c + j * length + k);
        vec_pair b = x_at_pair(x, c + (j + 4) * length + k);
        two[j] = {_mm512_unpacklo_pd(a.first, b.first), _mm512_unpacklo_pd(a.second, b.second)};
    });
    return {merge_pairs(two[0].first, two[1].first, two[2].first, two[3].first),
            merge_pairs(two[0].second, two[1].second, two[2].second, two[3].second)};
}

KALVENTO_INLINE vec_pair values_of_two_entries(const double* v, std::int32_t length, std::int32_t k)
{
    auto four_rows = [&](std::int32_t first) {
        vec q = _mm512_castpd128_pd512(_mm_loadu_pd(v + first * length + k));
        q = _mm512_insertf64x2(q, _mm_loadu_pd(v + (first + 1) * length + k), 1);
        q = _mm512_insertf64x2(q, _mm_loadu_pd(v + (first + 2) * length + k), 2);
        return _mm512_insertf64x2(q, _mm_loadu_pd(v + (first + 3) * length + k), 3);
    };
    vec low = four_rows(0);
    vec high = four_rows(4);
    return {_mm512_unpacklo_pd(low, high), _mm512_unpackhi_pd(low, high)};
}

// Entry k alone, x and value broadcast one by one.
KALVENTO_INLINE vec_pair x_and_value_of_entry(const double* x, const double* v,
                                              const std::int32_t* c, std::int32_t length,
                                              std::int32_t k)
{
    vec xs[4];
    vec values[4];
    static_for<4>([&](auto j) {
        xs[j] = _mm512_unpacklo_pd(x_at(x, c + j * length + k), x_at(x, c + (j + 4) * length + k));
        values[j] = _mm512_unpacklo_pd(_mm512_set1_pd(v[j * length + k]),
                                       _mm512_set1_pd(v[(j + 4) * length + k]));
    });
    return {merge_pairs(xs[0], xs[1], xs[2], xs[3]),
            merge_pairs(values[0], values[1], values[2], values[3])};
}

KALVENTO_INLINE void add_two_entries(vec& sum, const double* x, const double* v,
                                     const std::int32_t* c, std::int32_t length, std::int32_t k)
{
    vec_pair xs = x_of_two_entries(x, c, length, k);
    vec_pair values = values_of_two_entries(v, length, k);
    sum = _mm512_add_pd(sum, _mm512_mul_pd(xs.first, values.first));
    sum = _mm512_add_pd(sum, _mm512_mul_pd(xs.second, values.second));
}

KALVENTO_INLINE void add_entry(vec& sum, const double* x, const double* v, const std::int32_t* c,
                               std::int32_t length, std::int32_t k)
{
    vec_pair entry = x_and_value_of_entry(x, v, c, length, k);
    sum = _mm512_add_pd(sum, _mm512_mul_pd(entry.first, entry.second));
}

template <class Length>
KALVENTO_INLINE void multiply_block_by_pairs(double* y, const double* v, const std::int32_t* c,
                                             Length length, const double* x)
{
    vec sum = _mm512_setzero_pd();
    if constexpr (std::is_same_v<Length, std::int32_t>) {
        std::int32_t k = 0;
        for (; k + 2 <= length; k += 2)
            add_two_entries(sum, x, v, c, length, k);
        if (k < length)
            add_entry(sum, x, v, c, length, k);
    } else {
        static_for<Length::value / 2>(
            [&](auto p) { add_two_entries(sum, x, v, c, Length::value, 2 * p); });
        if constexpr (Length::value % 2 != 0)
            add_entry(sum, x, v, c, Length::value, Length::value - 1);
    }
    add_to_y<INTERLEAVED>(y, sum);
}

template <int LENGTH>
KALVENTO_INLINE void multiply_block(double* y, const double* v, const std::int32_t* c,
                                    const double* x)
{
    if constexpr (LENGTH == 5) {
        vec q[5];
        quarters_of_5(v, q);
        add_to_y<NATURAL>(y, block_sum<5, NATURAL>(x, c, [&](auto k) { return entry_of_5<k>(q); }));
    } else if constexpr (LENGTH == 10) {
        vec a[10];
        static_for<10>([&](auto j) { a[j] = settled(_mm512_loadu_pd(v + 8 * j)); });
        add_to_y<INTERLEAVED>(
            y, block_sum<10, INTERLEAVED>(x, c, [&](auto k) { return entry_of_10<k>(a); }));
    } else if constexpr (LENGTH == 8) {
        vec a[8];
        static_for<8>([&](auto j) { a[j] = settled(_mm512_loadu_pd(v + 8 * j)); });
        add_to_y<NATURAL>(y, block_sum<8, NATURAL>(x, c, [&](auto k) { return entry_of_8<k>(a); }));
    } else {
        multiply_block_by_pairs(y, v, c, std::integral_constant<int, LENGTH>{}, x);
    }
}

inline void multiply_block(double* y, const double* v, const std::int32_t* c, std::int32_t length,
                           const double* x)
{
    multiply_block_by_pairs(y, v, c, length, x);
}

#else

// Eight rows one after the other.

template <int LENGTH>
inline double grouped_row_sum(const double* v, const std::int32_t* c, const double* x)
{
    double sum = 0.0;
    int k = 0;
    KALVENTO_UNROLL(4)
    for (; k + GROUP <= LENGTH; k += GROUP)
        sum = add_group(sum, v + k, c + k, x);
    for (; k < LENGTH; ++k)
        sum += x[c[k]] * v[k];
    return sum;
}

// y[i] += row_sum(i) for the block's eight rows, taken one after the other: the sums go straight
// into vector lanes, which keeps the compiler from interleaving the rows' chains and running out of
// registers.
template <class RowSum>
KALVENTO_INLINE void add_to_block(double* y, RowSum row_sum)
{
    static_for<BLOCK_ROWS / GROUP>([&](auto g) {
        double sums[GROUP];
        for (int l = 0; l < GROUP; ++l)
            sums[l] = row_sum(g * GROUP + l);
        group_vec s = from_doubles<group_vec>(sums);
        store(y + g * GROUP, add(load<group_vec>(y + g * GROUP), s));
    });
}

template <int LENGTH>
inline void multiply_block(double* y, const double* v, const std::int32_t* c, const double* x)
{
    add_to_block(y,
                 [&](int i) { return grouped_row_sum<LENGTH>(v + i * LENGTH, c + i * LENGTH, x); });
}

inline void multiply_block(double* y, const double* v, const std::int32_t* c, std::int32_t length,
                           const double* x)
{
    add_to_block(y,
                 [&](int i) { return grouped_row_sum(v + i * length, c + i * length, length, x); });
}

#endif

// Rows of up to ten entries get loops of their own, with the length a constant; the benchmark's
// command line chooses 5, 8 or 10.
constexpr int KNOWN_LENGTHS = 10;

template <class Run, int... LENGTH>
inline void with_known_length(std::int32_t length, Run run, std::integer_sequence<int, LENGTH...>)
{
    bool known =
        ((length == LENGTH + 1 && (run(std::integral_constant<int, LENGTH + 1>{}), true)) || ...);
    if (!known)
        run(length);
}

template <class Run>
inline void with_length(std::int32_t length, Run run)
{
    with_known_length(length, run, std::make_integer_sequence<int, KNOWN_LENGTHS>{});
}

// Runs whose values outgrow the caches next to the core (1 MiB of L2 on Zen 5, 2 MiB on Sapphire
// Rapids) come from farther away: their values are prefetched a few kilobytes ahead into the
// outer caches. Not as non-temporal prefetches, which fill L1 alone: on a shared Xeon under load
// those made the multiply at 100000 rows 2.2 times slower, their lines gone before use, where
// these cost nothing. Runs that fit would only pay for the extra loads.
constexpr std::int64_t STREAMING_BYTES = std::int64_t{2} << 20;
constexpr std::uintptr_t PREFETCH_AHEAD = 4096;
constexpr std::uintptr_t LINE_BYTES = 64;

// `blocks` blocks of eight rows that all hold `length` entries; (v, c) is the first block's first
// entry. Each length has a loop and registers of its own.
template <bool STREAM, class Length>
[[gnu::noinline]] void multiply_even_blocks(std::int32_t blocks, double* y, const double* v,
                                            const std::int32_t* c, Length length, const double* x)
{
    for (std::int32_t b = 0; b < blocks; ++b) {
        // A block's values span `length` lines. The addresses may lie past the end of the values,
        // which a prefetch may touch.
        if constexpr (STREAM)
            for (std::int32_t line = 0; line < length; ++line)
                __builtin_prefetch(reinterpret_cast<const void*>(
                                       reinterpret_cast<std::uintptr_t>(v) + PREFETCH_AHEAD +
                                       LINE_BYTES * static_cast<std::uintptr_t>(line)),
                                   0, 1);
        if constexpr (std::is_same_v<Length, std::int32_t>)
            multiply_block(y, v, c, length, x);
        else
            multiply_block<Length::value>(y, v, c, x);
        y += BLOCK_ROWS;
        v += BLOCK_ROWS * length;
        c += BLOCK_ROWS * length;
    }
}

void multiply_once(std::int32_t n, double* y, const double* entry_value,
                   const std::int32_t* row_start, const std::int32_t* col_index, const double* x)
{
    std::int32_t r = 0;
    while (r + BLOCK_ROWS <= n) {
        std::int32_t first = row_start[r];
        std::int32_t length = row_start[r + 1] - first;
        std::int32_t blocks = (end_of_run(row_start, r, n, length) - r) / BLOCK_ROWS;
        if (blocks > 0) {
            bool stream = std::int64_t{blocks} * BLOCK_ROWS * length *
                              static_cast<std::int64_t>(sizeof(double)) >=
                          STREAMING_BYTES;
            with_length(length, [&](auto known_length) {
                if (stream)
                    multiply_even_blocks<true>(blocks, y + r, entry_value + first,
                                               col_index + first, known_length, x);
                else
                    multiply_even_blocks<false>(blocks, y + r, entry_value + first,
                                                col_index + first, known_length, x);
            });
            r += blocks * BLOCK_ROWS;
            continue;
        }
        // A block of rows of different lengths.
        for (std::int32_t end = r + BLOCK_ROWS; r < end; ++r)
            y[r] += grouped_row_sum(entry_value + row_start[r], col_index + row_start[r],
                                    row_start[r + 1] - row_start[r], x);
    }
    for (; r < n; ++r)
        y[r] += grouped_row_sum(entry_value + row_start[r], col_index + row_start[r],
                                row_start[r + 1] - row_start[r], x);
}

} // namespace

void csr_multiply(std::int32_t n, double* y, const double* entry_value,
                  const std::int32_t* row_start, const std::int32_t* col_index, const double* x,
                  std::int32_t batch_size)
{
    for (std::int32_t rep = 0; rep < batch_size; ++rep)
        multiply_once(n, y, entry_value, row_start, col_index, x);
}

} // namespace kalvento::KALVENTO_FAST_NS
